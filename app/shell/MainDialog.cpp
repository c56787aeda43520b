#include "app/shell/MainDialog.h"

#include <QCloseEvent>
#include <QDateTime>
#include <QPushButton>
#include <QTimerEvent>

#include <cstdio>

#include "app/mixer/VolumeSliders.h"
#include "app/pages/BuddyListPage.h"
#include "app/pages/ConnectIpPage.h"
#include "app/pages/LoginPage.h"
#include "app/pages/MyPropertySheet.h"
#include "app/pages/OnlinePage.h"
#include "app/settings/ProgramSettings.h"
#include "app/shell/DesktopNotifier.h"
#include "app/shell/Icons.h"
#include "app/shell/SessionCoordinator.h"
#include "app/widgets/MainStatusBar.h"
#include "app/widgets/StatisticsDialog.h"
#include "app/widgets/WaveformView.h"

namespace {

constexpr int kPresenceIntervalMs = 45000;
constexpr int kClockIntervalMs = 1000;
constexpr int kMaxDebugLines = 1000;

}  // namespace

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
    m_notifier = new DesktopNotifier(this);
    connect(m_trayIcon, &CSystemTray::command, this, [this](int id) { OnCommand(id); });
    connect(m_trayIcon, &CSystemTray::aboutToShowMenu, this, &CMainDialog::UpdateMenuState);
    m_call = new CallController(this);
    ConnectCallController();
    ConnectCallDisplay();
    ConnectSettings();
}

CMainDialog::~CMainDialog() {
    OnDestroy();
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

    BuildPages();
    ConnectSession();
    ArrangePages(0);
    // The presence worker's first heartbeat runs at once; it may log in automatically.
    m_session->Start();
    OnPresenceTimer(kRefreshPanesOnly);

    // The sliders follow the mixer from now on; the chosen devices are checked in the background.
    m_volume->InitMixerControls();
    m_call->RefreshAudioRoute();
    StartListening();
    if (showWindow) {
        showNormal();
    } else {
        hide();
    }
}

void CMainDialog::BuildPages() {
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
}

void CMainDialog::ConnectSession() {
    m_session = new SessionCoordinator(m_call, {m_loginPage, m_onlinePage, m_buddyListPage}, this);
    SessionCoordinator* session = m_session;
    connect(session, &SessionCoordinator::busyStarted, this, &CMainDialog::StartBusyIndicator);
    connect(session, &SessionCoordinator::busyTextChanged, this, &CMainDialog::SetBusyText);
    connect(session, &SessionCoordinator::busyEnded, this, &CMainDialog::StopBusyIndicator);
    connect(session, &SessionCoordinator::serverPaneTextChanged, this,
            [this](const QString& text) { SetPaneText(0, text); });
    connect(session, &SessionCoordinator::panesChanged, this,
            [this] { OnPresenceTimer(kRefreshPanesOnly); });
    connect(session, &SessionCoordinator::loginChanged, this, &CMainDialog::ShowLogin);
    ConnectCallSecurity();
}

void CMainDialog::ShowLogin(bool loggedIn, const QString& user) {
    ArrangePages(loggedIn ? 1 : 0);
    if (loggedIn) {
        setWindowTitle("Mervane-" + user);  // the title keeps the name after a logoff
    }
    UpdateMenuState();
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

Voxlane* CMainDialog::Engine() const {
    return m_call->Engine();
}

const QString& CMainDialog::RemoteUser() const {
    return m_call->RemoteUser();
}

unsigned CMainDialog::TickCount() {
    return CallController::TickCount();
}

void CMainDialog::OnPresenceTimer(int id) {
    // The presence worker keeps its own heartbeat period; id 0 asks for a heartbeat at once.
    if (id == 0) {
        m_session->Refresh();
    }
    // While pane 0 is the login's busy indicator the login sets the pane when it ends.
    if (!m_statusBar->HasSavedState(0)) {
        SetPaneText(0, m_session->ServerPaneText());
    }
    // A text about a missing sound device keeps the pane for a while.
    if (QDateTime::currentMSecsSinceEpoch() >= m_audioStatusUntil) {
        SetPaneText(1, m_session->ServerStatus());
    }
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

// --- commands, closing and exit ---------------------------------------------------------------

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
        case ID_VIEW_SETTINGS:
        case CSystemTray::kSettings:
            OpenSettings();
            break;
        case ID_VIEW_REFRESH:
            OnPresenceTimer(0);
            break;
        case ID_BUDDY_ADD:
            ShowBuddyPage();
            m_buddyListPage->Add();
            break;
        case ID_BUDDY_DELETE:
            ShowBuddyPage();
            m_buddyListPage->Delete();
            break;
        case CSystemTray::kLogin:
            m_session->RequestLogin();
            break;
        case CSystemTray::kLogoff:
            m_session->RequestLogoff();
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

void CMainDialog::ShowBuddyPage() {
    // Logged out the page is not in the sheet; its Add and Delete then say so.
    m_sheet->SetActivePage(m_buddyListPage);
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
        ShowTrayInfo();
    }
}

void CMainDialog::ShowTrayInfo() {
    if (m_trayInfo) {
        m_trayInfo->raise();
        return;
    }
    // No modal loop inside the close handler: an Exit chosen while the dialog is open (tray
    // menu, a second close, SIGTERM) closes the window again, which a running close handler
    // would not let happen.
    m_trayInfo = new CTrayInfoDlg(this);
    m_trayInfo->setAttribute(Qt::WA_DeleteOnClose);
    m_trayInfo->setModal(true);
    m_trayInfo->show();
}

void CMainDialog::OnExit() {
    m_bExiting = 1;
    if (m_trayInfo) {
        m_trayInfo->reject();
    }
    // The engine stops at once: a ringing dialog or a call attempt ends with it.
    m_call->Shutdown();
    close();
}

void CMainDialog::OnDestroy() {
    if (m_destroyed) {
        return;
    }
    m_destroyed = true;
    AddStatusLine("Closing connections...");
    if (m_session) {
        m_session->Stop();
    }
    m_call->Shutdown();
    AddStatusLine("All connections closed");
    m_trayIcon->RemoveIcon();
}
