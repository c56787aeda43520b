#include "app/session/RouterPortMapping.h"

RouterPortMapping::RouterPortMapping(std::function<void()> onChange, PortMapper::Options options)
    : m_onChange(std::move(onChange)), m_mapper(options) {
    m_thread = std::thread(&RouterPortMapping::Loop, this);
}

RouterPortMapping::~RouterPortMapping() {
    {
        std::lock_guard lock(m_lock);
        m_jobs.clear();
        m_jobs.push_back(Job::kRemove);
        m_stopping = true;
    }
    m_changed.notify_all();
    m_thread.join();
}

void RouterPortMapping::Post(Job job) {
    {
        std::lock_guard lock(m_lock);
        if (m_stopping) {
            return;
        }
        // A renewal already waiting is enough; a new map or removal replaces what waits.
        if (job == Job::kRenew && !m_jobs.empty()) {
            return;
        }
        m_jobs.push_back(job);
    }
    m_changed.notify_all();
}

void RouterPortMapping::Map(const std::string& /*localAddress*/, unsigned callPort) {
    {
        std::lock_guard lock(m_lock);
        m_callPort = callPort;
    }
    Post(Job::kMap);
}

void RouterPortMapping::RenewIfDue() {
    Post(Job::kRenew);
}

void RouterPortMapping::Remove() {
    Post(Job::kRemove);
    std::unique_lock lock(m_lock);
    m_changed.wait(lock, [this] { return m_stopping || (m_jobs.empty() && !m_busy); });
}

std::string RouterPortMapping::External() const {
    std::lock_guard lock(m_lock);
    return m_external;
}

void RouterPortMapping::Loop() {
    std::unique_lock lock(m_lock);
    for (;;) {
        m_changed.wait(lock, [this] { return m_stopping || !m_jobs.empty(); });
        if (m_jobs.empty()) {
            return;  // stopping, and the final removal has run
        }
        const Job job = m_jobs.front();
        m_jobs.pop_front();
        m_busy = true;
        lock.unlock();
        Run(job);
        lock.lock();
        m_busy = false;
        m_changed.notify_all();
    }
}

void RouterPortMapping::Run(Job job) {
    PortMapping mapping;
    if (job == Job::kMap) {
        unsigned port = 0;
        {
            std::lock_guard lock(m_lock);
            port = m_callPort;
        }
        mapping = m_mapper.Map(static_cast<uint16_t>(port));
    } else if (job == Job::kRenew) {
        if (!m_mapper.Current().Valid()) {
            return;  // nothing held: the next login asks again
        }
        mapping = m_mapper.Renew();
    } else {
        m_mapper.Remove();
    }
    const std::string external =
        mapping.Valid() ? mapping.externalAddress + ":" + std::to_string(mapping.externalPort) : "";
    bool changed = false;
    {
        std::lock_guard lock(m_lock);
        changed = external != m_external;
        m_external = external;
    }
    if (changed && job != Job::kRemove && m_onChange) {
        m_onChange();
    }
}
