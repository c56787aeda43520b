#include "directory/server/SqliteStorage.h"

#include <sqlite3.h>

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

namespace {

// 1: accounts and calls; 2: identity keys and known logins.
constexpr int kSchemaVersion = 2;

// How often known logins whose last success is too old are removed, at most.
constexpr int64_t kKnownPurgeSeconds = 3600;

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS accounts(
    name TEXT PRIMARY KEY NOT NULL,
    pwhash TEXT NOT NULL,
    buddies TEXT NOT NULL DEFAULT '',
    created INTEGER NOT NULL
);
CREATE TABLE IF NOT EXISTS calls(
    id INTEGER PRIMARY KEY AUTOINCREMENT,
    user TEXT NOT NULL REFERENCES accounts(name),
    remote TEXT NOT NULL,
    started INTEGER NOT NULL,
    last_report INTEGER NOT NULL,
    minutes INTEGER NOT NULL,
    avg_delay INTEGER NOT NULL
);
CREATE INDEX IF NOT EXISTS calls_by_user ON calls(user, id);
CREATE TABLE IF NOT EXISTS known_logins(
    name TEXT NOT NULL,
    address TEXT NOT NULL,
    last_success INTEGER NOT NULL,
    PRIMARY KEY(name, address)
) WITHOUT ROWID;
)sql";

// What a database of an older schema needs besides the tables it lacks.
const char* const kUpgradeFrom1 = "ALTER TABLE accounts ADD COLUMN id_key TEXT;";

// Resets a statement and clears its bindings on every way out.
class Use {
  public:
    explicit Use(sqlite3_stmt* s) : m_s(s) {}
    ~Use() {
        sqlite3_reset(m_s);
        sqlite3_clear_bindings(m_s);
    }
    sqlite3_stmt* operator*() const { return m_s; }

  private:
    sqlite3_stmt* m_s;
};

void BindText(sqlite3_stmt* s, int index, const std::string& text) {
    sqlite3_bind_text(s, index, text.data(), static_cast<int>(text.size()), SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* s, int column) {
    const unsigned char* p = sqlite3_column_text(s, column);
    return p == nullptr ? std::string()
                        : std::string(reinterpret_cast<const char*>(p),
                                      static_cast<size_t>(sqlite3_column_bytes(s, column)));
}

}  // namespace

std::unique_ptr<SqliteStorage> SqliteStorage::Open(const std::string& path, std::string* error) {
    // The file holds password hashes: only its owner may read it. SQLite gives its journal
    // files the same permissions.
    if (path != ":memory:") {
        int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        if (fd < 0) {
            *error = "cannot open " + path + ": " + std::strerror(errno);
            return nullptr;
        }
        ::close(fd);
    }
    std::unique_ptr<SqliteStorage> st(new SqliteStorage());
    int rc =
        sqlite3_open_v2(path.c_str(), &st->m_db,
                        SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_NOMUTEX, nullptr);
    if (rc != SQLITE_OK) {
        *error = "cannot open " + path + ": " +
                 (st->m_db != nullptr ? sqlite3_errmsg(st->m_db) : sqlite3_errstr(rc));
        return nullptr;
    }
    sqlite3_busy_timeout(st->m_db, 5000);
    char* msg = nullptr;
    // Committed writes survive a crash of the process and of the machine.
    const char* setup = "PRAGMA journal_mode=WAL; PRAGMA synchronous=FULL; PRAGMA foreign_keys=ON;";
    if (sqlite3_exec(st->m_db, setup, nullptr, nullptr, &msg) != SQLITE_OK) {
        *error = path + ": " + (msg != nullptr ? msg : "cannot set up the database");
        sqlite3_free(msg);
        return nullptr;
    }
    sqlite3_stmt* version = nullptr;
    int found = 0;
    if (sqlite3_prepare_v2(st->m_db, "PRAGMA user_version", -1, &version, nullptr) == SQLITE_OK &&
        sqlite3_step(version) == SQLITE_ROW) {
        found = sqlite3_column_int(version, 0);
    }
    sqlite3_finalize(version);
    if (found > kSchemaVersion) {
        *error = path + ": made by a newer zorvo-directory (schema " + std::to_string(found) + ")";
        return nullptr;
    }
    std::string create = std::string("BEGIN;") + kSchema + (found < 2 ? kUpgradeFrom1 : "") +
                         "PRAGMA user_version=" + std::to_string(kSchemaVersion) + "; COMMIT;";
    if (sqlite3_exec(st->m_db, create.c_str(), nullptr, nullptr, &msg) != SQLITE_OK) {
        *error = path + ": " + (msg != nullptr ? msg : "cannot create the tables");
        sqlite3_free(msg);
        return nullptr;
    }
    if (!st->Prepare(error)) {
        return nullptr;
    }
    return st;
}

bool SqliteStorage::Prepare(std::string* error) {
    struct {
        sqlite3_stmt** stmt;
        const char* sql;
    } all[] = {
        {&m_insertAccount, "INSERT INTO accounts(name, pwhash, created) VALUES(?1, ?2, ?3)"},
        {&m_selectHash, "SELECT pwhash FROM accounts WHERE name = ?1"},
        {&m_selectBuddies, "SELECT buddies FROM accounts WHERE name = ?1"},
        {&m_updateBuddies, "UPDATE accounts SET buddies = ?2 WHERE name = ?1"},
        {&m_findOpenCall,
         "SELECT id FROM calls WHERE user = ?1 AND remote = ?2 AND started >= ?3 "
         "AND minutes = 0 ORDER BY id DESC LIMIT 1"},
        {&m_insertCall,
         "INSERT INTO calls(user, remote, started, last_report, minutes, avg_delay) "
         "VALUES(?1, ?2, ?3, ?3, ?4, ?5)"},
        {&m_updateCall,
         "UPDATE calls SET minutes = max(minutes, ?3), avg_delay = ?4, last_report = ?5 "
         "WHERE id = ?1 AND user = ?2"},
        {&m_selectCalls,
         "SELECT id, remote, started, last_report, minutes, avg_delay FROM calls "
         "WHERE user = ?1 ORDER BY id DESC LIMIT ?2"},
        {&m_selectKnown,
         "SELECT 1 FROM known_logins WHERE name = ?1 AND address = ?2 AND last_success >= ?3"},
        {&m_upsertKnown,
         "INSERT INTO known_logins(name, address, last_success) VALUES(?1, ?2, ?3) "
         "ON CONFLICT(name, address) DO UPDATE SET "
         "last_success = max(last_success, excluded.last_success)"},
        {&m_purgeKnown, "DELETE FROM known_logins WHERE last_success < ?1"},
        {&m_updateIdKey, "UPDATE accounts SET id_key = ?2 WHERE name = ?1"},
        {&m_selectIdKey, "SELECT coalesce(id_key, '') FROM accounts WHERE name = ?1"},
    };
    for (auto& s : all) {
        if (sqlite3_prepare_v3(m_db, s.sql, -1, SQLITE_PREPARE_PERSISTENT, s.stmt, nullptr) !=
            SQLITE_OK) {
            *error = std::string("cannot prepare a statement: ") + sqlite3_errmsg(m_db);
            return false;
        }
    }
    return true;
}

SqliteStorage::~SqliteStorage() {
    for (sqlite3_stmt* s :
         {m_insertAccount, m_selectHash, m_selectBuddies, m_updateBuddies, m_findOpenCall,
          m_insertCall, m_updateCall, m_selectCalls, m_selectKnown, m_upsertKnown, m_purgeKnown,
          m_updateIdKey, m_selectIdKey}) {
        sqlite3_finalize(s);
    }
    if (m_db != nullptr) {
        sqlite3_close(m_db);  // the last connection checkpoints the WAL into the file
    }
}

void SqliteStorage::Report(const char* what) {
    m_lastError = std::string(what) + ": " + sqlite3_errmsg(m_db);
}

std::string SqliteStorage::LastError() {
    std::lock_guard<std::mutex> lock(m_lock);
    return m_lastError;
}

StoreResult SqliteStorage::CreateAccount(const std::string& name, const std::string& passwordHash,
                                         int64_t now) {
    std::lock_guard<std::mutex> lock(m_lock);
    Use s(m_insertAccount);
    BindText(*s, 1, name);
    BindText(*s, 2, passwordHash);
    sqlite3_bind_int64(*s, 3, now);
    int rc = sqlite3_step(*s);
    if (rc == SQLITE_DONE) {
        return StoreResult::Ok;
    }
    if (rc == SQLITE_CONSTRAINT) {
        return StoreResult::Exists;
    }
    Report("create account");
    return StoreResult::Error;
}

StoreResult SqliteStorage::ReadAccountText(sqlite3_stmt* statement, const std::string& name,
                                           std::string* out, const char* what) {
    std::lock_guard<std::mutex> lock(m_lock);
    Use s(statement);
    BindText(*s, 1, name);
    int rc = sqlite3_step(*s);
    if (rc == SQLITE_ROW) {
        *out = ColumnText(*s, 0);
        return StoreResult::Ok;
    }
    if (rc == SQLITE_DONE) {
        return StoreResult::NotFound;
    }
    Report(what);
    return StoreResult::Error;
}

StoreResult SqliteStorage::GetPasswordHash(const std::string& name, std::string* hash) {
    return ReadAccountText(m_selectHash, name, hash, "read account");
}

StoreResult SqliteStorage::GetBuddies(const std::string& name, std::vector<std::string>* out) {
    std::lock_guard<std::mutex> lock(m_lock);
    Use s(m_selectBuddies);
    BindText(*s, 1, name);
    int rc = sqlite3_step(*s);
    if (rc == SQLITE_DONE) {
        return StoreResult::NotFound;
    }
    if (rc != SQLITE_ROW) {
        Report("read buddies");
        return StoreResult::Error;
    }
    *out = SplitStoredBuddies(ColumnText(*s, 0));
    return StoreResult::Ok;
}

StoreResult SqliteStorage::SetBuddies(const std::string& name,
                                      const std::vector<std::string>& buddies) {
    const std::string text = JoinStoredBuddies(buddies);
    std::lock_guard<std::mutex> lock(m_lock);
    Use s(m_updateBuddies);
    BindText(*s, 1, name);
    BindText(*s, 2, text);
    if (sqlite3_step(*s) != SQLITE_DONE) {
        Report("write buddies");
        return StoreResult::Error;
    }
    return sqlite3_changes(m_db) == 1 ? StoreResult::Ok : StoreResult::NotFound;
}

StoreResult SqliteStorage::OpenCall(const std::string& user, const std::string& remote, int minutes,
                                    int avgDelay, int64_t now, int64_t reopenWindow, int64_t* id) {
    std::lock_guard<std::mutex> lock(m_lock);
    {
        Use s(m_findOpenCall);
        BindText(*s, 1, user);
        BindText(*s, 2, remote);
        sqlite3_bind_int64(*s, 3, now - reopenWindow);
        int rc = sqlite3_step(*s);
        if (rc == SQLITE_ROW) {
            *id = sqlite3_column_int64(*s, 0);
            return StoreResult::Ok;
        }
        if (rc != SQLITE_DONE) {
            Report("find call");
            return StoreResult::Error;
        }
    }
    Use s(m_insertCall);
    BindText(*s, 1, user);
    BindText(*s, 2, remote);
    sqlite3_bind_int64(*s, 3, now);
    sqlite3_bind_int(*s, 4, minutes);
    sqlite3_bind_int(*s, 5, avgDelay);
    int rc = sqlite3_step(*s);
    if (rc == SQLITE_CONSTRAINT) {
        return StoreResult::NotFound;  // no such account
    }
    if (rc != SQLITE_DONE) {
        Report("insert call");
        return StoreResult::Error;
    }
    *id = sqlite3_last_insert_rowid(m_db);
    return StoreResult::Ok;
}

StoreResult SqliteStorage::UpdateCall(int64_t id, const std::string& user, int minutes,
                                      int avgDelay, int64_t now) {
    std::lock_guard<std::mutex> lock(m_lock);
    Use s(m_updateCall);
    sqlite3_bind_int64(*s, 1, id);
    BindText(*s, 2, user);
    sqlite3_bind_int(*s, 3, minutes);
    sqlite3_bind_int(*s, 4, avgDelay);
    sqlite3_bind_int64(*s, 5, now);
    if (sqlite3_step(*s) != SQLITE_DONE) {
        Report("update call");
        return StoreResult::Error;
    }
    return sqlite3_changes(m_db) == 1 ? StoreResult::Ok : StoreResult::NotFound;
}

StoreResult SqliteStorage::RecentCalls(const std::string& user, int limit,
                                       std::vector<CallRecord>* out) {
    std::lock_guard<std::mutex> lock(m_lock);
    Use s(m_selectCalls);
    BindText(*s, 1, user);
    sqlite3_bind_int(*s, 2, limit);
    out->clear();
    int rc;
    while ((rc = sqlite3_step(*s)) == SQLITE_ROW) {
        CallRecord r;
        r.id = sqlite3_column_int64(*s, 0);
        r.user = user;
        r.remote = ColumnText(*s, 1);
        r.started = sqlite3_column_int64(*s, 2);
        r.lastReport = sqlite3_column_int64(*s, 3);
        r.minutes = sqlite3_column_int(*s, 4);
        r.avgDelay = sqlite3_column_int(*s, 5);
        out->push_back(std::move(r));
    }
    if (rc != SQLITE_DONE) {
        Report("read calls");
        return StoreResult::Error;
    }
    return StoreResult::Ok;
}

StoreResult SqliteStorage::SetOnline(const std::string& name, const std::string& address,
                                     int64_t now, const Gate& gate) {
    if (Closed(gate)) {
        return StoreResult::Throttled;
    }
    m_presence.Set(name, address, now);
    return StoreResult::Ok;
}

StoreResult SqliteStorage::SetOffline(const std::string& name) {
    m_presence.Remove(name);
    return StoreResult::Ok;
}

StoreResult SqliteStorage::GetOnline(const std::vector<std::string>& names, int64_t since,
                                     const Gate& gate, std::vector<std::string>* addresses) {
    addresses->clear();
    if (Closed(gate)) {
        return StoreResult::Throttled;
    }
    for (const std::string& name : names) {
        std::string address;
        addresses->push_back(m_presence.Get(name, since, &address) ? address : std::string());
    }
    return StoreResult::Ok;
}

bool SqliteStorage::Closed(const Gate& gate) {
    switch (m_failures.Judge(gate)) {
        case FailureCounts::Verdict::Open:
            return false;
        case FailureCounts::Verdict::Closed:
            return true;
        case FailureCounts::Verdict::ClosedUnlessKnown:
            break;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    Use s(m_selectKnown);
    BindText(*s, 1, gate.name);
    BindText(*s, 2, gate.address);
    sqlite3_bind_int64(*s, 3, gate.knownSince);
    int rc = sqlite3_step(*s);
    if (rc != SQLITE_ROW && rc != SQLITE_DONE) {
        Report("read known logins");  // not known, then: the gate stays closed
    }
    return rc != SQLITE_ROW;
}

StoreResult SqliteStorage::CheckGate(const Gate& gate) {
    return Closed(gate) ? StoreResult::Throttled : StoreResult::Ok;
}

StoreResult SqliteStorage::CountFailure(const Gate& gate, int64_t now) {
    m_failures.Count(gate, now);
    return StoreResult::Ok;
}

StoreResult SqliteStorage::RecordSuccess(const Gate& gate, int64_t now) {
    if (!gate.Limited()) {
        return StoreResult::Ok;
    }
    m_failures.Clear(gate.name, gate.address);
    std::lock_guard<std::mutex> lock(m_lock);
    if (now - m_lastKnownPurge >= kKnownPurgeSeconds) {
        m_lastKnownPurge = now;
        Use s(m_purgeKnown);
        sqlite3_bind_int64(*s, 1, gate.knownSince);
        if (sqlite3_step(*s) != SQLITE_DONE) {
            Report("remove old known logins");
        }
    }
    Use s(m_upsertKnown);
    BindText(*s, 1, gate.name);
    BindText(*s, 2, gate.address);
    sqlite3_bind_int64(*s, 3, now);
    if (sqlite3_step(*s) != SQLITE_DONE) {
        Report("write known login");
        return StoreResult::Error;
    }
    return StoreResult::Ok;
}

StoreResult SqliteStorage::SetIdentityKey(const std::string& name, const std::string& key) {
    std::lock_guard<std::mutex> lock(m_lock);
    Use s(m_updateIdKey);
    BindText(*s, 1, name);
    BindText(*s, 2, key);
    if (sqlite3_step(*s) != SQLITE_DONE) {
        Report("write identity key");
        return StoreResult::Error;
    }
    return sqlite3_changes(m_db) == 1 ? StoreResult::Ok : StoreResult::NotFound;
}

StoreResult SqliteStorage::GetIdentityKey(const std::string& name, std::string* key) {
    return ReadAccountText(m_selectIdKey, name, key, "read identity key");
}
