#pragma once

#include <array>
#include <cstdint>
#include <mutex>
#include <semaphore>
#include <shared_mutex>
#include <string>
#include <unordered_map>

#include "directory/server/Storage.h"

// How costly the stored password hashes are. Interactive is for real use; Min only makes
// tests and benchmarks that create many accounts run fast.
enum class HashCost { Interactive, Moderate, Min };

// The passwords of the accounts: the slow hash kept in storage, and in memory a keyed digest of
// each user's last password that passed it. Heartbeats and list requests carry the password
// many times a minute, so they are checked against the digest; logins and the account page
// always pay for the slow hash. Every method may be called from many threads at once.
class PasswordCheck {
  public:
    enum class Result { Ok, Refused, Unavailable, Failed };

    // slowHashes: slow hashes computed at the same time, at most (1 to 64).
    PasswordCheck(Storage& storage, HashCost cost, int slowHashes);
    ~PasswordCheck();

    PasswordCheck(const PasswordCheck&) = delete;
    PasswordCheck& operator=(const PasswordCheck&) = delete;

    // Checks against the stored hash; a password that passes refreshes the user's digest.
    Result Slow(const std::string& name, const std::string& password);
    // Checks against the user's digest, or the stored hash when there is none yet.
    Result Fast(const std::string& name, const std::string& password);
    // Whether Fast can check the user's password without the slow hash.
    bool HasDigest(const std::string& name);
    // The string to store for a new account's password.
    bool Hash(const std::string& password, std::string* hash);

  private:
    using Digest = std::array<unsigned char, 32>;

    Digest MakeDigest(const std::string& name, const std::string& password) const;

    Storage& m_storage;
    HashCost m_cost;
    std::counting_semaphore<64> m_slowHashes;
    unsigned char m_digestKey[32];
    std::shared_mutex m_cacheLock;
    std::unordered_map<std::string, Digest> m_cache;  // from each user's last good password
};

// What this process wrote to the storage lately, so that the many requests that would write the
// same again (a heartbeat's known login, its identity key) skip the write: a write is due when
// its key was not written with the same value within refreshSeconds. Memory stays bounded:
// entries older than that are swept out, and all are forgotten when there are too many.
class RecentWrites {
  public:
    explicit RecentWrites(int64_t refreshSeconds) : m_refresh(refreshSeconds) {}

    bool Due(const std::string& key, const std::string& value, int64_t now);
    void Mark(const std::string& key, const std::string& value, int64_t now);
    void Forget(const std::string& key);

  private:
    struct Entry {
        std::string value;
        int64_t written = 0;
    };
    static constexpr size_t kMaxEntries = 1 << 20;

    const int64_t m_refresh;
    std::mutex m_lock;
    std::unordered_map<std::string, Entry> m_entries;
    int64_t m_lastSweep = 0;
};
