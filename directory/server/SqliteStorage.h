#pragma once

#include <memory>
#include <mutex>
#include <string>

#include "directory/server/FailureCounts.h"
#include "directory/server/Presence.h"
#include "directory/server/Storage.h"

struct sqlite3;
struct sqlite3_stmt;

// Storage in one SQLite file (WAL journal, every statement prepared once). One process owns the
// file; its presence table and its counts of failed password checks live in memory, the known
// logins in the file. Writes are committed before a method returns.
class SqliteStorage : public Storage {
  public:
    // Opens or creates the database; on failure returns null and sets *error.
    static std::unique_ptr<SqliteStorage> Open(const std::string& path, std::string* error);
    ~SqliteStorage() override;

    StoreResult CreateAccount(const std::string& name, const std::string& passwordHash,
                              int64_t now) override;
    StoreResult GetPasswordHash(const std::string& name, std::string* hash) override;
    StoreResult GetBuddies(const std::string& name, std::vector<std::string>* out) override;
    StoreResult SetBuddies(const std::string& name,
                           const std::vector<std::string>& buddies) override;
    StoreResult OpenCall(const std::string& user, const std::string& remote, int minutes,
                         int avgDelay, int64_t now, int64_t reopenWindow, int64_t* id) override;
    StoreResult UpdateCall(int64_t id, const std::string& user, int minutes, int avgDelay,
                           int64_t now) override;
    StoreResult RecentCalls(const std::string& user, int limit,
                            std::vector<CallRecord>* out) override;
    StoreResult SetOnline(const std::string& name, const std::string& address, int64_t now,
                          const Gate& gate) override;
    StoreResult SetOffline(const std::string& name) override;
    StoreResult GetOnline(const std::vector<std::string>& names, int64_t since, const Gate& gate,
                          std::vector<std::string>* addresses) override;
    StoreResult CheckGate(const Gate& gate) override;
    StoreResult CountFailure(const Gate& gate, int64_t now) override;
    StoreResult RecordSuccess(const Gate& gate, int64_t now) override;
    StoreResult SetIdentityKey(const std::string& name, const std::string& key) override;
    StoreResult GetIdentityKey(const std::string& name, std::string* key) override;

    // The last SQLite error text, for the log.
    std::string LastError();

  private:
    SqliteStorage() = default;
    bool Prepare(std::string* error);
    void Report(const char* what);
    // Runs `statement`, which selects one text column of the account `name`: Ok with the text,
    // NotFound without such an account, Error (reported as `what`) when SQLite fails.
    StoreResult ReadAccountText(sqlite3_stmt* statement, const std::string& name, std::string* out,
                                const char* what);
    // The gate's verdict: the counts in memory, and the known logins when they decide.
    bool Closed(const Gate& gate);

    std::mutex m_lock;  // one connection, used by one thread at a time
    sqlite3* m_db = nullptr;
    sqlite3_stmt* m_insertAccount = nullptr;
    sqlite3_stmt* m_selectHash = nullptr;
    sqlite3_stmt* m_selectBuddies = nullptr;
    sqlite3_stmt* m_updateBuddies = nullptr;
    sqlite3_stmt* m_findOpenCall = nullptr;
    sqlite3_stmt* m_insertCall = nullptr;
    sqlite3_stmt* m_updateCall = nullptr;
    sqlite3_stmt* m_selectCalls = nullptr;
    sqlite3_stmt* m_selectKnown = nullptr;
    sqlite3_stmt* m_upsertKnown = nullptr;
    sqlite3_stmt* m_purgeKnown = nullptr;
    sqlite3_stmt* m_updateIdKey = nullptr;
    sqlite3_stmt* m_selectIdKey = nullptr;
    std::string m_lastError;
    PresenceTable m_presence;
    FailureCounts m_failures;
    int64_t m_lastKnownPurge = 0;  // guarded by m_lock
};
