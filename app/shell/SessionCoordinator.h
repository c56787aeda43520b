#pragma once

#include <QObject>
#include <QString>

#include <atomic>
#include <memory>

#include "app/call/CallController.h"

class BuddyKeyCheck;
class BuddyListPage;
class BuddySync;
class CallPageRequest;
class LoginPage;
class LoginSession;
class OnlinePage;
class PresenceWorker;
class SessionState;

// The logged-in client: owns the directory session (its shared state, the login session, the
// presence worker, the call page and the buddy sync) and joins it to the pages and the call
// controller. The window builds it, forwards the user's commands to it and shows what it
// signals; the login, presence and call report logic all run here or in the units it owns.
//
// The rendezvous each heartbeat names goes to the call controller (and is dropped at logoff);
// the controller's word on its registration there goes to status pane 1. The login and the
// heartbeat publish the identity key the controller's engines carry, and the buddy key check
// judges the key each encrypted call's peer proved.
class SessionCoordinator : public QObject {
    Q_OBJECT
  public:
    struct Pages {
        LoginPage* login = nullptr;
        OnlinePage* online = nullptr;
        BuddyListPage* buddies = nullptr;
    };

    SessionCoordinator(CallController* call, const Pages& pages, QObject* parent = nullptr);
    ~SessionCoordinator() override;  // Stop()

    // Starts the presence worker: its first heartbeat runs at once.
    void Start();
    // Stops the presence worker (the program is closing).
    void Stop();

    bool LoggedIn() const;
    // The user of the last successful login (kept after a logoff).
    QString UserName() const;
    // Status pane 0 outside a login or logoff: the directory server's host while logged in,
    // "Please Login" otherwise.
    QString ServerPaneText() const;
    // Status pane 1: the presence worker's word on the service ("Starting up.. please wait"
    // until its first heartbeat has said something).
    QString ServerStatus() const;

    SessionState& State() const { return *m_state; }
    LoginSession* Login() const { return m_login.get(); }
    PresenceWorker* Presence() const { return m_presence.get(); }
    BuddySync* Sync() const { return m_sync.get(); }
    BuddyKeyCheck* KeyCheck() const { return m_keyCheck.get(); }

  public slots:
    // One heartbeat now ("Refresh", the presence timer, the end of a login).
    void Refresh();
    // The menu's and tray's "Login": logs in with the login page's fields when logged out.
    void RequestLogin();
    // The tray's "Logoff": logs off when logged in.
    void RequestLogoff();
    // Talk on a buddy behind a router who is registered with the rendezvous: the call page is
    // asked for off the GUI thread, then the call controller calls with its plan (or tells why
    // not and goes on listening).
    void CallByName(const QString& buddy);

  signals:
    // A login began: status pane 0 becomes the busy indicator with this text.
    void busyStarted(const QString& text);
    void busyTextChanged(const QString& text);
    // The login is over: pane 0 gets its look back.
    void busyEnded();
    // Pane 0's text from the login session ("Logged in", "Please Login", ...).
    void serverPaneTextChanged(const QString& text);
    // Panes 0 and 1 are to be drawn again from ServerPaneText() and ServerStatus().
    void panesChanged();
    // Logged in as `user` (show the logged-in pages and the user in the title) or logged off
    // (the logged-out pages).
    void loginChanged(bool loggedIn, const QString& user);

  private:
    void ConnectLogin();
    void ConnectPresence();
    void OnLoggedIn(const QString& user, const QString& buddyText);
    void OnLoginFinished(int state);
    void OnCallReportDue(CallReportKind kind);
    void ConnectRendezvous();
    void OnRendezvous(const QString& server, const QByteArray& key);
    void OnCallPage(const QString& buddy, bool accepted, const QString& reason);

    CallController* m_call;
    Pages m_pages;
    std::unique_ptr<SessionState> m_state;
    std::unique_ptr<LoginSession> m_login;
    std::unique_ptr<PresenceWorker> m_presence;
    std::unique_ptr<BuddySync> m_sync;
    std::unique_ptr<CallPageRequest> m_callPage;
    std::unique_ptr<BuddyKeyCheck> m_keyCheck;
    bool m_busy = false;
    // Where the port mapping's change reaches the presence worker; emptied by Stop.
    std::shared_ptr<std::atomic<PresenceWorker*>> m_mappingRefresh;
};
