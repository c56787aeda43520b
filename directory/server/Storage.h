#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the directory service keeps. Accounts (with their identity keys), buddy lists, call
// records and the pairs of user name and address that logged in are lasting data; presence is
// volatile (it expires without heartbeats), and so are the counts of failed password
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

// The throttle that a request carrying a password passes (docs/directory.md, "Throttling").
// Failed password checks are counted per pair of user name and client address, each pair in a
// window that begins at its first failure; a window that began at or before since has passed.
// The gate is closed when
//   - its pair has pairLimit failures or more, or
//   - its pair is not known (no successful check at or after knownSince) and either its name has
//     nameLimit failures or more from all addresses together, or its address has failures for
//     addressLimit names or more (a success clears the failures of its pair).
// A gate without a pair limit (the default) is always open and counts nothing; a name or
// address limit of 0 is no limit.
struct Gate {
    std::string name;  // normalised; empty for a name that is not valid
    std::string address;
    int64_t since = 0;
    int64_t knownSince = 0;
    int pairLimit = 0;
    int nameLimit = 0;
    int addressLimit = 0;

    bool Limited() const { return pairLimit > 0; }
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
    // it is closed. CountFailure counts one failed check for the gate's pair. RecordSuccess
    // makes the pair known as of now and forgets its failures; known pairs whose last success
    // is before the gate's knownSince may be removed.
    virtual StoreResult CheckGate(const Gate& gate) = 0;
    virtual StoreResult CountFailure(const Gate& gate, int64_t now) = 0;
    virtual StoreResult RecordSuccess(const Gate& gate, int64_t now) = 0;

    // The identity key a user's client published (64 lowercase hex digits), one per account:
    // the last one set. GetIdentityKey gives "" for an account without one; both give NotFound
    // when there is no such account.
    virtual StoreResult SetIdentityKey(const std::string& name, const std::string& key) = 0;
    virtual StoreResult GetIdentityKey(const std::string& name, std::string* key) = 0;
};

// A buddy list as both backends store it: the names separated by one blank (names never contain
// white space).
std::string JoinStoredBuddies(const std::vector<std::string>& buddies);
std::vector<std::string> SplitStoredBuddies(const std::string& text);
