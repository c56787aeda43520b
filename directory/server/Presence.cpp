#include "directory/server/Presence.h"

#include <functional>

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
