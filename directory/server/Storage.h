#pragma once

#include <cstdint>
#include <string>
#include <vector>

// What the directory service keeps. Accounts, buddy lists and call records are lasting data;
// presence is volatile (it expires without heartbeats) and a backend may keep it in memory.
// Every method may be called from many threads at once.

enum class StoreResult { Ok, Exists, NotFound, Error };

struct CallRecord {
    int64_t id = 0;
    std::string user;
    std::string remote;
    int64_t started = 0;     // seconds since the epoch
    int64_t lastReport = 0;  // seconds since the epoch
    int minutes = 0;
    int avgDelay = 0;
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

    // Presence: the address a user reported ("LAN" or dotted IPv4) and when.
    virtual void SetOnline(const std::string& name, const std::string& address, int64_t now) = 0;
    virtual void SetOffline(const std::string& name) = 0;
    // True when name reported at or after since; *address gets what it reported.
    virtual bool GetOnline(const std::string& name, int64_t since, std::string* address) = 0;
};
