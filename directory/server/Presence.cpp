#include "directory/server/Presence.h"

#include <functional>
#include <iterator>

PresenceTable::Shard& PresenceTable::ShardOf(const std::string& name) {
    return m_shards[std::hash<std::string>{}(name) % m_shards.size()];
}

void PresenceTable::Set(const std::string& name, const std::string& address, int64_t now) {
    Shard& s = ShardOf(name);
    std::lock_guard<std::mutex> lock(s.lock);
    Entry& e = s.entries[name];
    e.address = address;
    e.lastSeen = now;
}

void PresenceTable::Remove(const std::string& name) {
    Shard& s = ShardOf(name);
    std::lock_guard<std::mutex> lock(s.lock);
    s.entries.erase(name);
}

bool PresenceTable::Get(const std::string& name, int64_t since, std::string* address) {
    Shard& s = ShardOf(name);
    std::lock_guard<std::mutex> lock(s.lock);
    auto it = s.entries.find(name);
    if (it == s.entries.end() || it->second.lastSeen < since) {
        return false;
    }
    *address = it->second.address;
    return true;
}

bool FailureTable::Closed(const Gate& gate) {
    if (gate.keys.empty()) {
        return false;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    for (const std::string& key : gate.keys) {
        auto it = m_entries.find(key);
        if (it != m_entries.end() && it->second.windowStart > gate.since &&
            it->second.failures >= gate.limit) {
            return true;
        }
    }
    return false;
}

void FailureTable::Count(const std::vector<std::string>& keys, int64_t now, int64_t window) {
    std::lock_guard<std::mutex> lock(m_lock);
    if (now - m_lastSweep >= window) {
        m_lastSweep = now;
        for (auto it = m_entries.begin(); it != m_entries.end();) {
            it = it->second.windowStart <= now - window ? m_entries.erase(it) : std::next(it);
        }
    }
    for (const std::string& key : keys) {
        Entry& e = m_entries[key];
        if (e.failures == 0 || e.windowStart <= now - window) {
            e.windowStart = now;
            e.failures = 0;
        }
        ++e.failures;
    }
}
