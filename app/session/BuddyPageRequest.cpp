#include "app/session/BuddyPageRequest.h"

#include <QMetaObject>

#include "app/session/SessionState.h"
#include "util/Messages.h"
#include "util/Thread.h"

struct BuddyPageRequest::Job {
    BuddyPageRequest* request = nullptr;
    std::string buddy;
    // Written by the worker, read by the owner's thread only after the worker ended.
    bool answered = false;
    std::string reply;
    std::unique_ptr<Thread> thread;
};

BuddyPageRequest::BuddyPageRequest(SessionState* state, QObject* owner, Target target, Done done)
    : m_state(state), m_owner(owner), m_target(target), m_done(std::move(done)) {}

BuddyPageRequest::~BuddyPageRequest() {
    if (m_job) {
        m_job->thread->WaitForDeath(INFINITE);
    }
}

bool BuddyPageRequest::Start(const std::string& buddy) {
    if (m_job) {
        return false;
    }
    m_job = std::make_unique<Job>();
    m_job->request = this;
    m_job->buddy = buddy;
    m_job->thread = std::make_unique<Thread>(&BuddyPageRequest::Worker, m_job.get());
    m_job->thread->Resume();
    return true;
}

uint32_t BuddyPageRequest::Worker(void* argument) {
    auto* job = static_cast<Job*>(argument);
    BuddyPageRequest* request = job->request;
    SessionState* state = request->m_state;
    const SessionState::User user = state->LoggedInUser();
    const ServerInfo server = state->Server();
    std::unique_ptr<CWebClient> web = state->MakeWebClient();
    job->answered =
        web->Get(server.host, request->m_target(server, user.name, user.password, job->buddy),
                 &job->reply) == 1;
    // The request waits for this thread before it goes, and lives as long as its owner, so both
    // are still there to take the call.
    QMetaObject::invokeMethod(
        request->m_owner, [request] { request->Finish(); }, Qt::QueuedConnection);
    return 0;
}

void BuddyPageRequest::Finish() {
    if (!m_job) {
        return;
    }
    m_job->thread->WaitForDeath(INFINITE);  // it posted this as its last act
    const std::unique_ptr<Job> job = std::move(m_job);
    m_done(job->buddy, job->answered, job->reply);
}
