#pragma once

#include <QDialog>
#include <QLabel>
#include <QPointer>
#include <QString>
#include <QStringList>

#include <netinet/in.h>

#include <cstdint>

#include "app/call/CallController.h"
#include "app/call/InCallDisplay.h"
#include "app/settings/ProgramSettingsDialog.h"
#include "app/shell/CallDialogs.h"
#include "app/shell/SystemTray.h"

class QAction;
class QGroupBox;
class QLayout;
class QMenuBar;
class QPushButton;
class QSlider;
class MainStatusBar;
class StatisticsDialog;
class WaveformView;
class CMyPropertySheet;
class DesktopNotifier;
class ConnectIpPage;
class OnlinePage;
class LoginPage;
class BuddyListPage;
class LinkLabel;
class SessionCoordinator;
class VolumeSliders;

// The program's main window: call buttons, the page sheet, volume sliders, waveform area, links
// and a three-pane status bar. It forwards the user's commands to its call controller, which owns
// the engine of the moment, and shows what the controller reports.
class CMainDialog : public QDialog {
    Q_OBJECT
  public:
    // Menu and button commands.
    enum Command {
        ID_TALK = 1003,
        ID_HANGUP = 1023,
        ID_START_SERVER = 1009,
        ID_FILE_EXIT = 32772,
        ID_VIEW_STATISTICS = 32774,
        ID_VIEW_MISSED = 32799,
        ID_VIEW_SETTINGS = 32801,
        ID_VIEW_REFRESH = 32778,
        ID_VIEW_LOGS = 32777,
        ID_BUDDY_ADD = 32780,
        ID_BUDDY_DELETE = 32781,
        ID_HELP_ABOUT = 32776,
    };
    // The presence timer handler's ids besides TIMER_PRESENCE: 0 runs a heartbeat at once and
    // redraws the panes ("Refresh", the end of the start-up), kRefreshPanesOnly only redraws.
    static constexpr int kRefreshPanesOnly = 0xFFFF;
    static constexpr int TIMER_PRESENCE = 16;
    static constexpr int TIMER_CLOCK = 17;

    explicit CMainDialog(QWidget* parent = nullptr);
    ~CMainDialog() override;

    // The start-up sequence; `showWindow` false leaves the window hidden ("DontShow").
    void OnInitDialog(bool showWindow);

    // An engine notification (WM_ENGINE_STATUS), handled by the call controller. Codes outside
    // 1 to 13 are ignored, except STATUS_PATH (how the call got through).
    int OnEngineStatus(unsigned code, uintptr_t value);

    // Talk: finds the callee on the active page and starts the call; the attempt goes on after
    // this returns, behind the progress window.
    void OnTalk();
    // Hang Up: asks first (without waiting for the answer) when a call is up.
    void OnHangUp();
    // Releases the engine unless a call is up; false then (Hang Up asks first).
    bool ReleaseEngine();
    void StartListening();
    void AddStatusLine(const QString& text);
    void ArrangePages(int loggedIn);
    // Turns status pane 2 into the call indicator (once per call) / gives it its look back.
    void StartCallIndicator();
    void StopCallIndicator();
    // Turns status pane 0 into the login's busy indicator / sets its text / gives the pane its
    // look back.
    void StartBusyIndicator();
    void SetBusyText(const QString& text);
    void StopBusyIndicator();

    // "Settings" (menu and tray): lists the sound devices off the window's thread, then opens the
    // "Program Settings" dialog; OK there makes the next engine use the chosen devices.
    void OpenSettings();

    // Exit: ends the program, also during a call or a call attempt.
    void OnExit();
    // Brings the window forward (a second start of the program, the tray's Talk).
    void BringForward();

    int m_bExiting = 0;

    CallController* Call() const { return m_call; }
    // The directory session: login, presence, buddy sync and call reports.
    SessionCoordinator* Session() const { return m_session; }
    Voxlane* Engine() const;
    const QString& RemoteUser() const;
    QPushButton* TalkButton() const { return m_talk; }
    QPushButton* HangUpButton() const { return m_hangUp; }
    // Beside Hang Up during a call: mutes the microphone while pressed. The same command is the
    // window's Ctrl+M and the tray menu's "Mute".
    QPushButton* MuteButton() const { return m_mute; }
    QAction* MuteAction() const { return m_muteAction; }
    // "Muted", below the call's path while the microphone is muted.
    QLabel* CallMutedLabel() const { return m_callMuted; }
    // Beside the buttons during a call: how it got through ("Connected (relayed)", ...).
    QLabel* CallPathLabel() const { return m_callPath; }
    // Below it: how the call is protected (incall::SecurityText, red when the buddy's key
    // changed) and its padlock.
    QLabel* CallSecurityLabel() const { return m_callSecurity; }
    QLabel* CallLockLabel() const { return m_callLock; }
    QString PaneText(int pane) const;
    MainStatusBar* StatusBar() const { return m_statusBar; }
    WaveformView* Waveform() const { return m_waveform; }
    StatisticsDialog* StatisticsWindow() const { return m_statisticsDlg; }
    // The hosted indicator's text in pane 2 during a call, else the pane's text.
    QString CallText() const;
    CMyPropertySheet* Sheet() const { return m_sheet; }
    ConnectIpPage* ConnectPage() const { return m_connectIpPage; }
    OnlinePage* Online() const { return m_onlinePage; }
    LoginPage* Login() const { return m_loginPage; }
    BuddyListPage* Buddies() const { return m_buddyListPage; }
    LinkLabel* RegisterLink() const { return m_registerLink; }
    LinkLabel* InviteLink() const { return m_inviteLink; }
    CMissedCallsDlg* MissedCalls() const { return m_missedCallsDlg; }
    CConnectingDlg* Connecting() const { return m_connectingDlg; }
    CIncomingCallDlg* Ringing() const { return m_incomingDlg; }
    CSystemTray* Tray() const { return m_trayIcon; }
    // The "Info" dialog of the first close to the tray while it is open.
    CTrayInfoDlg* TrayInfo() const { return m_trayInfo; }
    // Desktop notes of calls that ring or ring out while the user is away from the window.
    DesktopNotifier* Notifier() const { return m_notifier; }
    // The "Master", "Speaker" and "Mic" sliders (0, 1, 2) and the mixer behind them.
    QSlider* VolumeSlider(int index) const { return m_sliders[index]; }
    VolumeSliders* Volume() const { return m_volume; }
    // The settings dialog while it is open (or being prepared: null until the devices are listed).
    ProgramSettingsDialog* SettingsDialog() const { return m_settingsDlg; }
    const QStringList& DebugLines() const { return m_debugLines; }
    QAction* MenuAction(int command) const;
    qint64 BytesSent() const;
    qint64 BytesReceived() const;
    // The presence timer's refresh of panes 0 and 1 (timer ids 16, 0 and kRefreshPanesOnly).
    void OnPresenceTimer(int id);
    // Runs a menu or tray command as if it had been chosen.
    void OnCommand(int id);
    // One tick of the call clock (timer 17).
    void OnClockTimer();
    static unsigned TickCount();

  signals:
    // Emitted after the window has handled an engine status (tests wait on it).
    void engineStatusHandled(unsigned code);
    // An outgoing attempt is over (`connected`: the call is up).
    void attemptEnded(bool connected);
    // Exit has run: the window is closed and the engine stopped; the program ends.
    void exited();
    // The settings dialog is on screen.
    void settingsOpened();

  protected:
    void closeEvent(QCloseEvent* event) override;
    void timerEvent(QTimerEvent* event) override;
    void reject() override;

  private:
    void BuildCallButtons();
    void BuildWindow();
    // The labels beside the call buttons: the call's path, and its padlock and protection.
    QLayout* BuildCallInfo();
    void BuildMenu();
    QGroupBox* BuildLinks();
    void ConnectCallController();
    void ConnectCallDisplay();
    void BuildPages();
    void ConnectSession();
    void ShowLogin(bool loggedIn, const QString& user);
    void ShowBuddyPage();
    // The callee of Talk: an address to call, or (byName) a buddy behind a router whom the
    // directory connects.
    bool FindCallee(in_addr& address, QString& name, bool& byName);
    bool FindOnlineCallee(in_addr& address, QString& name, bool& byName);
    void ShowIncomingCall(const QString& caller, int ringSeconds);
    void ShowAttempt(const QString& text);
    void OnAttemptChanged(AttemptState state, const QString& text);
    void OnAttemptEnded(bool connected);
    void ShowCallClock(const QString& text, uint32_t delayColour);
    void ConnectCallSecurity();
    void ConnectMute();
    void ShowMuted(bool muted);
    void ShowSecurity(const incall::Security& security);
    void HideSecurity();
    void SetPaneText(int pane, const QString& text);
    void StartPaneIndicator(int pane, int lastPos, bool clearStyle, const QFont& font);
    void ShowButtons(bool inCall);
    void OnDestroy();
    // The "Info" dialog, modal without a loop of its own: Exit still closes the window while it
    // is open.
    void ShowTrayInfo();
    void UpdateMenuState();
    void ConnectSettings();
    void ShowSettings(const QStringList& microphones, const QStringList& speakers);
    void ShowAudioStatus(const QString& text);

    CallController* m_call = nullptr;
    SessionCoordinator* m_session = nullptr;

    QPushButton* m_talk = nullptr;
    QPushButton* m_hangUp = nullptr;
    QPushButton* m_mute = nullptr;
    QAction* m_muteAction = nullptr;
    QLabel* m_callMuted = nullptr;
    QLabel* m_callPath = nullptr;
    QLabel* m_callSecurity = nullptr;
    QLabel* m_callLock = nullptr;
    WaveformView* m_waveform = nullptr;
    QSlider* m_sliders[3] = {};
    VolumeSliders* m_volume = nullptr;
    QPointer<ProgramSettingsDialog> m_settingsDlg;
    bool m_listingDevices = false;
    // A device text holds status pane 1 until this time (ms since the epoch); then the presence
    // texts take it back.
    qint64 m_audioStatusUntil = 0;
    MainStatusBar* m_statusBar = nullptr;
    StatisticsDialog* m_statisticsDlg = nullptr;
    QFont m_paneFont;
    LinkLabel* m_registerLink = nullptr;
    LinkLabel* m_inviteLink = nullptr;
    QMenuBar* m_menu = nullptr;

    CMyPropertySheet* m_sheet = nullptr;
    ConnectIpPage* m_connectIpPage = nullptr;
    OnlinePage* m_onlinePage = nullptr;
    LoginPage* m_loginPage = nullptr;
    BuddyListPage* m_buddyListPage = nullptr;
    CMissedCallsDlg* m_missedCallsDlg = nullptr;
    QPointer<CConnectingDlg> m_connectingDlg;
    QPointer<CIncomingCallDlg> m_incomingDlg;
    QPointer<QWidget> m_hangUpQuestion;
    CSystemTray* m_trayIcon = nullptr;
    QPointer<CTrayInfoDlg> m_trayInfo;
    DesktopNotifier* m_notifier = nullptr;

    int m_nPresenceTimer = 0;
    int m_nClockTimer = 0;
    QStringList m_debugLines;
    bool m_destroyed = false;
};
