#include "app/session/LoginSession.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <optional>

#include <QMetaObject>
#include <QPointer>

#include "app/session/CallPortMapping.h"
#include "app/session/DirectoryTrust.h"
#include "app/session/SessionSettings.h"
#include "app/session/SessionState.h"
#include "directory/client/CallPage.h"
#include "directory/client/LocalAddress.h"
#include "directory/client/Requests.h"
#include "directory/client/ServiceHost.h"
#include "util/MessageBox.h"
#include "util/Messages.h"
#include "util/Thread.h"

namespace {

const char* const kCaption = "Mervane";

void Box(const std::string& text) {
    MessageBox(text.c_str(), kCaption);
}

void Box(const QString& text) {
    Box(text.toStdString());
}

}  // namespace

// One login or logoff: what the worker reads, what it writes, and a way to cut its pause short.
struct LoginSession::Job {
    LoginSession* owner = nullptr;  // waits for the worker before it goes
    Work work = nullptr;
    SessionState* state = nullptr;
    std::string user;
    std::string password;
    int pauseMs = 0;
    bool login = true;
    std::atomic<int> loginState{0};
    std::string buddyText;                 // read by the GUI thread only after the worker ended
    std::string serverBox;                 // a "#" reply, shown before "Invalid UserName/Pass"
    std::optional<KeyProblem> keyProblem;  // a directory's TLS key that was not used
    std::mutex lock;
    std::condition_variable wake;
    bool cancelled = false;

    // A step the GUI thread shows: written, then told to the owner on its own thread.
    void Advance(int step) {
        loginState = step;
        LoginSession* session = owner;
        QMetaObject::invokeMethod(
            session, [session, step] { session->OnProgress(step); }, Qt::QueuedConnection);
    }

    // Sleeps the pause; false when the session is going away.
    bool Pause() {
        std::unique_lock<std::mutex> guard(lock);
        return !wake.wait_for(guard, std::chrono::milliseconds(pauseMs),
                              [this] { return cancelled; });
    }
};

LoginSession::LoginSession(SessionState* state, QObject* parent)
    : QObject(parent), m_state(state) {}

LoginSession::~LoginSession() {
    if (m_job) {
        {
            std::lock_guard<std::mutex> guard(m_job->lock);
            m_job->cancelled = true;
        }
        m_job->wake.notify_all();
        m_thread->WaitForDeath(INFINITE);  // requests are bounded by their time-outs
    }
}

int LoginSession::LoginState() const {
    return m_job ? m_job->loginState.load() : m_nShownState;
}

QString LoginSession::CannotConnectText() {
    return QStringLiteral("Cannot connect to ") + QString::fromStdString(ServiceDomainName()) +
           QStringLiteral(". Please check your Internet connection");
}

uint32_t LoginSession::WorkerThreadFunc(void* argument) {
    auto* job = static_cast<Job*>(argument);
    job->work(*job);
    // The owner waits for this thread before it goes, so it is still there to take the call.
    LoginSession* session = job->owner;
    QMetaObject::invokeMethod(
        session, [session] { session->OnWorkerEnded(); }, Qt::QueuedConnection);
    return 0;
}

void LoginSession::LoginWork(Job& job) {
    if (!job.Pause()) {
        job.loginState = kCannotConnect;
        return;
    }
    std::unique_ptr<CWebClient> web = job.state->MakeWebClient();
    const std::string dotted = job.state->LocalAddressToward();
    if (dotted.empty()) {
        job.loginState = kNoLocalAddress;
        return;
    }
    if (!job.state->Discover(*web)) {
        job.keyProblem = web->LastKeyProblem();
        job.loginState = kCannotConnect;
        return;
    }
    job.Advance(kVerifying);
    const ServerInfo server = job.state->Server();
    std::string reply;
    if (!web->Get(server.host,
                  LoginTarget(server, job.user, job.password, ClassifyAddressText(dotted)) +
                      CapabilityKeys(job.state->IdentityKeyHex()),
                  &reply)) {
        job.keyProblem = web->LastKeyProblem();
        job.loginState = kCannotConnect;
        return;
    }
    if (!reply.empty() && reply[0] == '+') {
        job.buddyText = BuddyTextFromLoginReply(reply);
        // Logged in: the router is asked to forward the call port before the first heartbeat,
        // which reports the mapping.
        if (const std::shared_ptr<CallPortMapping> mapping = job.state->PortMapping()) {
            mapping->Map(dotted, job.state->CallPort());
        }
        job.loginState = kLoggedIn;
    } else {
        if (!reply.empty() && reply[0] == '#') {
            job.serverBox = reply;
        }
        job.loginState = kRefused;
    }
}

void LoginSession::LogoffWork(Job& job) {
    // The client is logged off whatever the service says: the router's forwarding goes first.
    if (const std::shared_ptr<CallPortMapping> mapping = job.state->PortMapping()) {
        mapping->Remove();
    }
    std::unique_ptr<CWebClient> web = job.state->MakeWebClient();
    const std::string addressClass = job.state->ClassifyLocalAddress();
    if (addressClass.empty()) {
        job.loginState = kLogoffNoLocalAddress;
        return;
    }
    if (!job.state->Discover(*web)) {
        job.keyProblem = web->LastKeyProblem();
        job.loginState = kLogoffFailed;
        return;
    }
    job.Advance(kLoggingOff);
    const ServerInfo server = job.state->Server();
    std::string reply;
    if (!web->Get(server.host, LogoffTarget(server, job.user, job.password, addressClass),
                  &reply)) {
        job.keyProblem = web->LastKeyProblem();
        job.loginState = kLogoffFailed;
        return;
    }
    job.loginState = (!reply.empty() && reply[0] == '+') ? kLoggedOff : kLogoffRefused;
}

bool LoginSession::Login(const QString& user, const QString& password) {
    // Only this thread releases the semaphore, so waiting for it here could never succeed.
    if (!m_sem.WaitOnSemaphore(0)) {
        return false;
    }
    m_job = std::make_unique<Job>();
    m_job->user = user.toStdString();
    m_job->password = password.toStdString();
    m_state->loggedIn = 0;
    Start(&LoginSession::LoginWork, true);
    emit loginStarted();
    emit busyTextChanged(QStringLiteral("Logging in.. Please wait"));
    return true;
}

bool LoginSession::Logoff() {
    if (m_state->loggedIn.load() != 1 || !m_sem.WaitOnSemaphore(0)) {
        if (!m_job) {
            m_state->logoffPending = 0;
        }
        return false;
    }
    m_state->logoffPending = 1;
    const SessionState::User user = m_state->LoggedInUser();
    m_job = std::make_unique<Job>();
    m_job->user = user.name;
    m_job->password = user.password;
    Start(&LoginSession::LogoffWork, false);
    return true;
}

void LoginSession::Start(Work work, bool login) {
    m_job->owner = this;
    m_job->work = work;
    m_job->state = m_state;
    m_job->pauseMs = m_nPauseMs;
    m_job->login = login;
    m_job->loginState = login ? kLoggingIn : kLogoffFailed;
    m_nShownState = m_job->loginState;
    m_thread = std::make_unique<Thread>(&LoginSession::WorkerThreadFunc, m_job.get());
    m_thread->Resume();
}

void LoginSession::OnProgress(int state) {
    // The steps of one worker arrive in order, all of them before its end.
    if (!m_job || state == m_nShownState) {
        return;
    }
    m_nShownState = state;
    if (state == kVerifying) {
        emit busyTextChanged(QStringLiteral("Verfying User"));
    } else if (state == kLoggingOff) {
        emit statusText(QStringLiteral("Logging off.. Please wait"));
    }
}

void LoginSession::OnWorkerEnded() {
    if (!m_job) {
        return;
    }
    m_thread->WaitForDeath(INFINITE);  // it posted this as its last act
    m_nShownState = m_job->loginState.load();
    if (m_job->login) {
        FinishLogin();
    } else {
        FinishLogoff();
    }
}

void LoginSession::FinishLogin() {
    std::unique_ptr<Job> job = std::move(m_job);
    m_thread.reset();
    const int state = job->loginState.load();
    switch (state) {
        case kLoggedIn: {
            m_state->autoLoginPending = 1;
            m_state->SetLoggedInUser(job->user, job->password);
            m_state->loggedIn = 1;
            const QString user = QString::fromStdString(job->user);
            emit loggedIn(user, QString::fromStdString(job->buddyText));
            emit statusText(QStringLiteral("Logged in"));
            session_settings::SaveCredentialsAfterLogin(user,
                                                        QString::fromStdString(job->password));
            break;
        }
        case kRefused:
            if (!job->serverBox.empty()) {
                Box(job->serverBox);  // the server's own words, unchanged
            }
            Box(QStringLiteral("Invalid UserName/Pass"));
            emit statusText(QStringLiteral("Please Login"));
            m_state->autoLoginPending = 0;
            break;
        case kNoLocalAddress:
            Box(QStringLiteral("Login Failed.. Cannot reach the server"));
            emit statusText(QStringLiteral("Please Login"));
            m_state->autoLoginPending = 1;
            break;
        default:
            if (!job->keyProblem) {
                Box(CannotConnectText());
            }
            emit statusText(QStringLiteral("Please Login"));
            // No automatic login against a key the user has not trusted.
            m_state->autoLoginPending = job->keyProblem ? 0 : 1;
            break;
    }
    m_state->logoffPending = 0;
    m_sem.SignalSemaphore();
    emit loginFinished(state);
    if (state != kLoggedIn && job->keyProblem) {
        OnKeyProblem(*job);
    }
}

void LoginSession::OnKeyProblem(const Job& job) {
    const KeyProblem& problem = *job.keyProblem;
    if (problem.verdict == KeyVerdict::Changed) {
        Box(directory_trust::RefusalText(problem));
        return;
    }
    if (!job.login || m_bAskingTrust) {
        return;  // one question at a time
    }
    m_bAskingTrust = true;
    QPointer<LoginSession> self(this);
    const QString user = QString::fromStdString(job.user);
    const QString password = QString::fromStdString(job.password);
    directory_trust::Ask(directory_trust::QuestionText(problem),
                         [self, problem, user, password](bool yes) {
                             if (!self) {
                                 return;
                             }
                             self->m_bAskingTrust = false;
                             const std::shared_ptr<PinStore> pins = self->m_state->Pins();
                             if (yes && pins) {
                                 pins->Trust(problem.host, problem.key.pin);
                                 self->Login(user, password);  // now with the key trusted
                             }
                         });
}

void LoginSession::FinishLogoff() {
    const std::unique_ptr<Job> job = std::move(m_job);
    m_thread.reset();
    if (job->keyProblem) {
        m_state->autoLoginPending = 0;  // no automatic login against that key
        OnKeyProblem(*job);  // a changed key is told; an unknown one is only asked at a login
    }
    // The client is logged off whatever the server said.
    m_state->loggedIn = 0;
    m_state->logoffPending = 0;
    emit loggedOff();
    emit statusText(QStringLiteral("Please Login"));
    m_sem.SignalSemaphore();
}
