#pragma once

#include <memory>
#include <string>

#include "directory/server/PgPool.h"
#include "directory/server/PgPresence.h"
#include "directory/server/PgThrottle.h"
#include "directory/server/Storage.h"

// Storage on a PostgreSQL server shared by any number of service processes: accounts, buddy
// lists, call records and known logins in ordinary tables; presence and the counts of failed
// password checks in UNLOGGED tables (volatile by nature, and written on every heartbeat), so that
// every process sees the same directory. Every statement is prepared once per connection;
// heartbeats and online lists that arrive together share one statement.
class PostgresStorage : public Storage {
  public:
    // Connects (connections: the pool's size), creates or migrates the schema and prepares the
    // statements; on failure returns null and sets *error to one line without the password.
    static std::unique_ptr<PostgresStorage> Open(const std::string& uri, int connections,
                                                 std::string* error);
    ~PostgresStorage() override;

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

  private:
    PostgresStorage() = default;
    // Runs one prepared statement on a connection of the pool.
    StoreResult Run(const char* statement, const std::vector<std::string>& params, PgResult* out);
    // The first column of the one row a statement on name gives; NotFound without a row.
    StoreResult FirstText(const char* statement, const std::string& name, std::string* text);
    StoreResult OpenCallLocked(PgConnection& c, const std::vector<std::string>& find,
                               const std::vector<std::string>& insert, int64_t* id);

    std::unique_ptr<PgPool> m_pool;
    std::unique_ptr<PgPresence> m_presence;  // heartbeats and online lists, in batches
    std::unique_ptr<PgThrottle> m_throttle;
};
