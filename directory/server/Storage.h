#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the directory service keeps. Accounts, buddy lists and call records are lasting data;
// presence is volatile (it expires without heartbeats), and so are the counts of failed password
// checks that throttle guessing. A backend for one process may keep the volatile part in memory;
// a backend shared by several processes keeps it where all of them see it.
// Every method may be called from many threads at once.

enum class StoreResult {
    Ok,
    Exists,
    NotFound,
    Throttled,    // the request's gate is closed: too many failed password checks
    Unavailable,  // the database cannot be reached now; a later request may succeed
    Error
};

struct CallRecord {
    int64_t id = 0;
    std::string user;
    std::string remote;
    int64_t started = 0;     // seconds since the epoch
    int64_t lastReport = 0;  // seconds since the epoch
    int minutes = 0;
    int avgDelay = 0;
};

// The throttle that a request carrying a password passes: closed when any of its keys (the user
// name, the client address) has limit or more failures counted in a window that began after
// since. An empty gate (no keys) is always open.
struct Gate {
    std::vector<std::string> keys;
    int64_t since = 0;
    int limit = 0;
};

class Storage {
  public:
    virtual ~Storage() = default;

    // Accounts. Names arrive already normalised (trimmed, lower case).
    virtual StoreResult CreateAccount(const std::string& name, const std::string& passwordHash,
                                      int64_t now) = 0;
    virtual StoreResult GetPasswordHash(const std::string& name, std::string* hash) = 0;

    // Buddy lists: the names in list order; replaced as a whole.
    virtual StoreResult GetBuddies(const std::string& name, std::vector<std::string>* out) = 0;
    virtual StoreResult SetBuddies(const std::string& name,
                                   const std::vector<std::string>& buddies) = 0;

    // Call records. OpenCall gives the record of a call that user just reported as begun; an
    // opening report repeated within reopenWindow seconds for the same remote party gets the
    // record of the first one back (a caller reports the call begun twice).
    virtual StoreResult OpenCall(const std::string& user, const std::string& remote, int minutes,
                                 int avgDelay, int64_t now, int64_t reopenWindow, int64_t* id) = 0;
    // Updates a record of user; NotFound when the record does not exist or belongs to another
    // user. Minutes never go back (reports can arrive out of order).
    virtual StoreResult UpdateCall(int64_t id, const std::string& user, int minutes, int avgDelay,
                                   int64_t now) = 0;
    virtual StoreResult RecentCalls(const std::string& user, int limit,
                                    std::vector<CallRecord>* out) = 0;

    // Presence: the address a user reported ("LAN" or dotted IPv4) and when. SetOnline writes
    // only when the gate is open (Throttled otherwise), so that a heartbeat costs one step.
    virtual StoreResult SetOnline(const std::string& name, const std::string& address, int64_t now,
                                  const Gate& gate) = 0;
    virtual StoreResult SetOffline(const std::string& name) = 0;
    // For each of names, the address it reported at or after since, or "" when it did not;
    // Throttled (and nothing listed) when the gate is closed.
    virtual StoreResult GetOnline(const std::vector<std::string>& names, int64_t since,
                                  const Gate& gate, std::vector<std::string>* addresses) = 0;

    // Throttling of password guesses. CheckGate gives Ok when the gate is open, Throttled when
    // it is closed. CountFailure counts one failed check against every key; a key's count starts
    // again from one when its window (window seconds from its first failure) has passed.
    virtual StoreResult CheckGate(const Gate& gate) = 0;
    virtual StoreResult CountFailure(const std::vector<std::string>& keys, int64_t now,
                                     int64_t window) = 0;
};

// A buddy list as both backends store it: the names separated by one blank (names never contain
// white space).
std::string JoinStoredBuddies(const std::vector<std::string>& buddies);
std::vector<std::string> SplitStoredBuddies(const std::string& text);
