#pragma once

#include <sqlite3.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <ostream>
#include <string>

#include "directory/server/Database.h"
#include "directory/server/Storage.h"
#include "testsupport/PostgresServer.h"

// The two storage backends every test of the service runs against.
enum class Backend { Sqlite, Postgres };

inline std::string BackendName(Backend b) {
    return b == Backend::Sqlite ? "Sqlite" : "Postgres";
}

// How a test's parameter shows in its name and messages.
inline void PrintTo(Backend b, std::ostream* out) {
    *out << BackendName(b);
}

// A fresh, empty database of one backend: a new SQLite file (removed again at the end), or a new
// database on the PostgreSQL server of the test run.
class TestDatabase {
  public:
    TestDatabase() = default;
    TestDatabase(const TestDatabase&) = delete;
    TestDatabase& operator=(const TestDatabase&) = delete;
    ~TestDatabase() { RemoveFiles(); }

    bool Create(Backend backend, const std::string& name, std::string* error) {
        m_backend = backend;
        if (backend == Backend::Sqlite) {
            const char* dir = std::getenv("TMPDIR");
            m_db = std::string(dir != nullptr ? dir : "/tmp") + "/zorvo-dirtest-" +
                   std::to_string(getpid()) + "-" + name + ".db";
            RemoveFiles();
            return true;
        }
        m_server = testsupport::PostgresServer::Shared(error);
        if (m_server == nullptr) {
            return false;
        }
        m_db = m_server->NewDatabase(error);
        return !m_db.empty();
    }
    std::unique_ptr<Storage> Open(std::string* error) const { return OpenDatabase(m_db, 4, error); }
    // What --db takes: the file's path or the URI.
    const std::string& db() const { return m_db; }
    Backend backend() const { return m_backend; }
    // The first value of a query's answer, as text ("" when there is none or it failed).
    std::string Query(const std::string& sql) const;

  private:
    void RemoveFiles() {
        if (m_backend == Backend::Sqlite && !m_db.empty()) {
            for (const char* suffix : {"", "-wal", "-shm"}) {
                unlink((m_db + suffix).c_str());
            }
        }
    }

    Backend m_backend = Backend::Sqlite;
    std::string m_db;
    testsupport::PostgresServer* m_server = nullptr;
};

inline std::string TestDatabase::Query(const std::string& sql) const {
    std::string out;
    if (m_backend == Backend::Sqlite) {
        sqlite3* db = nullptr;
        if (sqlite3_open_v2(m_db.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* s = nullptr;
            if (sqlite3_prepare_v2(db, sql.c_str(), -1, &s, nullptr) == SQLITE_OK &&
                sqlite3_step(s) == SQLITE_ROW && sqlite3_column_text(s, 0) != nullptr) {
                out = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
            }
            sqlite3_finalize(s);
        }
        sqlite3_close(db);
    } else {
        std::string name = m_db.substr(m_db.rfind('/') + 1);
        if (!m_server->Sql(name, sql, &out)) {
            return "";
        }
    }
    while (!out.empty() && (out.back() == '\n' || out.back() == '\r')) {
        out.pop_back();
    }
    return out.substr(0, out.find('\n'));
}
