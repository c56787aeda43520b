// Runs the zorvo-directory program on a free loopback port and talks to it the way the client
// does, through the client's request layer, and with raw malformed requests.

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
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
#include "directory/server/tests/ServiceProcess.h"
#include "directory/server/tests/TestDatabase.h"

namespace {

std::string TempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/zorvo-dirproc-" +
           std::to_string(getpid()) + "-" + name;
}

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

class DirectoryServer : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        static int counter = 0;
        std::string error;
        ASSERT_TRUE(m_database.Create(GetParam(), "proc" + std::to_string(counter++), &error))
            << error;
        m_db = m_database.db();
        m_log = TempPath("log");
        m_ini = TempPath("ini");
        unlink(m_log.c_str());
        ASSERT_TRUE(m_server.Start(m_db, m_log));
        m_web.SetServiceHost(m_server.host());
        m_web.SetDiscoveryFile(m_ini);
        m_web.SetTimeouts(3000, 10000);
    }
    void TearDown() override {
        m_server.Stop();
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
        std::string value = m_database.Query(sql);
        return value.empty() ? -1 : std::atoll(value.c_str());
    }

    TestDatabase m_database;
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

TEST_P(DirectoryServer, ClientSessionFromDiscoveryToLogoff) {
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

TEST_P(DirectoryServer, RestartKeepsAccountsBuddyListsAndCallRecords) {
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

TEST_P(DirectoryServer, MalformedRequestsGetClearRepliesAndStoreNothing) {
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

INSTANTIATE_TEST_SUITE_P(Backends, DirectoryServer,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const ::testing::TestParamInfo<Backend>& info) {
                             return BackendName(info.param);
                         });

}  // namespace
