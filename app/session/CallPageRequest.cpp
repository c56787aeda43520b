#include "app/session/CallPageRequest.h"

#include <QMetaObject>

#include "app/session/SessionState.h"
#include "util/Messages.h"
#include "util/Thread.h"

namespace {

// A refusal's reason is shown in a box: a service's long page is cut.
constexpr std::size_t kMaxReasonBytes = 200;

}  // namespace

struct CallPageRequest::Job {
    CallPageRequest* owner = nullptr;
    SessionState* state = nullptr;
    std::string buddy;
    // Written by the worker, read by the GUI thread only after the worker ended.
    std::optional<CallPage> page;
    std::string reason;
    std::unique_ptr<Thread> thread;
};

CallPageRequest::CallPageRequest(SessionState* state, QObject* parent)
    : QObject(parent), m_state(state) {}

CallPageRequest::~CallPageRequest() {
    if (m_job) {
        m_job->thread->WaitForDeath(INFINITE);
    }
}

bool CallPageRequest::Start(const QString& buddy) {
    if (m_job) {
        return false;
    }
    m_page.reset();
    m_job = std::make_unique<Job>();
    m_job->owner = this;
    m_job->state = m_state;
    m_job->buddy = buddy.toStdString();
    m_job->thread = std::make_unique<Thread>(&CallPageRequest::Worker, m_job.get());
    m_job->thread->Resume();
    return true;
}

std::string CallPageRequest::RefusalReason(bool answered, const std::string& reply) {
    if (!answered || reply.empty()) {
        return "no answer from the directory";
    }
    if (reply[0] == '-' || reply[0] == '#') {
        const std::size_t blank = reply.find_first_of(" \t");
        const std::size_t text = reply.find_first_not_of(" \t\r\n", blank);
        if (blank == std::string::npos || text == std::string::npos) {
            return "the directory refused the call";
        }
        std::string reason = reply.substr(text, kMaxReasonBytes);
        while (!reason.empty() && (reason.back() == '\r' || reason.back() == '\n')) {
            reason.pop_back();
        }
        return reason;
    }
    // A service without the extension answers with its page-not-found text.
    return "the directory cannot connect calls through home routers";
}

uint32_t CallPageRequest::Worker(void* argument) {
    auto* job = static_cast<Job*>(argument);
    const SessionState::User user = job->state->LoggedInUser();
    const ServerInfo server = job->state->Server();
    std::unique_ptr<CWebClient> web = job->state->MakeWebClient();
    std::string reply;
    const bool answered =
        web->Get(server.host, CallBuddyTarget(server, user.name, user.password, job->buddy),
                 &reply) == 1;
    if (answered && !reply.empty() && reply[0] == '+') {
        std::string error;
        job->page = ParseCallPage(reply, &error);
        job->reason = error;
    } else {
        job->reason = RefusalReason(answered, reply);
    }
    // The owner waits for this thread before it goes, so it is still there to take the call.
    CallPageRequest* owner = job->owner;
    QMetaObject::invokeMethod(
        owner, [owner] { owner->Finish(); }, Qt::QueuedConnection);
    return 0;
}

void CallPageRequest::Finish() {
    if (!m_job) {
        return;
    }
    m_job->thread->WaitForDeath(INFINITE);  // it posted this as its last act
    const std::unique_ptr<Job> job = std::move(m_job);
    m_page = std::move(job->page);
    emit answered(QString::fromStdString(job->buddy), m_page.has_value(),
                  QString::fromStdString(job->reason));
}
