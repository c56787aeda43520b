#include "testsupport/PostgresServer.h"

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>

namespace testsupport {

namespace {

std::string Quote(const std::string& s) {
    std::string out = "'";
    for (char c : s) {
        out += c == '\'' ? std::string("'\\''") : std::string(1, c);
    }
    return out + "'";
}

std::string Script(const std::string& command, const std::string& dir) {
    return Quote(ZORVO_POSTGRES_SCRIPT) + " " + command + " " + Quote(dir);
}

std::string NewFolder() {
    const char* tmp = std::getenv("TMPDIR");
    static std::atomic<int> counter{0};
    return std::string(tmp != nullptr ? tmp : "/tmp") + "/zorvo-pg-" + std::to_string(getpid()) +
           "-" + std::to_string(counter++);
}

}  // namespace

int RunCommand(const std::string& command, std::string* out) {
    FILE* p = popen(command.c_str(), "r");
    if (p == nullptr) {
        return -1;
    }
    std::string text;
    char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
        text.append(buf, n);
    }
    int status = pclose(p);
    if (out != nullptr) {
        *out = text;
    }
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

PostgresServer* PostgresServer::Shared(std::string* error) {
    static std::mutex lock;
    static std::unique_ptr<PostgresServer> shared;
    static std::string failure;
    std::lock_guard<std::mutex> guard(lock);
    if (!shared && failure.empty()) {
        const char* run = std::getenv("ZORVO_TEST_POSTGRES");
        std::unique_ptr<PostgresServer> s;
        if (run != nullptr && run[0] != '\0') {
            s.reset(new PostgresServer(run, false));
            if (!s->Load(&failure)) {
                s.reset();
            }
        } else {
            s = StartPrivate(&failure);
        }
        shared = std::move(s);
    }
    if (!shared) {
        *error = failure;
    }
    return shared.get();
}

std::unique_ptr<PostgresServer> PostgresServer::StartPrivate(std::string* error) {
    std::unique_ptr<PostgresServer> s(new PostgresServer(NewFolder(), true));
    std::string out;
    if (RunCommand(Script("start", s->m_dir) + " 2>&1", &out) != 0) {
        *error = "cannot start a PostgreSQL server: " + out;
        RunCommand(Script("stop", s->m_dir), nullptr);
        s->m_owned = false;
        return nullptr;
    }
    if (!s->Load(error)) {
        return nullptr;
    }
    return s;
}

PostgresServer::~PostgresServer() {
    if (m_owned) {
        RunCommand(Script("stop", m_dir), nullptr);
    }
}

bool PostgresServer::Load(std::string* error) {
    std::ifstream in(m_dir + "/uri");
    if (!std::getline(in, m_base) || m_base.empty()) {
        *error = "no PostgreSQL server runs in " + m_dir;
        return false;
    }
    return true;
}

std::string PostgresServer::Uri(const std::string& database) const {
    return m_base + "/" + database;
}

std::string PostgresServer::NewDatabase(std::string* error) {
    static std::atomic<int> counter{0};
    std::string name = "t" + std::to_string(getpid()) + "_" + std::to_string(counter++);
    std::string out;
    if (!Sql("postgres", "CREATE DATABASE " + name + " OWNER zorvo", &out)) {
        *error = "cannot create a database: " + out;
        return {};
    }
    return Uri(name);
}

bool PostgresServer::Sql(const std::string& database, const std::string& sql, std::string* out) {
    return RunCommand(
               Script("psql", m_dir) + " -d " + Quote(database) + " -At -c " + Quote(sql) + " 2>&1",
               out) == 0;
}

bool PostgresServer::Pause() {
    return RunCommand(Script("pause", m_dir) + " 2>&1", nullptr) == 0;
}

bool PostgresServer::Resume() {
    return RunCommand(Script("resume", m_dir) + " 2>&1", nullptr) == 0;
}

}  // namespace testsupport
