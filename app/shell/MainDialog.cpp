#include "app/shell/MainDialog.h"

#include <QAction>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDateTime>
#include <QEventLoop>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QMenuBar>
#include <QPushButton>
#include <QScreen>
#include <QSlider>
#include <QTimer>
#include <QTimerEvent>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <arpa/inet.h>

#include <cstdio>

#include "app/pages/BuddyListPage.h"
#include "app/pages/ConnectIpPage.h"
#include "app/pages/IpAddressEdit.h"
#include "app/pages/LoginPage.h"
#include "app/pages/MyPropertySheet.h"
#include "app/pages/OnlinePage.h"
#include "app/settings/ProgramSettings.h"
#include "app/shell/EngineBridge.h"
#include "app/shell/Icons.h"
#include "app/shell/InCallDisplay.h"
#include "app/shell/Prompts.h"
#include "app/sounds/SoundPlayer.h"
#include "app/widgets/GradientProgress.h"
#include "app/widgets/MainStatusBar.h"
#include "app/widgets/StatisticsDialog.h"
#include "app/widgets/WaveformView.h"

namespace {

constexpr int kPresenceIntervalMs = 45000;
constexpr int kClockIntervalMs = 1000;
constexpr int kProbeEveryTicks = 10;
constexpr int kMaxDebugLines = 1000;
constexpr int kConnectPollMs = 10;

const char* const kReady = "Ready to receive calls";
constexpr int kPresenceRefreshOnly = 0xFFFF;
constexpr uint32_t kHostIndicator = 0x800000;  // a pane style flag: the pane hosts an indicator

}  // namespace

unsigned CMainDialog::m_nTickCount = 0;

CMainDialog::CMainDialog(QWidget* parent) : QDialog(parent) {
    setWindowTitle("Mervane");
    setWindowIcon(icons::MainIcon());
    setWindowFlags(Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                   Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint);
    setModal(false);
    BuildWindow();
    BuildMenu();
    m_missedCallsDlg = new CMissedCallsDlg(this);
    m_trayIcon = new CSystemTray(this);
    connect(m_trayIcon, &CSystemTray::command, this, [this](int id) { OnCommand(id); });
    connect(m_trayIcon, &CSystemTray::aboutToShowMenu, this, &CMainDialog::UpdateMenuState);
}

CMainDialog::~CMainDialog() {
    OnDestroy();
}

void CMainDialog::BuildWindow() {
    auto* outer = new QVBoxLayout(this);
    outer->setContentsMargins(6, 0, 6, 0);
    m_menu = new QMenuBar(this);
    outer->setMenuBar(m_menu);

    // Call buttons on the left, the waveform area on the right.
    auto* top = new QHBoxLayout;
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
    top->addWidget(m_talk);
    top->addWidget(m_hangUp);
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
    volumeLayout->addWidget(new QLabel("High"), 0, 0);
    volumeLayout->addWidget(new QLabel("Low"), 2, 0);
    for (int i = 0; i < 3; ++i) {
        m_sliders[i] = new QSlider(Qt::Vertical);
        m_sliders[i]->setRange(0, 100);
        m_sliders[i]->setToolTip(tips[i]);
        m_sliders[i]->setEnabled(false);  // driven by the mixer once it is there
        m_sliders[i]->setMinimumHeight(90);
        volumeLayout->addWidget(m_sliders[i], 0, i + 1, 3, 1, Qt::AlignHCenter);
        volumeLayout->addWidget(new QLabel(names[i]), 3, i + 1, Qt::AlignHCenter);
    }
    right->addWidget(volume);
    auto* links = new QGroupBox("Click here to");
    auto* linksLayout = new QVBoxLayout(links);
    m_registerLink = new QLabel("Register new user");
    m_registerLink->setToolTip("Click here if you want to register a new user");
    m_inviteLink = new QLabel("Invite your friends");
    m_inviteLink->setToolTip("Click here to send an invitation to any of your friends");
    linksLayout->addWidget(m_registerLink);
    linksLayout->addWidget(m_inviteLink);
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
    // "Logs" has no window to open; the buddy commands and the settings dialog come with their
    // pages and dialogs.
    for (int id :
         {int(ID_VIEW_LOGS), int(ID_BUDDY_ADD), int(ID_BUDDY_DELETE), int(ID_VIEW_SETTINGS)}) {
        MenuAction(id)->setEnabled(false);
    }
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
    // "Login" and "Logoff" follow the login state; both need the directory service, which the
    // client does not use yet, so they stay greyed until then.
    if (QAction* login = m_trayIcon->Action(CSystemTray::kLogin)) {
        login->setEnabled(false);
    }
    if (QAction* logoff = m_trayIcon->Action(CSystemTray::kLogoff)) {
        logoff->setEnabled(false);
    }
    if (QAction* settingsItem = m_trayIcon->Action(CSystemTray::kSettings)) {
        settingsItem->setEnabled(false);
    }
}

void CMainDialog::OnInitDialog(bool showWindow) {
    ShowButtons(false);
    m_trayIcon->Create("Click here to Talk", icons::MainIcon());
    m_trayIcon->SetMenuDefaultItem(CSystemTray::kTalk);
    UpdateMenuState();
    // Panes 1 and 2 take a third of the width each; pane 0 stretches.
    const int third = sizeHint().width() / 3;
    for (int pane = 1; pane < 3; ++pane) {
        unsigned id = 0;
        uint32_t style = 0;
        int paneWidth = 0;
        m_statusBar->GetPaneInfo(pane, id, style, paneWidth);
        m_statusBar->SetPaneInfo(pane, id, style, third);
    }
    SetPaneText(1, "Starting up.. please wait");

    m_nPresenceTimer = startTimer(kPresenceIntervalMs);
    m_nClockTimer = startTimer(kClockIntervalMs);
    m_paneFont = font();
    OnPresenceTimer(0);

    // The pages: logged out, the sheet holds the login and connect-by-address pages.
    m_loginPage = new LoginPage(this);
    m_onlinePage = new OnlinePage(this);
    m_buddyListPage = new BuddyListPage(this);
    m_connectIpPage = new ConnectIpPage(this);
    for (QWidget* page : std::initializer_list<QWidget*>{m_loginPage, m_onlinePage, m_buddyListPage,
                                                         m_connectIpPage}) {
        page->hide();
    }
    m_onlinePage->SetMainWindow(this);
    m_onlinePage->SetBuddyListPage(m_buddyListPage);
    m_buddyListPage->SetMainWindow(this);
    m_loginPage->SetMainWindow(this);
    ArrangePages(0);

    StartListening();
    if (showWindow) {
        showNormal();
    } else {
        hide();
    }
}

void CMainDialog::ArrangePages(int loggedIn) {
    ::ArrangePages(m_sheet, m_loginPage, m_onlinePage, m_buddyListPage, m_connectIpPage,
                   loggedIn != 0);
}

QString CMainDialog::PaneText(int pane) const {
    return m_statusBar->GetPaneText(pane);
}

void CMainDialog::SetPaneText(int pane, const QString& text) {
    m_statusBar->SetPaneText(pane, text);
}

QString CMainDialog::CallText() const {
    PaneStyle* style = m_statusBar->GetPaneStyle(2);
    if (style && style->control()) {
        return style->control()->Painter().customText;
    }
    return PaneText(2);
}

qint64 CMainDialog::BytesSent() const {
    return m_statisticsDlg->bytesSent;
}

qint64 CMainDialog::BytesReceived() const {
    return m_statisticsDlg->bytesReceived;
}

void CMainDialog::ShowButtons(bool inCall) {
    m_hangUp->setVisible(inCall);
    m_talk->setVisible(!inCall);
}

void CMainDialog::AddStatusLine(const QString& text) {
    m_debugLines.prepend(text);
    if (m_debugLines.size() > kMaxDebugLines) {
        m_debugLines.removeLast();
    }
    if (qEnvironmentVariableIsSet("ZORVO_TRACE")) {
        std::fprintf(stderr, "zorvo: %s\n", text.toLocal8Bit().constData());
    }
}

void CMainDialog::BringForward() {
    showNormal();
    raise();
    activateWindow();
}

// --- engine ownership ---------------------------------------------------------------------------

void CMainDialog::CreateEngine(int answerMode) {
    // Each engine reports through a window handle of its own, which goes away with the engine:
    // whatever an engine still had queued is then dropped instead of reaching its successor.
    m_hWnd = bridge::RegisterEngineWindow(this);
    m_pStatistics = new Statistics(m_hWnd);
    const QByteArray user = (m_bLoggedIn ? m_strUser : QString("UNKNOWN")).toUtf8();
    m_pEngine = new Voxlane(bridge::CallPort(), answerMode, m_pStatistics, user.constData(),
                            bridge::EngineOptionsFromEnvironment());
    ++m_engineGeneration;
}

void CMainDialog::DestroyEngine() {
    if (m_pEngine) {
        m_pEngine->Stop();
        delete m_pEngine;
        m_pEngine = nullptr;
        ++m_engineGeneration;
    }
    if (m_pStatistics) {
        delete m_pStatistics;
        m_pStatistics = nullptr;
    }
    if (m_hWnd) {
        UnregisterWindow(m_hWnd);
        m_hWnd = 0;
    }
}

void CMainDialog::StartListening() {
    m_waveform->Clear();
    if (m_pEngine) {
        prompts::Inform(this, "Server Already started");
        return;
    }
    CreateEngine(1);
    m_pEngine->StartServer();
    ShowButtons(false);
    SetPaneText(2, kReady);
}

bool CMainDialog::ReleaseEngine() {
    if (m_pEngine && m_pEngine->IsConnected() &&
        !prompts::AskYesNo(this, "Do you want to disconnect the current connection?")) {
        return false;
    }
    if (m_pEngine && m_pEngine->IsConnected()) {
        StopCallIndicator();
    }
    DestroyEngine();
    ShowButtons(false);
    return true;
}

// --- engine notifications -----------------------------------------------------------------------

bool CMainDialog::event(QEvent* e) {
    if (e->type() == EngineStatusEvent::Kind()) {
        const auto* status = static_cast<EngineStatusEvent*>(e);
        OnEngineStatus(status->code, status->value);
        return true;
    }
    return QDialog::event(e);
}

int CMainDialog::OnEngineStatus(unsigned code, uintptr_t value) {
    if (code < kFirstEngineStatus || code > kLastEngineStatus) {
        return 0;
    }
    const bool connected = m_pEngine && m_pEngine->IsConnected();
    switch (code) {
        case STATUS_BYTES_SENT:
            if (connected) {
                m_statisticsDlg->AddBytesSent(static_cast<int64_t>(value));
            }
            break;
        case STATUS_BYTES_RECEIVED:
            if (connected) {
                m_statisticsDlg->AddBytesReceived(static_cast<int64_t>(value));
            }
            break;
        case STATUS_DEBUG_TEXT:
            AddStatusLine(QString::fromUtf8(reinterpret_cast<const char*>(value)));
            break;
        case STATUS_MIC_FRAME:
        case STATUS_NET_FRAME:
            if (connected) {
                // The engine refills the shared frame five times a second: take a copy now.
                int16_t frame[Statistics::kFrameBytes / 2];
                if (code == STATUS_MIC_FRAME) {
                    Statistics::CopyLastFromMic(frame);
                } else {
                    Statistics::CopyLastFromNet(frame);
                }
                m_waveform->SetTrace(code, frame);
            }
            break;
        case STATUS_REMOTE_HANGUP:
        case STATUS_CONNECTION_LOST:
            if (m_bConnectWaiting) {
                // The connect thread still uses the engine: end the call once it has finished.
                m_bCallEndDeferred = true;
            } else {
                OnCallEnded();
            }
            break;
        case STATUS_CONNECTED:
            OnCallStarted();
            break;
        case STATUS_SERVER_ERROR:
            ShowButtons(false);
            SetPaneText(2, "Error in Server");
            break;
        case STATUS_INCOMING_CALL:
            OnIncomingCall(value);
            break;
        case STATUS_CONNECT_FAILED:
            OnConnectFailed();
            break;
        case STATUS_RINGING:
            if (m_connectingDlg) {
                m_connectingDlg->text = "Ringing at the other end";
                m_connectingDlg->connectState = CConnectingDlg::kRinging;
                m_connectingDlg->UpdateData();
            }
            break;
        case STATUS_ROUND_TRIP:
            if (connected) {
                m_nLastDelay = static_cast<int>(value);
                incall::DelayMean mean{m_fAvgDelay, m_nDelaySamples};
                mean.Add(static_cast<unsigned>(value));
                m_fAvgDelay = mean.mean;
                m_nDelaySamples = mean.samples;
            }
            break;
        default:
            break;
    }
    emit engineStatusHandled(code);
    return 0;
}

void CMainDialog::OnCallStarted() {
    ShowButtons(true);
    m_tCallStart = std::time(nullptr);
    m_nLastDelay = 0;
    m_bDelayRequested = 0;
    m_nSessionId = 0;
    m_fAvgDelay = 0;
    m_nDelaySamples = 0;
    StartCallIndicator();
    if (PaneStyle* style = m_statusBar->GetPaneStyle(2); style && style->control()) {
        style->control()->Painter().customText = "Active 00:00:00";
        style->control()->update();
    }
    // The call report to the directory service goes out here once the client logs in.
}

void CMainDialog::OnCallEnded() {
    DestroyEngine();
    ShowButtons(false);
    SoundPlayer::Instance().PlaySound("hangup.wav", SoundPlayer::kAsync | SoundPlayer::kNoStop);
    StopCallIndicator();
    if (!m_bExiting) {
        StartListening();
    }
}

void CMainDialog::OnConnectFailed() {
    if (m_connectingDlg) {
        m_connectingDlg->connectState = CConnectingDlg::kFailed;
    }
    SoundPlayer::Instance().PlaySound(QString(), 0);
    prompts::Inform(this,
                    "Cannot Complete the connection. Either your buddy is away from the computer "
                    "or the connection timed out.");
}

void CMainDialog::OnIncomingCall(uintptr_t decisionCell) {
    if (!m_pEngine) {
        return;
    }
    BringForward();
    SoundPlayer::Instance().PlaySound("phonering.wav", SoundPlayer::kAsync | SoundPlayer::kLoop);
    const int ringTime = ProgramSettings::RingTime();
    const char* caller = m_pEngine->GetRemoteUserName();
    m_strRemoteUser = caller ? QString::fromUtf8(caller) : QString();
    const unsigned generation = m_engineGeneration;

    auto* dialog = new CIncomingCallDlg(m_strRemoteUser, ringTime, this);
    m_incomingDlg = dialog;
    const int result = dialog->exec();
    // The engine may have gone while the dialog rang (Exit from the tray, for one): its decision
    // cell went with it and must not be written.
    if (m_pEngine && generation == m_engineGeneration) {
        Voxlane::WriteDecision(decisionCell,
                               result == QDialog::Accepted ? DECISION_ACCEPT : DECISION_REJECT);
    }
    SoundPlayer::Instance().PlaySound(QString(), 0);
    if (dialog->m_bMissed && !m_bExiting) {
        m_missedCallsDlg->AddMissedCall(m_strRemoteUser);
        m_missedCallsDlg->show();
    }
    delete dialog;
}

// --- outgoing call ------------------------------------------------------------------------------

void CMainDialog::OnTalk() {
    if (m_bConnectWaiting) {
        return;
    }
    in_addr address{};
    QWidget* page = m_sheet->GetActivePage();
    if (page == m_connectIpPage) {
        IpAddressEdit* control = m_connectIpPage->AddressControl();
        quint8 fields[4] = {};
        // A partly filled address is no address either: calling x.y.0.0 would be a wrong call.
        if (control->IsBlank() || !control->GetAddress(fields)) {
            prompts::Inform(this, "Enter IP Address");
            return;
        }
        m_strRemoteUser = control->Text();
        address.s_addr =
            htonl(static_cast<uint32_t>(fields[0]) << 24 | static_cast<uint32_t>(fields[1]) << 16 |
                  static_cast<uint32_t>(fields[2]) << 8 | fields[3]);
    } else if (page != m_onlinePage) {
        prompts::Inform(this, "Please select the buddy to talk with from the online list");
        if (m_sheet->HasPage(m_onlinePage)) {
            m_sheet->SetActivePage(m_onlinePage);
        }
        return;
    } else {
        QTreeWidgetItem* item = m_onlinePage->Tree()->currentItem();
        if (!item || item->parent() != m_onlinePage->m_hRoot) {
            prompts::Inform(this,
                            "Please select the buddy to talk with from the list of buddies online");
            return;
        }
        const QString name = item->text(0).left(256);
        OnlineBuddy buddy;
        if (!m_onlinePage->LookupOnline(name, &buddy)) {
            prompts::Inform(this, "User is not online");
            return;
        }
        if (buddy.address == 0xFFFFFFFFu) {
            prompts::Inform(this, "Cannot connect to " + name +
                                      "'s computer since it is behind a firewall. Computers "
                                      "behind a firewall cannot be reached. But they can "
                                      "initiate a connection to you.");
            return;
        }
        m_strRemoteUser = name;
        address.s_addr = buddy.address;
    }

    auto* progress = new CConnectingDlg(this);
    m_connectingDlg = progress;
    progress->text = "Connecting..";
    progress->UpdateData();
    progress->show();
    progress->move(geometry().center() - progress->rect().center());

    ReleaseEngine();
    CreateEngine(0);
    if (!m_pEngine->InitConnect(address, bridge::PeerPort())) {
        prompts::Inform(this, "Cannot initialize connection");
        delete progress;
        StopCallIndicator();
        return;
    }

    Thread connectThread(&Voxlane::_Connect, m_pEngine);
    connectThread.Resume();
    m_bConnectWaiting = true;
    m_bCallEndDeferred = false;
    bool cancelActedOn = false;
    QEventLoop wait;
    QTimer poll;
    connect(&poll, &QTimer::timeout, &wait, [&] {
        if (progress && progress->connectState == CConnectingDlg::kCancelling && !cancelActedOn) {
            cancelActedOn = true;
            m_pEngine->Stop();
            progress->text = "Cancelling.. Please Wait";
            progress->UpdateData();
        }
        if (progress && progress->connectState == CConnectingDlg::kRinging) {
            SoundPlayer::Instance().PlaySound("phonering.wav",
                                              SoundPlayer::kAsync | SoundPlayer::kNoStop);
        }
        if (connectThread.WaitForDeath(0) == Thread::kWaitObject0) {
            wait.quit();
        }
    });
    poll.start(kConnectPollMs);
    wait.exec();
    poll.stop();
    m_bConnectWaiting = false;

    SoundPlayer::Instance().PlaySound(QString(), 0);
    delete progress;
    if (m_bExiting) {
        close();
        return;
    }
    if (m_bCallEndDeferred) {
        OnCallEnded();  // the call came up and ended while the connect thread was finishing
    } else if (m_pEngine->IsConnected()) {
        AddStatusLine("Connected...");
        ShowButtons(true);
    } else {
        AddStatusLine("Connect failed..Please Retry");
        DestroyEngine();
        StartListening();
        ShowButtons(false);
    }
}

void CMainDialog::OnHangUp() {
    if (!m_pEngine || !ReleaseEngine()) {
        return;
    }
    SoundPlayer::Instance().PlaySound("hangup.wav", SoundPlayer::kAsync | SoundPlayer::kNoStop);
    m_waveform->Clear();
    StartListening();
}

// --- in-call display
// ------------------------------------------------------------------------------

void CMainDialog::StartCallIndicator() {
    PaneStyle* style = m_statusBar->GetPaneStyle(2);
    if (!style) {
        return;
    }
    // Pane 2 becomes the animated call indicator; its former look is kept for afterwards. A
    // caller hears "connected" twice for one call: the second time the pane already shows the
    // indicator, and saving again would keep the indicator's look instead of the pane's own.
    if (!m_statusBar->HasSavedState(2)) {
        m_statusBar->SaveState(2);
    }
    style->SetFlags(style->flags | kHostIndicator);
    m_statusBar->update();
    GradientProgress* bar = style->control();
    if (!bar) {
        return;
    }
    GradientPainter& painter = bar->Painter();
    painter.SetRange(0, 100);
    painter.SetPos(50);
    painter.backgroundColour = ColorFromRef(0xFF9A00);
    // The indicator paints every pixel itself: the bar behind it need not be drawn at each step.
    bar->setAttribute(Qt::WA_OpaquePaintEvent);
    painter.SetColourStops({ColorFromRef(0xFF9A00), ColorFromRef(0x00FFCE)});
    painter.barTextColour = Qt::black;
    painter.trackTextColour = Qt::black;
    painter.SetPos(100);
    painter.ModifyStyle(0, 0xA000);  // snake, gradient over the filled part
    painter.SetStep(1);
    painter.snakeLength = 50;
    bar->KillTimer(GradientProgress::kStepTimer);
    bar->SetTimer(GradientProgress::kStepTimer, 30);
    painter.ModifyStyle(0x0002, 0x0300);
    painter.font = m_paneFont;
    bar->update();
}

void CMainDialog::StopCallIndicator() {
    m_statusBar->RestoreState(2);
    m_statusBar->update();
}

void CMainDialog::OnPresenceTimer(int id) {
    // The presence cycle with the directory service is asked for here once the client logs in
    // (every id but kPresenceRefreshOnly).
    (void)id;
    SetPaneText(0, m_bLoggedIn ? QString() : QString("Please Login"));
    SetPaneText(1, m_strServerStatus);
}

void CMainDialog::OnClockTimer() {
    ++m_nTickCount;
    if (!m_pEngine || !m_pEngine->IsConnected()) {
        return;
    }
    const int64_t elapsed = static_cast<int64_t>(std::time(nullptr) - m_tCallStart);
    if (m_nLastDelay == 0 && m_bDelayRequested == 0) {
        // The first probe is asked for every second until the engine takes it.
        m_bDelayRequested = m_pEngine->CalculateRoundTripDelay();
    }
    const QString text = incall::ClockText(elapsed, static_cast<unsigned>(m_nLastDelay));
    if (PaneStyle* style = m_statusBar->GetPaneStyle(2); style && style->control()) {
        GradientPainter& painter = style->control()->Painter();
        painter.customText = text;
        if (m_nLastDelay != 0) {
            painter.SetColourStops(
                {ColorFromRef(0xFF9A00),
                 ColorFromRef(incall::DelayColour(static_cast<unsigned>(m_nLastDelay)))});
        }
        style->control()->update();
    }
    if (m_nTickCount % kProbeEveryTicks == 0) {
        m_pEngine->CalculateRoundTripDelay();
    }
    // Every 300 ticks the call is reported to the directory service once the client logs in.
}

void CMainDialog::timerEvent(QTimerEvent* e) {
    if (e->timerId() == m_nClockTimer) {
        OnClockTimer();
    } else if (e->timerId() == m_nPresenceTimer) {
        OnPresenceTimer(TIMER_PRESENCE);
    } else {
        QDialog::timerEvent(e);
    }
}

// --- commands, closing and exit
// -------------------------------------------------------------------

void CMainDialog::OnCommand(int id) {
    switch (id) {
        case ID_FILE_EXIT:
        case CSystemTray::kExit:
            OnExit();
            break;
        case ID_VIEW_MISSED:
            m_missedCallsDlg->show();
            break;
        case ID_VIEW_STATISTICS:
            m_statisticsDlg->DoModal();
            break;
        case ID_VIEW_REFRESH:
            OnPresenceTimer(0);
            break;
        case ID_HELP_ABOUT: {
            CAboutDlg about(this);
            about.exec();
            break;
        }
        case CSystemTray::kTalk:
            show();
            raise();
            activateWindow();
            break;
        case ID_START_SERVER:
            StartListening();
            break;
        default:
            break;
    }
}

void CMainDialog::reject() {
    // Esc hides the window like the close box; the program goes on in the tray.
    hide();
}

void CMainDialog::closeEvent(QCloseEvent* e) {
    if (m_bExiting) {
        OnDestroy();
        e->accept();
        emit exited();
        return;
    }
    e->ignore();
    hide();
    if (ProgramSettings::ReadNumber(settings::kDontShowDlgOnMinimize, 0) == 0) {
        CTrayInfoDlg info(this);
        info.exec();
    }
}

void CMainDialog::OnExit() {
    m_bExiting = 1;
    if (m_incomingDlg) {
        m_incomingDlg->reject();  // its caller sees the engine gone and writes no answer
    }
    if (m_bConnectWaiting) {
        // The attempt ends at once; OnTalk then closes the window.
        if (m_pEngine) {
            m_pEngine->Stop();
        }
        return;
    }
    close();
}

void CMainDialog::OnDestroy() {
    if (m_destroyed) {
        return;
    }
    m_destroyed = true;
    AddStatusLine("Closing connections...");
    DestroyEngine();
    AddStatusLine("All connections closed");
    m_trayIcon->RemoveIcon();
}
