#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

// Who is online, in memory: heartbeats of many users arrive at once, so the table is split in
// shards, each with its own lock.
class PresenceTable {
  public:
    void Set(const std::string& name, const std::string& address, int64_t now);
    void Remove(const std::string& name);
    bool Get(const std::string& name, int64_t since, std::string* address);

  private:
    struct Entry {
        std::string address;
        int64_t lastSeen = 0;
    };
    struct Shard {
        std::mutex lock;
        std::unordered_map<std::string, Entry> entries;
    };
    Shard& ShardOf(const std::string& name);

    std::array<Shard, 32> m_shards;
};
