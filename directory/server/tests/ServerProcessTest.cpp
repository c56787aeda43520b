// Runs the zorvo-directory program on a free loopback port and talks to it the way the client
// does, through the client's request layer, and with raw malformed requests.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <random>
#include <sstream>
#include <thread>

#include "directory/client/LocalAddress.h"
#include "directory/client/Requests.h"
#include "directory/client/WebClient.h"

namespace {

std::string TempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/zorvo-dirproc-" +
           std::to_string(getpid()) + "-" + name;
}

void RemoveDb(const std::string& path) {
    for (const char* suffix : {"", "-wal", "-shm"}) {
        unlink((path + suffix).c_str());
    }
}

std::string ReadAll(int fd, int timeoutMs) {
    std::string out;
    char buf[4096];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) {
            break;
        }
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// Runs the program to its end; gives its exit status and what it wrote.
int RunProgram(const std::vector<std::string>& args, std::string* out, std::string* err) {
    int o[2];
    int e[2];
    if (pipe(o) != 0 || pipe(e) != 0) {
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(o[1], 1);
        dup2(e[1], 2);
        close(o[0]);
        close(e[0]);
        std::vector<char*> argv{const_cast<char*>(ZORVO_DIRECTORY_BIN)};
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(o[1]);
    close(e[1]);
    *out = ReadAll(o[0], 10000);
    *err = ReadAll(e[0], 10000);
    close(o[0]);
    close(e[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The service, started with its own database and request log on a port the system picks.
class ServerProcess {
  public:
    ~ServerProcess() { Stop(); }

    bool Start(const std::string& db, const std::string& log) {
        int e[2];
        if (pipe(e) != 0) {
            return false;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(e[1], 2);
            close(e[0]);
            execl(ZORVO_DIRECTORY_BIN, ZORVO_DIRECTORY_BIN, "--listen", "127.0.0.1:0", "--db",
                  db.c_str(), "--log", log.c_str(), "--hash-cost", "min", "--threads", "8",
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        close(e[1]);
        m_err = e[0];
        // The first line names the port: "... listening on 127.0.0.1:PORT, ..."
        std::string text;
        char c;
        while (text.find('\n') == std::string::npos) {
            pollfd p{m_err, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0 || read(m_err, &c, 1) != 1) {
                return false;
            }
            text += c;
        }
        size_t at = text.find("127.0.0.1:");
        if (at == std::string::npos) {
            return false;
        }
        m_host = "127.0.0.1:" + std::to_string(std::atoi(text.c_str() + at + 10));
        m_port = std::atoi(text.c_str() + at + 10);
        return true;
    }

    // SIGTERM, then the exit status (-1 when it had to be killed).
    int Stop() {
        if (m_pid <= 0) {
            return -1;
        }
        kill(m_pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 200; ++i) {
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = 0;
                close(m_err);
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
        m_pid = 0;
        close(m_err);
        return -1;
    }

    bool Alive() { return m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0; }
    const std::string& host() const { return m_host; }
    int port() const { return m_port; }

  private:
    pid_t m_pid = 0;
    int m_err = -1;
    std::string m_host;
    int m_port = 0;
};

// Reads one HTTP response: the head, then as many body bytes as Content-Length says (none for
// a HEAD request). Stops early when the server closes the connection or goes quiet.
std::string ReadResponse(int fd, bool head) {
    std::string out;
    char buf[4096];
    for (;;) {
        size_t end = out.find("\r\n\r\n");
        if (end != std::string::npos) {
            size_t length = 0;
            size_t at = out.find("Content-Length: ");
            if (at != std::string::npos && at < end) {
                length = std::strtoul(out.c_str() + at + 16, nullptr, 10);
            }
            if (head || out.size() >= end + 4 + length) {
                return out;
            }
        }
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) {
            return out;
        }
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            return out;
        }
        out.append(buf, static_cast<size_t>(n));
    }
}

// Sends raw bytes on a fresh connection and returns everything the server answers.
std::string RawExchange(int port, const std::string& bytes) {
    int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return {};
    }
    size_t sent = 0;
    while (sent < bytes.size()) {
        ssize_t n = send(fd, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
        if (n <= 0) {
            break;
        }
        sent += static_cast<size_t>(n);
    }
    std::string reply = ReadResponse(fd, bytes.rfind("HEAD ", 0) == 0);
    close(fd);
    return reply;
}

int StatusOf(const std::string& reply) {
    if (reply.rfind("HTTP/1.", 0) != 0 || reply.size() < 12) {
        return 0;
    }
    return std::atoi(reply.c_str() + 9);
}

class DirectoryServer : public ::testing::Test {
  protected:
    void SetUp() override {
        m_db = TempPath("db");
        m_log = TempPath("log");
        m_ini = TempPath("ini");
        RemoveDb(m_db);
        unlink(m_log.c_str());
        ASSERT_TRUE(m_server.Start(m_db, m_log));
        m_web.SetServiceHost(m_server.host());
        m_web.SetDiscoveryFile(m_ini);
        m_web.SetTimeouts(3000, 10000);
    }
    void TearDown() override {
        m_server.Stop();
        RemoveDb(m_db);
        unlink(m_log.c_str());
        unlink(m_ini.c_str());
    }
    std::string Ask(const std::string& target) {
        std::string reply = "(no reply)";
        EXPECT_EQ(m_web.Get(m_info.host, target, &reply), 1) << target;
        return reply;
    }
    void Register(const std::string& user, const std::string& pass) {
        std::string reply;
        ASSERT_EQ(
            m_web.Get(m_server.host(),
                      "register.asp?User=" + UrlEncode(user) + "&Pass=" + UrlEncode(pass), &reply),
            1);
        ASSERT_NE(reply.find("is ready"), std::string::npos) << reply;
    }
    int64_t Count(const char* sql) {
        sqlite3* db = nullptr;
        int64_t n = -1;
        if (sqlite3_open_v2(m_db.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
            sqlite3_stmt* s = nullptr;
            if (sqlite3_prepare_v2(db, sql, -1, &s, nullptr) == SQLITE_OK &&
                sqlite3_step(s) == SQLITE_ROW) {
                n = sqlite3_column_int64(s, 0);
            }
            sqlite3_finalize(s);
        }
        sqlite3_close(db);
        return n;
    }

    ServerProcess m_server;
    std::string m_db;
    std::string m_log;
    std::string m_ini;
    CWebClient m_web;
    ServerInfo m_info;
};

TEST(DirectoryProgram, AnswersHelpVersionAndBadOptions) {
    std::string out;
    std::string err;
    EXPECT_EQ(RunProgram({"--help"}, &out, &err), 0);
    EXPECT_NE(out.find("--listen"), std::string::npos);
    EXPECT_NE(out.find("--db"), std::string::npos);
    EXPECT_EQ(RunProgram({"--version"}, &out, &err), 0);
    EXPECT_EQ(out.rfind("zorvo-directory ", 0), 0u);

    std::string dir = TempPath("notadb");
    std::ofstream(dir) << "plain text, not a database, long enough to be looked at\n";
    const std::vector<std::vector<std::string>> bad = {
        {"--bogus"},
        {"--listen"},
        {"--listen", "127.0.0.1"},
        {"--listen", "127.0.0.1:70000"},
        {"--threads", "0"},
        {"--hash-cost", "none"},
        {"--page-path", "zorvo"},
        {"--db", "/nonexistent/folder/directory.db"},
        {"--db", dir, "--listen", "127.0.0.1:0"},
    };
    for (const auto& args : bad) {
        EXPECT_EQ(RunProgram(args, &out, &err), 1) << args[0];
        EXPECT_EQ(err.rfind("zorvo-directory: ", 0), 0u) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line: " << err;
    }
    unlink(dir.c_str());
}

TEST_F(DirectoryServer, ClientSessionFromDiscoveryToLogoff) {
    Register("alice", "alice pw");
    Register("bob", "b0b");

    ASSERT_EQ(m_web.DiscoverServer(&m_info), 1);
    EXPECT_EQ(m_info.host, m_server.host());
    EXPECT_EQ(m_info.path, "/zorvo");
    std::string cls = ClassifyLocalAddress(m_server.host(), 3000);
    EXPECT_EQ(cls, "LAN");

    std::string reply = Ask(LoginTarget(m_info, "alice", "alice pw", cls));
    ASSERT_EQ(reply.substr(0, 1), "+") << reply;
    EXPECT_EQ(BuddyTextFromLoginReply(reply), "");
    EXPECT_EQ(Ask(SyncBListTarget(m_info, "alice", "alice pw", "bob carol ")).substr(0, 1), "+");
    reply = Ask(LoginTarget(m_info, "alice", "alice pw", cls));
    EXPECT_EQ(SplitWords(BuddyTextFromLoginReply(reply)),
              (std::vector<std::string>{"bob", "carol"}));

    EXPECT_EQ(Ask(GetUserListTarget(m_info, "alice", "alice pw", {"bob", "carol"})), "+OK");
    ASSERT_EQ(Ask(LoginTarget(m_info, "bob", "b0b", "10.1.2.3")).substr(0, 1), "+");
    EXPECT_NE(Ask(IamUpTarget(m_info, "bob", "b0b", "LAN")).substr(0, 1), "#");
    EXPECT_EQ(Ask(GetUserListTarget(m_info, "alice", "alice pw", {"bob", "carol"})), "+OK bob LAN");

    int id = SessionIdFromReply(Ask(CallReportTarget(m_info, "alice", "bob", 0, 0, 0)), 0);
    EXPECT_GT(id, 0);
    reply = Ask(CallReportTarget(m_info, "alice", "bob", 1, id, 123));
    EXPECT_EQ(SessionIdFromReply(reply, id), id);
    EXPECT_EQ(reply, "+OK " + std::to_string(id));

    EXPECT_EQ(Ask(LogoffTarget(m_info, "bob", "b0b", cls)).substr(0, 1), "+");
    EXPECT_EQ(Ask(GetUserListTarget(m_info, "alice", "alice pw", {"bob"})), "+OK");

    // Refusals, in the forms the client treats as such.
    EXPECT_NE(Ask(LoginTarget(m_info, "alice", "wrong", cls)).substr(0, 1), "+");
    EXPECT_NE(Ask(LoginTarget(m_info, "nobody", "alice pw", cls)).substr(0, 1), "+");
    EXPECT_EQ(Ask(IamUpTarget(m_info, "alice", "wrong", "LAN")).substr(0, 1), "#");
    EXPECT_EQ(Ask(GetUserListTarget(m_info, "alice", "wrong", {})).substr(0, 1), "-");
    EXPECT_NE(Ask(LogoffTarget(m_info, "alice", "wrong", cls)).substr(0, 1), "+");
    // An unknown page is an HTTP error, still a reply, and not an acceptance.
    EXPECT_EQ(Ask("/zorvo\\nosuch.asp").substr(0, 1), "-");

    EXPECT_EQ(m_server.Stop(), 0);
    std::ifstream in(m_log);
    std::stringstream log;
    log << in.rdbuf();
    EXPECT_NE(log.str().find("logmein.asp"), std::string::npos);
    EXPECT_EQ(log.str().find("alice%20pw"), std::string::npos);
    EXPECT_EQ(log.str().find("b0b"), std::string::npos);
}

TEST_F(DirectoryServer, RestartKeepsAccountsBuddyListsAndCallRecords) {
    Register("alice", "pw");
    ASSERT_EQ(m_web.DiscoverServer(&m_info), 1);
    ASSERT_EQ(Ask(SyncBListTarget(m_info, "alice", "pw", "bob ")), "+OK");
    int id = SessionIdFromReply(Ask(CallReportTarget(m_info, "alice", "bob", 0, 0, 0)), 0);
    ASSERT_GT(id, 0);

    ASSERT_EQ(m_server.Stop(), 0);
    ASSERT_TRUE(m_server.Start(m_db, m_log));
    m_web.SetServiceHost(m_server.host());
    ASSERT_EQ(m_web.DiscoverServer(&m_info), 1);

    EXPECT_EQ(BuddyTextFromLoginReply(Ask(LoginTarget(m_info, "alice", "pw", "LAN"))), "bob");
    EXPECT_EQ(Ask(CallReportTarget(m_info, "alice", "bob", 7, id, 50)),
              "+OK " + std::to_string(id));
    EXPECT_EQ(Count("SELECT count(*) FROM calls"), 1);
    EXPECT_EQ(Count("SELECT minutes FROM calls"), 7);
}

TEST_F(DirectoryServer, MalformedRequestsGetClearRepliesAndStoreNothing) {
    Register("alice", "pw");
    int port = m_server.port();

    EXPECT_EQ(StatusOf(RawExchange(port, "GARBAGE\r\n\r\n")), 400);
    EXPECT_EQ(StatusOf(RawExchange(
                  port, "GET /" + std::string(20000, 'a') + " HTTP/1.1\r\nHost: x\r\n\r\n")),
              414);
    EXPECT_EQ(StatusOf(RawExchange(port,
                                   "GET /zorvo\\iamup.asp?User=alice&Pass=pw HTTP/1.1\r\n"
                                   "Host: x\r\nConnection: close\r\n\r\n")),
              400);
    std::string big =
        "POST /register.asp HTTP/1.1\r\nHost: x\r\nContent-Type: "
        "application/x-www-form-urlencoded\r\nContent-Length: 100000\r\n\r\n" +
        std::string(100000, 'u');
    EXPECT_EQ(StatusOf(RawExchange(port, big)), 413);

    // A few thousand requests made of the pages, keys and characters that break parsers.
    const char* pages[] = {
        "/zorvo\\logmein.asp",      "/zorvo\\logmeoff.asp",   "/zorvo\\iamup.asp",
        "/zorvo\\GetUserList.asp",  "/zorvo\\iamtalking.asp", "/zorvo\\SyncBList.asp",
        "/myaccount.asp",           "/ZorvoServer.txt",       "/nosuch.asp",
        "/zorvo\\\\..\\logmein.asp"};
    const char* pieces[] = {"User=",
                            "Pass=",
                            "IPAddr=",
                            "buddy=",
                            "RemUser=",
                            "Minutes=",
                            "SessionID=",
                            "AvgDelay=",
                            "alice",
                            "pwx",
                            "%",
                            "%4",
                            "%zz",
                            "%00",
                            "'",
                            "\"",
                            ";",
                            "--",
                            "&",
                            "=",
                            "+",
                            "\\",
                            "%27%20OR%201=1--",
                            "-1",
                            "99999999999",
                            "LAN",
                            "1.2.3.4",
                            "\xC3\xA9",
                            "\x01",
                            "%0D%0A"};
    const char* methods[] = {"GET", "GET", "GET", "POST", "HEAD", "PUT", "BREW", ""};
    std::mt19937 rng(1234);
    int answered = 0;
    int serverErrors = 0;
    constexpr int kRequests = 3000;
    for (int i = 0; i < kRequests; ++i) {
        std::string target = pages[rng() % std::size(pages)];
        target += "?";
        int n = static_cast<int>(rng() % 12);
        for (int k = 0; k < n; ++k) {
            target += pieces[rng() % std::size(pieces)];
        }
        std::string request =
            std::string(methods[rng() % std::size(methods)]) + " " + target +
            " HTTP/1.1\r\nHost: 127.0.0.1\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        int status = StatusOf(RawExchange(port, request));
        answered += status != 0 ? 1 : 0;
        serverErrors += status >= 500 ? 1 : 0;
    }
    EXPECT_GT(answered, kRequests * 9 / 10);
    EXPECT_EQ(serverErrors, 0);
    ASSERT_TRUE(m_server.Alive());

    EXPECT_EQ(m_server.Stop(), 0);
    EXPECT_EQ(Count("SELECT count(*) FROM accounts"), 1);
    EXPECT_EQ(Count("SELECT count(*) FROM calls"), 0);
    EXPECT_EQ(Count("SELECT length(buddies) FROM accounts"), 0);
}

}  // namespace
