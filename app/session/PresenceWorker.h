#pragma once

#include <QByteArray>
#include <QObject>
#include <QString>
#include <QTimer>

#include <atomic>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "app/session/CallReport.h"
#include "directory/client/WebClient.h"
#include "util/Messages.h"

class SessionState;
class Thread;

// The presence heartbeat on a thread of its own. Each heartbeat checks the own address against
// the service, logs in automatically when the service becomes reachable, renews the router's
// port mapping when there is one, tells the server the user is still there ("iamup.asp", with
// the capabilities, the identity key, the own address and call port and the mapping) and asks which
// buddies are online ("GetUserList.asp", asking for the extended list). The same thread sends the
// call reports. It never waits for the GUI thread: everything it has to say goes out through the
// signals below (connect them with a receiver living on the GUI thread, so they arrive there
// queued).
class PresenceWorker : public QObject {
    Q_OBJECT
  public:
    static constexpr uint32_t WM_PRESENCE_QUIT = WM_USER + 120;
    static constexpr uint32_t WM_PRESENCE_CHECK = WM_USER + 121;
    static constexpr uint32_t WM_CALL_REPORT = WM_USER + 122;

    explicit PresenceWorker(SessionState* state, QObject* parent = nullptr);
    ~PresenceWorker() override;  // Stop()

    // The heartbeat period (45000 ms in the program).
    void SetHeartbeatIntervalMs(int ms) { m_timer.setInterval(ms); }

    // Where the heartbeat takes the buddy names from; called on the worker thread, so it must
    // hand over a copy (BuddyListPage::Buddies does).
    void SetBuddySource(std::function<std::vector<std::string>()> source);

    // Lets the thread run, starts the timer and asks for the first heartbeat.
    void Start();
    // Asks the thread to quit and waits for it (a request under way ends within its time-out).
    void Stop();

    uint32_t ThreadId() const;

    // Status pane 1's text: "Checking server", then presence::ServerStatusText of the last
    // address check, the router's mapping and SetRegistered ("The server cannot be reached",
    // "Your IP:" and the address, "Behind firewall", ...).
    QString ServerStatus() const;
    // The last classification: "", "LAN" or the own dotted address.
    QString LocalAddress() const;

    // Whether the listening engine is registered with the directory's rendezvous; pane 1 says
    // so. Called from the GUI thread.
    void SetRegistered(bool registered);

    // The record id of the current call's reports (0: none yet).
    int SessionId() const { return m_nSessionId.load(); }

  public slots:
    // One heartbeat now (the "Refresh" command, the end of a login).
    void Refresh();
    // Asks for a call report with these figures. requireLogin: the opening and closing reports
    // are sent only while logged in; the periodic one is sent regardless.
    void RequestCallReport(const CallFigures& figures, bool requireLogin);

  signals:
    // ServerStatus() or LocalAddress() changed: refresh the status panes.
    void statusChanged(const QString& serverStatus, const QString& localAddress);
    // Log in now with the saved credentials (when not logged in).
    void loginRequested();
    // Log off now (when logged in): the service refused the user or cannot be reached.
    void logoffRequested();
    // An accepted "GetUserList.asp" reply for OnlinePage::UpdateFromReply.
    void onlineReplyReceived(const QString& reply);
    // An accepted "iamup.asp" reply named this rendezvous ("a.b.c.d:port") and this user's raw
    // key there; both empty when it named none (a service without the extension). Sent after
    // every accepted heartbeat.
    void rendezvousReceived(const QString& server, const QByteArray& key);
    // A heartbeat has ended; statusChanged came first if the texts changed.
    void heartbeatDone();

  private:
    struct Report {
        CallFigures figures;
        bool requireLogin;
    };
    static uint32_t Run(void* argument);
    void Heartbeat();
    bool CheckAddress();
    void RequestLogoff();
    void ExchangeWithServer();
    std::string IamUpRequest(const ServerInfo& server, const std::string& user,
                             const std::string& password);
    void RenewMapping();
    void TakeRendezvous(const std::string& reply);
    void SendNextReport();

    SessionState* m_state;
    std::unique_ptr<Thread> m_thread;
    QTimer m_timer;
    std::atomic<int> m_bFirstHeartbeat{1};
    std::atomic<int> m_bServerReachable{0};
    std::atomic<int> m_nSessionId{0};

    mutable std::mutex m_lock;       // guards the members below
    std::string m_strServerStatus;   // "" before the first heartbeat, then "Checking server"
    bool m_bAddressChecked = false;  // from then on pane 1 follows the facts below
    std::string m_strLocalAddress;   // "", "LAN" or the own dotted address
    std::string m_strLocalDotted;    // the own dotted address, unclassified
    std::string m_strMapped;         // the router's external endpoint forwarded to the call port
    bool m_bMappedSamePort = false;  // ... on the call port's own number
    bool m_bRegistered = false;
    std::function<std::vector<std::string>()> m_buddySource;
    std::deque<Report> m_reports;
    bool m_bStarted = false;
};
