#include "directory/server/PostgresStorage.h"

#include <libpq-fe.h>

#include <cstdlib>

#include "directory/server/Database.h"

namespace {

// 1: accounts, calls, presence and failure counts per key; 2: identity keys, failure counts
// per pair of name and address, known logins. A database of version 1 keeps its table
// login_failures for processes of that version still running; this version does not use it.
constexpr int kSchemaVersion = 2;

const char* const kSchema = R"sql(
CREATE TABLE IF NOT EXISTS accounts(
    name text PRIMARY KEY,
    pwhash text NOT NULL,
    buddies text NOT NULL DEFAULT '',
    created bigint NOT NULL
);
CREATE TABLE IF NOT EXISTS calls(
    id bigserial PRIMARY KEY,
    owner text NOT NULL REFERENCES accounts(name),
    remote text NOT NULL,
    started bigint NOT NULL,
    last_report bigint NOT NULL,
    minutes integer NOT NULL,
    avg_delay integer NOT NULL
);
CREATE INDEX IF NOT EXISTS calls_by_owner ON calls(owner, id);
CREATE UNLOGGED TABLE IF NOT EXISTS presence(
    name text PRIMARY KEY,
    address text NOT NULL,
    seen bigint NOT NULL
);
ALTER TABLE accounts ADD COLUMN IF NOT EXISTS id_key text;
CREATE UNLOGGED TABLE IF NOT EXISTS failed_logins(
    name text NOT NULL,
    address text NOT NULL,
    window_start bigint NOT NULL,
    failures integer NOT NULL,
    PRIMARY KEY(name, address)
);
CREATE INDEX IF NOT EXISTS failed_logins_by_address ON failed_logins(address);
CREATE TABLE IF NOT EXISTS known_logins(
    name text NOT NULL,
    address text NOT NULL,
    last_success bigint NOT NULL,
    PRIMARY KEY(name, address)
);
)sql";

const std::vector<PgStatement> kStatements = {
    {"insert_account", R"sql(INSERT INTO accounts(name, pwhash, created) VALUES($1, $2, $3))sql"},
    {"select_hash", R"sql(SELECT pwhash FROM accounts WHERE name = $1)sql"},
    {"select_buddies", R"sql(SELECT buddies FROM accounts WHERE name = $1)sql"},
    {"update_buddies", R"sql(UPDATE accounts SET buddies = $2 WHERE name = $1)sql"},
    {"lock_owner", R"sql(SELECT pg_advisory_xact_lock(hashtext($1)))sql"},
    {"find_open_call", R"sql(
SELECT id FROM calls
WHERE owner = $1 AND remote = $2 AND started >= $3 AND minutes = 0
ORDER BY id DESC LIMIT 1
)sql"},
    {"insert_call", R"sql(
INSERT INTO calls(owner, remote, started, last_report, minutes, avg_delay)
VALUES($1, $2, $3, $3, $4, $5)
RETURNING id
)sql"},
    {"update_call", R"sql(
UPDATE calls SET minutes = GREATEST(minutes, $3), avg_delay = $4, last_report = $5
WHERE id = $1 AND owner = $2
)sql"},
    {"select_calls", R"sql(
SELECT id, remote, started, last_report, minutes, avg_delay FROM calls
WHERE owner = $1 ORDER BY id DESC LIMIT $2
)sql"},
    {"set_offline", R"sql(DELETE FROM presence WHERE name = $1)sql"},
    {"set_id_key", R"sql(UPDATE accounts SET id_key = $2 WHERE name = $1)sql"},
    {"select_id_key", R"sql(SELECT coalesce(id_key, '') FROM accounts WHERE name = $1)sql"},
};

// Runs the schema script in one transaction under the schema lock: refuses a schema newer than
// this program's, creates what is missing and records the version.
bool SetUpSchema(PGconn* conn, std::string* problem) {
    auto exec = [&](const std::string& sql) {
        PGresult* r = PQexec(conn, sql.c_str());
        ExecStatusType s = PQresultStatus(r);
        bool ok = s == PGRES_COMMAND_OK || s == PGRES_TUPLES_OK;
        if (!ok) {
            *problem = OneLine(PQresultErrorMessage(r));
        }
        PQclear(r);
        return ok;
    };
    if (!exec("BEGIN") || !exec(kPgSchemaLock) ||
        !exec(R"sql(CREATE TABLE IF NOT EXISTS zorvo_schema(version integer NOT NULL))sql")) {
        return false;
    }
    PGresult* r = PQexec(conn, R"sql(SELECT coalesce(max(version), 0) FROM zorvo_schema)sql");
    int found = PQresultStatus(r) == PGRES_TUPLES_OK ? std::atoi(PQgetvalue(r, 0, 0)) : -1;
    PQclear(r);
    if (found < 0 || found > kSchemaVersion) {
        *problem = found < 0
                       ? "cannot read the schema version"
                       : "made by a newer zorvo-directory (schema " + std::to_string(found) + ")";
        return false;
    }
    std::string record =
        found == 0
            ? "INSERT INTO zorvo_schema(version) VALUES(" + std::to_string(kSchemaVersion) + ")"
            : "UPDATE zorvo_schema SET version = " + std::to_string(kSchemaVersion);
    return exec(kSchema) && exec(record) && exec("COMMIT");
}

}  // namespace

std::unique_ptr<PostgresStorage> PostgresStorage::Open(const std::string& uri, int connections,
                                                       std::string* error) {
    PGconn* setup = PgPool::Connect(uri, error);
    if (setup == nullptr) {
        return nullptr;
    }
    std::string problem;
    bool ready = SetUpSchema(setup, &problem);
    PQfinish(setup);
    if (!ready) {
        *error = ShownDatabase(uri) + ": " + problem;
        return nullptr;
    }
    std::unique_ptr<PostgresStorage> st(new PostgresStorage());
    std::vector<PgStatement> statements = kStatements;
    for (const auto* more : {&PgPresence::Statements(), &PgThrottle::Statements()}) {
        statements.insert(statements.end(), more->begin(), more->end());
    }
    st->m_pool = PgPool::Open(uri, connections, std::move(statements), error);
    if (!st->m_pool) {
        return nullptr;
    }
    st->m_presence = std::make_unique<PgPresence>(*st->m_pool);
    st->m_throttle = std::make_unique<PgThrottle>(*st->m_pool);
    return st;
}

PostgresStorage::~PostgresStorage() = default;

StoreResult PostgresStorage::Run(const char* statement, const std::vector<std::string>& params,
                                 PgResult* out) {
    PgPool::Lease c = m_pool->Acquire();
    if (!c) {
        return StoreResult::Unavailable;
    }
    return c->Run(statement, params, out);
}

StoreResult PostgresStorage::CreateAccount(const std::string& name, const std::string& passwordHash,
                                           int64_t now) {
    PgResult r;
    return Run("insert_account", {name, passwordHash, std::to_string(now)}, &r);
}

StoreResult PostgresStorage::FirstText(const char* statement, const std::string& name,
                                       std::string* text) {
    PgResult r;
    StoreResult s = Run(statement, {name}, &r);
    if (s != StoreResult::Ok) {
        return s;
    }
    if (r.Rows() == 0) {
        return StoreResult::NotFound;
    }
    *text = r.Text(0, 0);
    return StoreResult::Ok;
}

StoreResult PostgresStorage::GetPasswordHash(const std::string& name, std::string* hash) {
    return FirstText("select_hash", name, hash);
}

StoreResult PostgresStorage::GetBuddies(const std::string& name, std::vector<std::string>* out) {
    std::string text;
    StoreResult s = FirstText("select_buddies", name, &text);
    if (s == StoreResult::Ok) {
        *out = SplitStoredBuddies(text);
    }
    return s;
}

StoreResult PostgresStorage::SetBuddies(const std::string& name,
                                        const std::vector<std::string>& buddies) {
    PgResult r;
    StoreResult s = Run("update_buddies", {name, JoinStoredBuddies(buddies)}, &r);
    if (s != StoreResult::Ok) {
        return s;
    }
    return r.Changed() == 1 ? StoreResult::Ok : StoreResult::NotFound;
}

StoreResult PostgresStorage::OpenCallLocked(PgConnection& c, const std::vector<std::string>& find,
                                            const std::vector<std::string>& insert, int64_t* id) {
    PgResult r;
    StoreResult s = c.Run("lock_owner", {find[0]}, &r);
    if (s == StoreResult::Ok) {
        s = c.Run("find_open_call", find, &r);
    }
    if (s == StoreResult::Ok && r.Rows() == 0) {
        s = c.Run("insert_call", insert, &r);
    }
    if (s == StoreResult::Ok) {
        *id = r.Int(0, 0);
    }
    return s;
}

StoreResult PostgresStorage::OpenCall(const std::string& user, const std::string& remote,
                                      int minutes, int avgDelay, int64_t now, int64_t reopenWindow,
                                      int64_t* id) {
    PgPool::Lease c = m_pool->Acquire();
    if (!c) {
        return StoreResult::Unavailable;
    }
    // Looking for the record of a repeated opening report and adding a new one are one step:
    // the user's lock keeps two processes from both adding one for the same call.
    StoreResult s = c->Command("BEGIN");
    if (s != StoreResult::Ok) {
        return s;
    }
    s = OpenCallLocked(
        *c, {user, remote, std::to_string(now - reopenWindow)},
        {user, remote, std::to_string(now), std::to_string(minutes), std::to_string(avgDelay)}, id);
    if (s != StoreResult::Ok) {
        c->Command("ROLLBACK");
        return s;
    }
    return c->Command("COMMIT");
}

StoreResult PostgresStorage::UpdateCall(int64_t id, const std::string& user, int minutes,
                                        int avgDelay, int64_t now) {
    PgResult r;
    StoreResult s = Run("update_call",
                        {std::to_string(id), user, std::to_string(minutes),
                         std::to_string(avgDelay), std::to_string(now)},
                        &r);
    if (s != StoreResult::Ok) {
        return s;
    }
    return r.Changed() == 1 ? StoreResult::Ok : StoreResult::NotFound;
}

StoreResult PostgresStorage::RecentCalls(const std::string& user, int limit,
                                         std::vector<CallRecord>* out) {
    PgResult r;
    StoreResult s = Run("select_calls", {user, std::to_string(limit)}, &r);
    if (s != StoreResult::Ok) {
        return s;
    }
    out->clear();
    for (int i = 0; i < r.Rows(); ++i) {
        CallRecord c;
        c.id = r.Int(i, 0);
        c.user = user;
        c.remote = r.Text(i, 1);
        c.started = r.Int(i, 2);
        c.lastReport = r.Int(i, 3);
        c.minutes = static_cast<int>(r.Int(i, 4));
        c.avgDelay = static_cast<int>(r.Int(i, 5));
        out->push_back(std::move(c));
    }
    return StoreResult::Ok;
}

StoreResult PostgresStorage::SetOnline(const std::string& name, const std::string& address,
                                       int64_t now, const Gate& gate) {
    return m_presence->SetOnline(name, address, now, gate);
}

StoreResult PostgresStorage::SetOffline(const std::string& name) {
    PgResult r;
    return Run("set_offline", {name}, &r);
}

StoreResult PostgresStorage::GetOnline(const std::vector<std::string>& names, int64_t since,
                                       const Gate& gate, std::vector<std::string>* addresses) {
    return m_presence->GetOnline(names, since, gate, addresses);
}

StoreResult PostgresStorage::CheckGate(const Gate& gate) {
    return m_throttle->CheckGate(gate);
}

StoreResult PostgresStorage::CountFailure(const Gate& gate, int64_t now) {
    return m_throttle->CountFailure(gate, now);
}

StoreResult PostgresStorage::RecordSuccess(const Gate& gate, int64_t now) {
    return m_throttle->RecordSuccess(gate, now);
}

StoreResult PostgresStorage::SetIdentityKey(const std::string& name, const std::string& key) {
    PgResult r;
    StoreResult s = Run("set_id_key", {name, key}, &r);
    if (s != StoreResult::Ok) {
        return s;
    }
    return r.Changed() == 1 ? StoreResult::Ok : StoreResult::NotFound;
}

StoreResult PostgresStorage::GetIdentityKey(const std::string& name, std::string* key) {
    return FirstText("select_id_key", name, key);
}
