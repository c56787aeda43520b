#include <QAction>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenuBar>
#include <QPushButton>
#include <QSlider>
#include <QVBoxLayout>

#include "app/mixer/VolumeSliders.h"
#include "app/pages/MyPropertySheet.h"
#include "app/shell/Icons.h"
#include "app/shell/MainDialog.h"
#include "app/shell/SessionCoordinator.h"
#include "app/widgets/LinkLabel.h"
#include "app/widgets/MainStatusBar.h"
#include "app/widgets/StatisticsDialog.h"
#include "app/widgets/WaveformView.h"
#include "directory/client/ServiceHost.h"

// The main window's controls and menu.

QLayout* CMainDialog::BuildCallInfo() {
    // How the call of the moment got through; shown only during a call.
    m_callPath = new QLabel;
    m_callPath->setObjectName("callPath");
    m_callPath->setWordWrap(true);
    m_callPath->setToolTip("How the call reached your buddy's computer");
    m_callPath->hide();
    // Below it, how the call is protected: a padlock and its text, once the engine said.
    m_callLock = new QLabel;
    m_callLock->setObjectName("callLock");
    m_callLock->hide();
    m_callSecurity = new QLabel;
    m_callSecurity->setObjectName("callSecurity");
    m_callSecurity->setWordWrap(true);
    // It holds the buddy's name as the directory gave it: shown as written, never as markup.
    m_callSecurity->setTextFormat(Qt::PlainText);
    m_callSecurity->setToolTip(
        "Whether the call is encrypted end to end. Read the six digits to your buddy: when "
        "they see the same ones, nobody listens in between");
    m_callSecurity->hide();
    auto* security = new QHBoxLayout;
    security->addWidget(m_callLock);
    security->addWidget(m_callSecurity, 1);
    // "Muted" while the user has muted the microphone of the call.
    m_callMuted = new QLabel("Muted");
    m_callMuted->setObjectName("callMuted");
    m_callMuted->setStyleSheet("font-weight: bold;");
    m_callMuted->hide();
    auto* callInfo = new QVBoxLayout;
    callInfo->addWidget(m_callPath);
    callInfo->addLayout(security);
    callInfo->addWidget(m_callMuted);
    return callInfo;
}

// Talk, Hang Up and (during a call) Mute.
void CMainDialog::BuildCallButtons() {
    m_talk = new QPushButton(icons::TalkIcon(), "Talk");
    m_talk->setObjectName("talk");
    m_talk->setIconSize(QSize(32, 32));
    m_talk->setToolTip("Click here to talk with your buddy");
    m_hangUp = new QPushButton(icons::HangUpIcon(), "Hang Up");
    m_hangUp->setObjectName("hangup");
    m_hangUp->setIconSize(QSize(32, 32));
    m_hangUp->setToolTip("Click here to hang up the current call in progress");
    for (QPushButton* b : {m_talk, m_hangUp}) {
        b->setMinimumSize(110, 44);
        b->setAutoDefault(false);
    }
    connect(m_talk, &QPushButton::clicked, this, &CMainDialog::OnTalk);
    connect(m_hangUp, &QPushButton::clicked, this, &CMainDialog::OnHangUp);
    m_mute = new QPushButton("Mute");
    m_mute->setObjectName("mute");
    m_mute->setCheckable(true);
    m_mute->setAutoDefault(false);
    m_mute->setMinimumHeight(44);
    m_mute->setToolTip("Click here to mute your microphone (Ctrl+M); click again to unmute");
    m_mute->hide();
}

void CMainDialog::BuildWindow() {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(6, 0, 6, 0);
    m_menu = new QMenuBar(this);
    outer->setMenuBar(m_menu);

    // Call buttons on the left, the waveform area on the right.
    auto* top = new QHBoxLayout;
    BuildCallButtons();
    top->addWidget(m_talk);
    top->addWidget(m_hangUp);
    top->addWidget(m_mute);
    top->addLayout(BuildCallInfo(), 1);
    top->addStretch();
    m_waveform = new WaveformView;
    m_waveform->setObjectName("waveform");
    m_waveform->setFixedSize(240, 48);
    top->addWidget(m_waveform);
    outer->addLayout(top);

    // The page sheet on the left; volume and links on the right.
    auto* middle = new QHBoxLayout;
    m_sheet = new CMyPropertySheet(this);
    m_sheet->setMinimumSize(300, 200);
    middle->addWidget(m_sheet, 1);
    auto* right = new QVBoxLayout;
    auto* volume = new QGroupBox("Volume");
    auto* volumeLayout = new QGridLayout(volume);
    const char* names[3] = {"Master", "Speaker", "Mic"};
    const char* tips[3] = {"Adjust the master output volume", "Adjust the speaker volume",
                           "Adjust the microphone volume"};
    // One row per line: its name, then "Low" at the slider's left end and "High" at its right.
    for (int i = 0; i < 3; ++i) {
        m_sliders[i] = new QSlider(Qt::Horizontal);
        m_sliders[i]->setObjectName(names[i]);
        m_sliders[i]->setToolTip(tips[i]);
        m_sliders[i]->setMinimumWidth(90);
        volumeLayout->addWidget(new QLabel(names[i]), i, 0);
        volumeLayout->addWidget(new QLabel("Low"), i, 1);
        volumeLayout->addWidget(m_sliders[i], i, 2);
        volumeLayout->addWidget(new QLabel("High"), i, 3);
    }
    // The mixer's master and speaker lines open now; InitMixerControls sets the sliders up.
    m_volume = new VolumeSliders({m_sliders[0], m_sliders[1], m_sliders[2]}, this);
    right->addWidget(volume);
    QGroupBox* links = BuildLinks();
    right->addWidget(links);
    right->addStretch();
    middle->addLayout(right);
    outer->addLayout(middle, 1);

    // The status bar: pane 0 the service, pane 1 the service's word, pane 2 the call.
    m_statusBar = new MainStatusBar(this);
    const unsigned indicators[3] = {ID_SEPARATOR, MainStatusBar::kIndicatorA,
                                    MainStatusBar::kIndicatorB};
    if (!m_statusBar->Create(this, indicators, 3, SBPS_STRETCH)) {
        AddStatusLine("Unable to create Statusbar.");
    }
    outer->addWidget(m_statusBar);
    m_statisticsDlg = new StatisticsDialog(this);
    setToolTip("Mervane");
}

QGroupBox* CMainDialog::BuildLinks() {
    auto* links = new QGroupBox("Click here to");
    auto* linksLayout = new QVBoxLayout(links);
    // The links lead to the directory service's pages in the browser.
    const QString serviceHost = QString::fromStdString(ServiceHost());
    m_registerLink = new LinkLabel("Register new user");
    m_registerLink->setObjectName("register");
    LinkLabel::StyleAsMainWindowLink(m_registerLink);
    m_registerLink->SetUrl(LinkLabel::RegisterUrl(serviceHost).toString());
    m_registerLink->setToolTip("Click here if you want to register a new user");
    m_inviteLink = new LinkLabel("Invite your friends");
    m_inviteLink->setObjectName("invite");
    LinkLabel::StyleAsMainWindowLink(m_inviteLink);
    // Already escaped as the page wants it: it must not be escaped a second time.
    m_inviteLink->SetUrl(LinkLabel::InviteUrl(serviceHost).toString(QUrl::FullyEncoded));
    m_inviteLink->setToolTip("Click here to send an invitation to any of your friends");
    for (LinkLabel* link : {m_registerLink, m_inviteLink}) {
        // Room for the caption on one line in the link's font.
        const QFontMetrics metrics(link->LinkFont());
        link->setMinimumSize(metrics.horizontalAdvance(link->Caption()) + 8, metrics.height() + 6);
    }
    linksLayout->addWidget(m_registerLink);
    linksLayout->addWidget(m_inviteLink);
    return links;
}

void CMainDialog::BuildMenu() {
    struct Item {
        const char* menu;
        const char* text;
        int id;
    };
    const Item items[] = {
        {"File", "Exit", ID_FILE_EXIT},
        {"View", "Statistics", ID_VIEW_STATISTICS},
        {"View", "Missed Calls", ID_VIEW_MISSED},
        {"View", "Settings", ID_VIEW_SETTINGS},
        {"View", "Refresh", ID_VIEW_REFRESH},
        {"View", "Logs", ID_VIEW_LOGS},
        {"Buddy List", "Add Buddy", ID_BUDDY_ADD},
        {"Buddy List", "Delete Buddy", ID_BUDDY_DELETE},
        {"Help", "About", ID_HELP_ABOUT},
    };
    QMenu* current = nullptr;
    QString currentName;
    for (const Item& item : items) {
        if (currentName != item.menu) {
            currentName = item.menu;
            current = m_menu->addMenu(item.menu);
            connect(current, &QMenu::aboutToShow, this, &CMainDialog::UpdateMenuState);
        }
        QAction* action = current->addAction(item.text);
        action->setData(item.id);
        const int id = item.id;
        connect(action, &QAction::triggered, this, [this, id] { OnCommand(id); });
    }
    MenuAction(ID_VIEW_REFRESH)->setStatusTip("Check for new online buddies right now.");
    MenuAction(ID_VIEW_REFRESH)->setToolTip("Check for new online buddies right now.");
    // "Logs" has no window to open.
    MenuAction(ID_VIEW_LOGS)->setEnabled(false);
}

QAction* CMainDialog::MenuAction(int command) const {
    for (QAction* menu : m_menu->actions()) {
        for (QAction* action : menu->menu()->actions()) {
            if (action->data().toInt() == command) {
                return action;
            }
        }
    }
    return nullptr;
}

void CMainDialog::UpdateMenuState() {
    // "Login" while logged out, "Logoff" while logged in.
    const bool loggedIn = m_session && m_session->LoggedIn();
    if (QAction* login = m_trayIcon->Action(CSystemTray::kLogin)) {
        login->setEnabled(!loggedIn);
    }
    if (QAction* logoff = m_trayIcon->Action(CSystemTray::kLogoff)) {
        logoff->setEnabled(loggedIn);
    }
}
