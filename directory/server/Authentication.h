#pragma once

#include <array>
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
