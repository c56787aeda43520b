#include "app/session/BuddyKeyRequest.h"

#include <QMetaObject>

#include "app/session/SessionState.h"
#include "util/Messages.h"
#include "util/Thread.h"

struct BuddyKeyRequest::Job {
    BuddyKeyRequest* owner = nullptr;
    SessionState* state = nullptr;
    std::string buddy;
    // Written by the worker, read by the GUI thread only after the worker ended.
    BuddyKeyReply reply;
    std::unique_ptr<Thread> thread;
};

BuddyKeyRequest::BuddyKeyRequest(SessionState* state, QObject* parent)
    : QObject(parent), m_state(state) {}

BuddyKeyRequest::~BuddyKeyRequest() {
    if (m_job) {
        m_job->thread->WaitForDeath(INFINITE);
    }
}

bool BuddyKeyRequest::Start(const QString& buddy) {
    if (m_job) {
        return false;
    }
    m_job = std::make_unique<Job>();
    m_job->owner = this;
    m_job->state = m_state;
    m_job->buddy = buddy.toStdString();
    m_job->thread = std::make_unique<Thread>(&BuddyKeyRequest::Worker, m_job.get());
    m_job->thread->Resume();
    return true;
}

uint32_t BuddyKeyRequest::Worker(void* argument) {
    auto* job = static_cast<Job*>(argument);
    const SessionState::User user = job->state->LoggedInUser();
    const ServerInfo server = job->state->Server();
    std::unique_ptr<CWebClient> web = job->state->MakeWebClient();
    std::string reply;
    const bool answered =
        web->Get(server.host, BuddyKeyTarget(server, user.name, user.password, job->buddy),
                 &reply) == 1;
    job->reply = ParseBuddyKeyReply(answered, reply);
    // The owner waits for this thread before it goes, so it is still there to take the call.
    BuddyKeyRequest* owner = job->owner;
    QMetaObject::invokeMethod(
        owner, [owner] { owner->Finish(); }, Qt::QueuedConnection);
    return 0;
}

void BuddyKeyRequest::Finish() {
    if (!m_job) {
        return;
    }
    m_job->thread->WaitForDeath(INFINITE);  // it posted this as its last act
    const std::unique_ptr<Job> job = std::move(m_job);
    emit answered(QString::fromStdString(job->buddy), job->reply);
}
