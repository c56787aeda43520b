#pragma once

#include <QObject>

#include <functional>
#include <memory>
#include <string>

#include "directory/client/Requests.h"

class SessionState;

// One request of the logged-in user to a directory page about a buddy (the call page, the buddy
// key page), on a worker thread of its own: the GUI thread never waits for the network. One
// request runs at a time. The reply comes back to `done` on the thread of `owner`, after the
// worker ended.
class BuddyPageRequest {
  public:
    // The page's request target for `user` asking about `buddy`.
    using Target = std::string (*)(const ServerInfo& server, const std::string& user,
                                   const std::string& password, const std::string& buddy);
    // `answered` is false when the service could not be reached; `reply` is its text.
    using Done =
        std::function<void(const std::string& buddy, bool answered, const std::string& reply)>;

    BuddyPageRequest(SessionState* state, QObject* owner, Target target, Done done);
    // Waits for a request under way (bounded by its time-outs; at once once the session's
    // requests are cancelled).
    ~BuddyPageRequest();
    BuddyPageRequest(const BuddyPageRequest&) = delete;
    BuddyPageRequest& operator=(const BuddyPageRequest&) = delete;

    // Asks about `buddy`; false while a request runs.
    bool Start(const std::string& buddy);
    bool IsBusy() const { return m_job != nullptr; }

  private:
    struct Job;
    static uint32_t Worker(void* argument);
    void Finish();

    SessionState* m_state;
    QObject* m_owner;
    Target m_target;
    Done m_done;
    std::unique_ptr<Job> m_job;
};
