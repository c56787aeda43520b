#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

#include "directory/server/Storage.h"

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

// The counts of failed password checks per key, in memory, for a service of one process.
// Entries whose window has passed are swept out now and then.
class FailureTable {
  public:
    bool Closed(const Gate& gate);
    void Count(const std::vector<std::string>& keys, int64_t now, int64_t window);

  private:
    struct Entry {
        int64_t windowStart = 0;
        int failures = 0;
    };

    std::mutex m_lock;
    std::unordered_map<std::string, Entry> m_entries;
    int64_t m_lastSweep = 0;
};
