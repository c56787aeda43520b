#include "directory/server/FailureCounts.h"

FailureCounts::Verdict FailureCounts::Judge(const Gate& gate) {
    if (!gate.Limited()) {
        return Verdict::Open;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_byName.find({gate.name, gate.address});
    if (it != m_byName.end() && it->second.windowStart > gate.since &&
        it->second.failures >= gate.pairLimit) {
        return Verdict::Closed;
    }
    bool nameOver = gate.nameLimit > 0 && NameFailures(gate) >= gate.nameLimit;
    bool addressOver = gate.addressLimit > 0 && AddressNames(gate) >= gate.addressLimit;
    return nameOver || addressOver ? Verdict::ClosedUnlessKnown : Verdict::Open;
}

int FailureCounts::NameFailures(const Gate& gate) const {
    int failures = 0;
    for (auto it = m_byName.lower_bound({gate.name, ""});
         it != m_byName.end() && it->first.first == gate.name; ++it) {
        failures += it->second.windowStart > gate.since ? it->second.failures : 0;
    }
    return failures;
}

int FailureCounts::AddressNames(const Gate& gate) const {
    int names = 0;
    for (auto it = m_byAddress.lower_bound({gate.address, ""});
         it != m_byAddress.end() && it->first == gate.address; ++it) {
        auto entry = m_byName.find({it->second, it->first});
        names += entry != m_byName.end() && entry->second.windowStart > gate.since ? 1 : 0;
    }
    return names;
}

void FailureCounts::Count(const Gate& gate, int64_t now) {
    if (!gate.Limited()) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    if (now - m_lastSweep >= now - gate.since) {
        m_lastSweep = now;
        Sweep(gate.since);
    }
    Entry& e = m_byName[{gate.name, gate.address}];
    if (e.failures == 0 || e.windowStart <= gate.since) {
        e.windowStart = now;
        e.failures = 0;
    }
    ++e.failures;
    m_byAddress.insert({gate.address, gate.name});
}

void FailureCounts::Clear(const std::string& name, const std::string& address) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_byName.erase({name, address});
    m_byAddress.erase({address, name});
}

void FailureCounts::Sweep(int64_t since) {
    for (auto it = m_byName.begin(); it != m_byName.end();) {
        if (it->second.windowStart > since) {
            ++it;
            continue;
        }
        m_byAddress.erase({it->first.second, it->first.first});
        it = m_byName.erase(it);
    }
}
