#include "app/session/BuddySync.h"

#include <QMetaObject>

#include "app/session/SessionSettings.h"
#include "app/session/SessionState.h"
#include "directory/client/Requests.h"
#include "util/Messages.h"
#include "util/Thread.h"

struct BuddySync::Job {
    SessionState* state = nullptr;
    BuddySync* owner = nullptr;
    std::unique_ptr<Thread> thread;
};

namespace {

// The stored list cut to whole names within `limit` bytes.
std::string CutToWholeNames(const std::string& stored, size_t limit) {
    if (stored.size() <= limit) {
        return stored;
    }
    const size_t blank = stored.find_last_of(" \t\r\n", limit);
    return blank == std::string::npos ? std::string() : stored.substr(0, blank);
}

}  // namespace

BuddySync::BuddySync(SessionState* state, QObject* parent) : QObject(parent), m_state(state) {
    m_timer.setInterval(60000);
    connect(&m_timer, &QTimer::timeout, this, &BuddySync::Check);
    m_timer.start();
}

BuddySync::~BuddySync() {
    for (auto& job : m_jobs) {
        job->thread->WaitForDeath(INFINITE);
    }
}

void BuddySync::Check() {
    if (m_state->loggedIn.load() != 1 || m_bDirty.load() != 1) {
        return;
    }
    auto job = std::make_unique<Job>();
    job->state = m_state;
    job->owner = this;
    job->thread = std::make_unique<Thread>(&BuddySync::SyncWorker, job.get());
    m_bDirty = 0;
    job->thread->Resume();
    ++m_nStarted;
    m_jobs.push_back(std::move(job));  // kept until the worker has ended
}

void BuddySync::OnWorkerEnded(const Job* job) {
    m_jobs.remove_if([job](const std::unique_ptr<Job>& kept) {
        if (kept.get() != job) {
            return false;
        }
        kept->thread->WaitForDeath(INFINITE);  // it posted this as its last act
        return true;
    });
    emit syncFinished();
}

uint32_t BuddySync::SyncWorker(void* argument) {
    auto* job = static_cast<Job*>(argument);
    SessionState* state = job->state;
    if (state->loggedIn.load() == 1) {
        const SessionState::User user = state->LoggedInUser();
        const std::string stored = CutToWholeNames(
            session_settings::ReadBuddyList(QString::fromStdString(user.name)).toStdString(),
            kMaxStoredBytes);
        const ServerInfo server = state->Server();
        std::unique_ptr<CWebClient> web = state->MakeWebClient(SessionState::OnClose::Finish);
        std::string reply;
        web->Get(server.host, SyncBListTarget(server, user.name, user.password, stored), &reply);
    }
    // The owner waits for this thread before it goes, so it is still there to take the call.
    BuddySync* owner = job->owner;
    QMetaObject::invokeMethod(
        owner, [owner, job] { owner->OnWorkerEnded(job); }, Qt::QueuedConnection);
    return 0;
}
