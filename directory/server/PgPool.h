#pragma once

#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "directory/server/Storage.h"

struct pg_conn;
struct pg_result;

// The connections of a PostgreSQL backend: a fixed number of libpq connections, each with the
// service's statements prepared on it, lent to one thread at a time. A connection that breaks
// (the server restarted, the network went away) is opened again when it is next lent, at most
// once a second, so that requests meanwhile are refused at once instead of waiting.

// A statement the service prepares on every connection.
struct PgStatement {
    const char* name;
    std::string sql;
};

// Every process that sets up tables takes this lock first, so that two processes starting at the
// same moment on an empty database do not both create them.
constexpr const char* kPgSchemaLock = R"sql(SELECT pg_advisory_xact_lock(7283546120917))sql";

// One result of libpq, freed when it goes.
class PgResult {
  public:
    PgResult() = default;
    explicit PgResult(pg_result* r) : m_r(r) {}
    ~PgResult();
    PgResult(PgResult&& other) noexcept : m_r(other.m_r) { other.m_r = nullptr; }
    PgResult& operator=(PgResult&& other) noexcept;
    PgResult(const PgResult&) = delete;
    PgResult& operator=(const PgResult&) = delete;

    int Rows() const;
    std::string Text(int row, int column) const;
    bool IsNull(int row, int column) const;
    int64_t Int(int row, int column) const;
    // The rows a command changed ("UPDATE 1" gives 1).
    int64_t Changed() const;

  private:
    pg_result* m_r = nullptr;
};

class PgConnection {
  public:
    ~PgConnection();

    // Runs a prepared statement with text parameters. Ok with *out holding the result, or the
    // failure: Exists for a unique key taken, NotFound for a missing referenced row,
    // Unavailable when the server cannot be reached, else Error (with LastError set).
    StoreResult Run(const char* statement, const std::vector<std::string>& params, PgResult* out);
    // Runs a plain command without parameters (transaction control).
    StoreResult Command(const char* sql);
    const std::string& LastError() const { return m_lastError; }

  private:
    friend class PgPool;
    StoreResult Failed(pg_result* r);
    bool Prepare(const std::vector<PgStatement>& statements, std::string* error);
    // Opens a broken connection again (at most once a second); false while it stays broken.
    bool Revive(const std::vector<PgStatement>& statements);

    pg_conn* m_conn = nullptr;
    bool m_broken = false;
    std::chrono::steady_clock::time_point m_lastAttempt{};
    std::string m_lastError;
};

class PgPool {
  public:
    // Opens size connections to the server of uri and prepares the statements on each. On
    // failure returns null and sets *error to one line without the password.
    static std::unique_ptr<PgPool> Open(const std::string& uri, int size,
                                        std::vector<PgStatement> statements, std::string* error);
    // Opens one more connection for work of its own (setting up the schema).
    static pg_conn* Connect(const std::string& uri, std::string* error);
    ~PgPool();

    // A connection lent to the caller until the lease goes; null when the database cannot be
    // reached now.
    class Lease {
      public:
        Lease(PgPool* pool, PgConnection* c) : m_pool(pool), m_c(c) {}
        ~Lease();
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        PgConnection* operator->() const { return m_c; }
        PgConnection& operator*() const { return *m_c; }
        explicit operator bool() const { return m_c != nullptr && !m_c->m_broken; }

      private:
        PgPool* m_pool;
        PgConnection* m_c;
    };
    Lease Acquire();

  private:
    PgPool() = default;
    void Release(PgConnection* c);

    std::vector<PgStatement> m_statements;
    std::vector<std::unique_ptr<PgConnection>> m_all;
    std::mutex m_lock;
    std::condition_variable m_freed;
    std::vector<PgConnection*> m_free;
};

// libpq's message (often several lines) as one line.
std::string OneLine(const char* message);
// A PostgreSQL array literal of texts: {"a","b"} with quotes and backslashes escaped.
std::string TextArray(const std::vector<std::string>& items);
