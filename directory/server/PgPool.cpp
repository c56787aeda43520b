#include "directory/server/PgPool.h"

#include <libpq-fe.h>

#include <cstdlib>
#include <cstring>

#include "directory/server/Database.h"

namespace {

// How long a connection attempt may wait for a server that does not answer (libpq waits for
// ever without one), and how long a sent request may stay unacknowledged on a dead network.
// A URI may set its own connect_timeout.
constexpr const char* kConnectTimeout = "4";
constexpr const char* kTcpUserTimeoutMs = "10000";

// SQLSTATE classes and codes the service tells apart.
bool IsUnavailableState(const std::string& state) {
    if (state.empty()) {
        return true;  // no answer of the server at all
    }
    // 08: connection exception; 57P0x: the server is shutting down or cannot accept now; 53300:
    // too many connections.
    return state.rfind("08", 0) == 0 || state.rfind("57P", 0) == 0 || state == "53300";
}

}  // namespace

std::string OneLine(const char* message) {
    std::string out;
    bool gap = false;
    for (const char* p = message != nullptr ? message : ""; *p != '\0'; ++p) {
        char c = *p;
        if (c == '\n' || c == '\r' || c == '\t') {
            gap = !out.empty();
            continue;
        }
        if (gap) {
            out += out.back() == ':' || out.back() == '.' ? " " : "; ";
            gap = false;
        }
        out += c;
    }
    return out.empty() ? "no message from the database" : out;
}

std::string TextArray(const std::vector<std::string>& items) {
    std::string out = "{";
    for (const std::string& item : items) {
        if (out.size() > 1) {
            out += ',';
        }
        out += '"';
        for (char c : item) {
            if (c == '"' || c == '\\') {
                out += '\\';
            }
            out += c;
        }
        out += '"';
    }
    out += '}';
    return out;
}

PgResult::~PgResult() {
    PQclear(m_r);
}

PgResult& PgResult::operator=(PgResult&& other) noexcept {
    if (this != &other) {
        PQclear(m_r);
        m_r = other.m_r;
        other.m_r = nullptr;
    }
    return *this;
}

int PgResult::Rows() const {
    return m_r != nullptr ? PQntuples(m_r) : 0;
}

std::string PgResult::Text(int row, int column) const {
    return std::string(PQgetvalue(m_r, row, column),
                       static_cast<size_t>(PQgetlength(m_r, row, column)));
}

bool PgResult::IsNull(int row, int column) const {
    return PQgetisnull(m_r, row, column) != 0;
}

int64_t PgResult::Int(int row, int column) const {
    return std::strtoll(PQgetvalue(m_r, row, column), nullptr, 10);
}

int64_t PgResult::Changed() const {
    return m_r != nullptr ? std::strtoll(PQcmdTuples(m_r), nullptr, 10) : 0;
}

PgConnection::~PgConnection() {
    PQfinish(m_conn);
}

StoreResult PgConnection::Failed(pg_result* r) {
    const char* field = r != nullptr ? PQresultErrorField(r, PG_DIAG_SQLSTATE) : nullptr;
    const std::string state = field != nullptr ? field : "";
    m_lastError = OneLine(r != nullptr ? PQresultErrorMessage(r) : PQerrorMessage(m_conn));
    PQclear(r);
    if (PQstatus(m_conn) == CONNECTION_BAD) {
        m_broken = true;
        return StoreResult::Unavailable;
    }
    if (state == "23505") {
        return StoreResult::Exists;
    }
    if (state == "23503") {
        return StoreResult::NotFound;
    }
    return IsUnavailableState(state) ? StoreResult::Unavailable : StoreResult::Error;
}

StoreResult PgConnection::Run(const char* statement, const std::vector<std::string>& params,
                              PgResult* out) {
    std::vector<const char*> values;
    for (const std::string& p : params) {
        // A text parameter ends at its first NUL byte: such a value never reaches the server.
        if (p.find('\0') != std::string::npos) {
            m_lastError = "a value holds a NUL byte";
            return StoreResult::Error;
        }
        values.push_back(p.c_str());
    }
    PGresult* r = PQexecPrepared(m_conn, statement, static_cast<int>(values.size()), values.data(),
                                 nullptr, nullptr, 0);
    ExecStatusType status = r != nullptr ? PQresultStatus(r) : PGRES_FATAL_ERROR;
    if (status != PGRES_TUPLES_OK && status != PGRES_COMMAND_OK) {
        return Failed(r);
    }
    *out = PgResult(r);
    return StoreResult::Ok;
}

StoreResult PgConnection::Command(const char* sql) {
    PGresult* r = PQexec(m_conn, sql);
    if (r == nullptr || PQresultStatus(r) != PGRES_COMMAND_OK) {
        return Failed(r);
    }
    PQclear(r);
    return StoreResult::Ok;
}

bool PgConnection::Prepare(const std::vector<PgStatement>& statements, std::string* error) {
    for (const PgStatement& s : statements) {
        PGresult* r = PQprepare(m_conn, s.name, s.sql.c_str(), 0, nullptr);
        bool ok = r != nullptr && PQresultStatus(r) == PGRES_COMMAND_OK;
        if (!ok) {
            *error = std::string("cannot prepare ") + s.name + ": " +
                     OneLine(r != nullptr ? PQresultErrorMessage(r) : PQerrorMessage(m_conn));
        }
        PQclear(r);
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool PgConnection::Revive(const std::vector<PgStatement>& statements) {
    auto now = std::chrono::steady_clock::now();
    if (now - m_lastAttempt < std::chrono::seconds(1)) {
        return false;
    }
    m_lastAttempt = now;
    PQreset(m_conn);
    if (PQstatus(m_conn) != CONNECTION_OK) {
        m_lastError = OneLine(PQerrorMessage(m_conn));
        return false;
    }
    std::string error;
    if (!Prepare(statements, &error)) {
        m_lastError = error;
        return false;
    }
    m_broken = false;
    return true;
}

pg_conn* PgPool::Connect(const std::string& uri, std::string* error) {
    // Later settings win: the URI may set its own time-outs.
    const char* keys[] = {"connect_timeout", "tcp_user_timeout", "application_name", "dbname",
                          nullptr};
    const char* values[] = {kConnectTimeout, kTcpUserTimeoutMs, "zorvo-directory", uri.c_str(),
                            nullptr};
    PGconn* conn = PQconnectdbParams(keys, values, 1);
    if (conn == nullptr || PQstatus(conn) != CONNECTION_OK) {
        *error = "cannot connect to " + ShownDatabase(uri) + ": " +
                 (conn != nullptr ? OneLine(PQerrorMessage(conn)) : "out of memory");
        PQfinish(conn);
        return nullptr;
    }
    // Notices ("relation already exists, skipping") are no news to anyone: stderr stays for
    // the service's own lines.
    PQsetNoticeProcessor(
        conn, [](void*, const char*) {}, nullptr);
    return conn;
}

std::unique_ptr<PgPool> PgPool::Open(const std::string& uri, int size,
                                     std::vector<PgStatement> statements, std::string* error) {
    std::unique_ptr<PgPool> pool(new PgPool());
    pool->m_statements = std::move(statements);
    for (int i = 0; i < size; ++i) {
        auto c = std::make_unique<PgConnection>();
        c->m_conn = Connect(uri, error);
        if (c->m_conn == nullptr) {
            return nullptr;
        }
        if (!c->Prepare(pool->m_statements, error)) {
            *error = ShownDatabase(uri) + ": " + *error;
            return nullptr;
        }
        pool->m_free.push_back(c.get());
        pool->m_all.push_back(std::move(c));
    }
    return pool;
}

PgPool::~PgPool() = default;

PgPool::Lease PgPool::Acquire() {
    PgConnection* c = nullptr;
    {
        std::unique_lock<std::mutex> lock(m_lock);
        m_freed.wait(lock, [this] { return !m_free.empty(); });
        c = m_free.back();
        m_free.pop_back();
    }
    if (c->m_broken || PQstatus(c->m_conn) != CONNECTION_OK) {
        c->m_broken = true;
        c->Revive(m_statements);
    }
    return Lease(this, c);
}

void PgPool::Release(PgConnection* c) {
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_free.push_back(c);
    }
    m_freed.notify_one();
}

PgPool::Lease::~Lease() {
    if (m_c != nullptr) {
        m_pool->Release(m_c);
    }
}
