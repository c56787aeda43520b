#pragma once

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

#include "app/session/CallPortMapping.h"
#include "directory/client/PortMapper.h"

// The session's port mapping through the home router (UPnP IGD, else NAT-PMP), on a thread of its
// own: asking a router can take seconds, and where no router answers (the usual case) it takes
// the longest, so neither the login nor the heartbeat waits for it. Map and RenewIfDue only queue
// the work; Remove waits for it (bounded by the mapper's own time-outs). When the external
// address changes, onChange runs on the mapping thread (the session then sends a heartbeat, so
// the directory lists the new address at once).
class RouterPortMapping final : public CallPortMapping {
  public:
    explicit RouterPortMapping(std::function<void()> onChange,
                               PortMapper::Options options = PortMapper::Options());
    ~RouterPortMapping() override;

    void Map(const std::string& localAddress, unsigned callPort) override;
    void RenewIfDue() override;
    void Remove() override;
    std::string External() const override;

  private:
    enum class Job { kMap, kRenew, kRemove };
    void Post(Job job);
    void Loop();
    void Run(Job job);

    std::function<void()> m_onChange;
    PortMapper m_mapper;  // used by the mapping thread only
    unsigned m_callPort = 0;

    mutable std::mutex m_lock;
    std::condition_variable m_changed;
    std::deque<Job> m_jobs;
    bool m_busy = false;
    bool m_stopping = false;
    std::string m_external;
    std::thread m_thread;
};
