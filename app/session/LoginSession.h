#pragma once

#include <QObject>
#include <QString>

#include <memory>

#include "util/CSem.h"

class SessionState;
class Thread;

// Logs in to and off the directory service on worker threads while the GUI thread goes on.
//
// Login(user, password) pauses five seconds, checks the own address, discovers the server and
// sends "logmein.asp" with the capabilities and the identity key (SessionState::IdentityKeyHex);
// once logged in it asks the router to forward the call port (SessionState::PortMapping, when
// there is one). Logoff() removes that forwarding and sends "logmeoff.asp". Only one of them runs
// at a time; a request while one runs is dropped. The worker tells the GUI thread of each step
// it reaches and of its end through queued calls, which the signals below report; every box goes
// through the program's message-box hook, on the GUI thread, once the worker has ended.
class LoginSession : public QObject {
    Q_OBJECT
  public:
    // The login states the workers write.
    enum State {
        kLoggingIn = 0,
        kCannotConnect = 1,
        kNoLocalAddress = 2,
        kVerifying = 3,
        kRefused = 4,
        kLoggedIn = 6,
        kLogoffNoLocalAddress = 8,
        kLogoffFailed = 9,
        kLoggingOff = 10,
        kLogoffRefused = 11,
        kLoggedOff = 12
    };

    explicit LoginSession(SessionState* state, QObject* parent = nullptr);
    ~LoginSession() override;

    // The pause before every login (5000 ms in the program).
    void SetLoginPauseMs(int ms) { m_nPauseMs = ms; }

    int LoginState() const;
    bool IsBusy() const { return m_job != nullptr; }

    // The state-1 box text: "Cannot connect to <service host>. Please check your Internet
    // connection".
    static QString CannotConnectText();

  public slots:
    // Starts a login with these credentials; false when one is already running.
    bool Login(const QString& user, const QString& password);
    // Starts a logoff of the logged-in user; false when not logged in or one is running.
    bool Logoff();

  signals:
    // A login began: disable "Login", turn status pane 0 into the busy indicator.
    void loginStarted();
    // The busy indicator's text: "Logging in.. Please wait", then "Verfying User".
    void busyTextChanged(const QString& text);
    // Logged in: show the logged-in pages, title "Mervane-" + user, the buddy list from
    // buddyText, expand the online page's root, set the online page's own name.
    void loggedIn(const QString& user, const QString& buddyText);
    // A login ended in `state` (after loggedIn when it succeeded): restore pane 0, enable
    // "Login" again unless logged in, ask the presence worker for a heartbeat now.
    void loginFinished(int state);
    // A logoff ended: show the logged-out pages.
    void loggedOff();
    // Text for status pane 0 ("Logged in", "Please Login", "Logging off.. Please wait").
    void statusText(const QString& text);

  private:
    struct Job;
    using Work = void (*)(Job& job);
    static void LoginWork(Job& job);
    static void LogoffWork(Job& job);
    // The thread routine: runs the job's work, then tells the GUI thread that it has ended.
    static uint32_t WorkerThreadFunc(void* argument);
    void Start(Work work, bool login);
    // On the GUI thread, queued by the worker: a step it reached, and its end.
    void OnProgress(int state);
    void OnWorkerEnded();
    void FinishLogin();
    void FinishLogoff();
    // A directory's TLS key that was not used: a changed one is refused with a box, an unknown
    // one (at a login) gives the question whether to trust it; Yes keeps its pin and logs in
    // again.
    void OnKeyProblem(const Job& job);

    SessionState* m_state;
    CSem m_sem;
    int m_nPauseMs = 5000;
    std::unique_ptr<Job> m_job;
    std::unique_ptr<Thread> m_thread;
    int m_nShownState = -1;
    bool m_bAskingTrust = false;  // a trust question is open
};
