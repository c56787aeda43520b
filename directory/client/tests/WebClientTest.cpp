#include "directory/client/WebClient.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <thread>

#include "directory/client/ServiceHost.h"
#include "testsupport/FreePort.h"
#include "testsupport/TestHttpServer.h"

namespace {

std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

std::string TempFile(const char* name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/zorvo-dirclient-" +
           std::to_string(getpid()) + "-" + name;
}

TEST(UrlEncode, EscapesEverythingButLettersAndDigits) {
    EXPECT_EQ(UrlEncode("a b.c"), "a%20b%2Ec");
    EXPECT_EQ(UrlEncode("192.168.0.1"), "192%2E168%2E0%2E1");
    EXPECT_EQ(UrlEncode("\xE9"), "%E9");
    EXPECT_EQ(UrlEncode(""), "");
    EXPECT_EQ(UrlEncode("-_~%+&="), "%2D%5F%7E%25%2B%26%3D");
    EXPECT_EQ(UrlEncode(std::string("a\0b", 3)), "a%00b");
    EXPECT_EQ(UrlEncode("AZaz09"), "AZaz09");
}

TEST(ReadProfileString, FollowsPrivateProfileRules) {
    std::string ini =
        "\xEF\xBB\xBF[other]\r\nCURRENT IP=9.9.9.9\r\n"
        "[ zorvo ]\r\n  current ip  =  10.1.2.3:81  \r\nPath=\"/dir\"\r\nempty=\r\n"
        "[ZORVO]\r\nCURRENT IP=7.7.7.7\r\n";
    EXPECT_EQ(ReadProfileString(ini, "ZORVO", "CURRENT IP", "0.0.0.0"), "10.1.2.3:81");
    EXPECT_EQ(ReadProfileString(ini, "Zorvo", "PATH", "ERR"), "/dir");
    EXPECT_EQ(ReadProfileString(ini, "ZORVO", "EMPTY", "ERR"), "");
    EXPECT_EQ(ReadProfileString(ini, "ZORVO", "MISSING", "ERR"), "ERR");
    EXPECT_EQ(ReadProfileString(ini, "NONE", "PATH", "ERR"), "ERR");
    // The value is cut to what a 256-byte buffer holds.
    std::string longValue(400, 'x');
    EXPECT_EQ(ReadProfileString("[ZORVO]\nPATH=" + longValue, "ZORVO", "PATH", "ERR").size(), 255u);
}

class Discovery : public ::testing::Test {
  protected:
    void SetUp() override {
        m_server.server().Get("/ZorvoServer.txt",
                              [this](const httplib::Request&, httplib::Response& res) {
                                  res.set_content(m_text, "text/plain");
                              });
        m_host = m_server.Start();
        m_file = TempFile("discovery.ini");
        m_client.SetServiceHost(m_host);
        m_client.SetDiscoveryFile(m_file);
        m_client.SetTimeouts(2000, 5000);
        m_info.host = "old-host";
        m_info.path = "/old";
    }
    void TearDown() override { unlink(m_file.c_str()); }

    testsupport::TestHttpServer m_server;
    std::string m_host;
    std::string m_file;
    std::string m_text;
    CWebClient m_client;
    ServerInfo m_info;
};

TEST_F(Discovery, ReadsHostAndPathAndWritesTheFile) {
    m_text = "[zorvo]\r\ncurrent ip = 127.0.0.1:9000 \r\npath=/dir\r\n";
    EXPECT_EQ(m_client.DiscoverServer(&m_info), 1);
    EXPECT_EQ(m_info.host, "127.0.0.1:9000");
    EXPECT_EQ(m_info.path, "/dir");
    EXPECT_EQ(ReadFile(m_file), m_text);
}

TEST_F(Discovery, MissingSectionOrPlaceholderHostLeavesInfoUntouched) {
    m_text = "CURRENT IP=1.2.3.4\nPATH=/x\n";
    EXPECT_EQ(m_client.DiscoverServer(&m_info), 0);
    EXPECT_EQ(m_info.host, "old-host");
    EXPECT_EQ(m_info.path, "/old");

    m_text = "[ZORVO]\nCURRENT IP=0.0.0.0\nPATH=/x\n";
    EXPECT_EQ(m_client.DiscoverServer(&m_info), 0);
    EXPECT_EQ(m_info.host, "old-host");

    m_text = "[ZORVO]\nCURRENT IP=\nPATH=/x\n";
    EXPECT_EQ(m_client.DiscoverServer(&m_info), 0);
    EXPECT_EQ(m_info.host, "old-host");
    EXPECT_EQ(m_info.path, "/old");
}

TEST_F(Discovery, HostWithoutPathFailsButKeepsTheNewHost) {
    m_text = "[ZORVO]\nCURRENT IP=10.0.0.9\n";
    EXPECT_EQ(m_client.DiscoverServer(&m_info), 0);
    EXPECT_EQ(m_info.host, "10.0.0.9");
    EXPECT_EQ(m_info.path, "/old");

    m_text = "[ZORVO]\nCURRENT IP=10.0.0.8\nPATH=ERR\n";
    EXPECT_EQ(m_client.DiscoverServer(&m_info), 0);
    EXPECT_EQ(m_info.host, "10.0.0.8");
    EXPECT_EQ(m_info.path, "/old");
}

TEST_F(Discovery, FailedDownloadEmptiesTheFile) {
    m_text = "[ZORVO]\nCURRENT IP=10.0.0.9\nPATH=/p\n";
    ASSERT_EQ(m_client.DiscoverServer(&m_info), 1);
    ASSERT_FALSE(ReadFile(m_file).empty());

    m_client.SetServiceHost("127.0.0.1:" + std::to_string(testsupport::FreeTcpPort()));
    EXPECT_EQ(m_client.DiscoverServer(&m_info), 0);
    EXPECT_EQ(ReadFile(m_file), "");
    EXPECT_EQ(m_info.host, "10.0.0.9");
}

class Get : public ::testing::Test {
  protected:
    void SetUp() override {
        auto& s = m_server.server();
        s.Get("/missing", [](const httplib::Request&, httplib::Response& res) {
            res.status = 404;
            res.set_content("<html><body>Not Found</body></html>", "text/html");
        });
        s.Get("/big", [](const httplib::Request&, httplib::Response& res) {
            std::string body(10000, 'b');
            body[0] = '+';
            body[4094] = 'L';  // the last byte kept
            res.set_content(body, "text/plain");
        });
        s.Get("/nul", [](const httplib::Request&, httplib::Response& res) {
            res.set_content(std::string("+ab\0cd", 6), "text/plain");
        });
        s.Get("/moved", [](const httplib::Request&, httplib::Response& res) {
            res.status = 302;
            res.set_header("Location", "/missing");
            res.set_content("-moved", "text/plain");
        });
        s.Get("/slow", [](const httplib::Request&, httplib::Response& res) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1500));
            res.set_content("+late", "text/plain");
        });
        s.Get("/hang", [this](const httplib::Request&, httplib::Response& res) {
            for (int i = 0; i < 200 && !m_release.load(); ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
            }
            res.set_content("+late", "text/plain");
        });
        s.Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
            m_lastTarget = req.target;
            res.set_content("+echo", "text/plain");
        });
        m_host = m_server.Start();
        m_client.SetTimeouts(2000, 5000);
    }

    void TearDown() override { m_release = true; }

    testsupport::TestHttpServer m_server;
    std::string m_host;
    std::string m_lastTarget;
    std::atomic<bool> m_release{false};  // lets "/hang" answer
    CWebClient m_client;
};

TEST_F(Get, AnyStatusWithABodyIsAReply) {
    std::string reply = "unchanged";
    EXPECT_EQ(m_client.Get(m_host, "/missing", &reply), 1);
    EXPECT_EQ(reply.substr(0, 1), "<");
    // A redirect is not followed: its own body is the reply.
    EXPECT_EQ(m_client.Get(m_host, "/moved", &reply), 1);
    EXPECT_EQ(reply, "-moved");
}

TEST_F(Get, BodyIsCutAt4095BytesAndAtNul) {
    std::string reply;
    ASSERT_EQ(m_client.Get(m_host, "/big", &reply), 1);
    ASSERT_EQ(reply.size(), 4095u);
    EXPECT_EQ(reply.front(), '+');
    EXPECT_EQ(reply.back(), 'L');
    ASSERT_EQ(m_client.Get(m_host, "/nul", &reply), 1);
    EXPECT_EQ(reply, "+ab");
}

TEST_F(Get, TargetGoesOutAsBuiltBackslashIncluded) {
    std::string reply;
    ASSERT_EQ(m_client.Get(m_host, "/dir\\logmein.asp?User=a%20b&Pass=x", &reply), 1);
    EXPECT_EQ(reply, "+echo");
    EXPECT_EQ(m_lastTarget, "/dir\\logmein.asp?User=a%20b&Pass=x");
    // An object without a leading slash is asked for at the root.
    ASSERT_EQ(m_client.Get(m_host, "ZorvoServer.txt", &reply), 1);
    EXPECT_EQ(m_lastTarget, "/ZorvoServer.txt");
    ASSERT_EQ(m_client.Get(m_host, "/a/../b", &reply), 1);
    EXPECT_EQ(m_lastTarget, "/a/../b");
}

TEST_F(Get, FailuresLeaveTheReplyUntouched) {
    std::string reply = "unchanged";
    EXPECT_EQ(m_client.Get("127.0.0.1:" + std::to_string(testsupport::FreeTcpPort()), "/x", &reply),
              0);
    EXPECT_EQ(m_client.Get("", "/x", &reply), 0);
    EXPECT_EQ(m_client.Get("127.0.0.1@evil", "/x", &reply), 0);
    EXPECT_EQ(m_client.Get("127.0.0.1/x", "/x", &reply), 0);
    EXPECT_EQ(m_client.Get(m_host, "/has space", &reply), 0);
    EXPECT_EQ(reply, "unchanged");
}

TEST_F(Get, TotalTimeOutBoundsAStalledServer) {
    m_client.SetTimeouts(500, 500);
    std::string reply = "unchanged";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m_client.Get(m_host, "/slow", &reply), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1400));
    EXPECT_EQ(reply, "unchanged");
}

TEST_F(Get, ACancelEndsARequestUnderWayAndEveryLaterOneWithoutConnecting) {
    auto cancel = std::make_shared<std::atomic<bool>>(false);
    m_client.SetCancel(cancel);
    m_client.SetTimeouts(2000, 20000);
    std::string reply;
    ASSERT_EQ(m_client.Get(m_host, "/before", &reply), 1);  // an unset flag changes nothing
    EXPECT_EQ(m_lastTarget, "/before");

    std::thread canceller([cancel] {
        std::this_thread::sleep_for(std::chrono::milliseconds(300));
        cancel->store(true);
    });
    reply = "unchanged";
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m_client.Get(m_host, "/hang", &reply), 0);
    const auto took = std::chrono::steady_clock::now() - start;
    canceller.join();
    EXPECT_LT(took, std::chrono::seconds(5)) << "the time-out was 20 s";
    EXPECT_EQ(reply, "unchanged");
    EXPECT_EQ(m_client.Get(m_host, "/after", &reply), 0);
    EXPECT_EQ(m_lastTarget, "/before");
}

TEST(ServiceHost, EnvironmentBeatsSettingBeatsDefault) {
    unsetenv("ZORVO_SERVICE_HOST");
    SetServiceHostSetting("");
    std::string compiled = ServiceHost();
    EXPECT_FALSE(compiled.empty());
    SetServiceHostSetting("dir.example:8081");
    EXPECT_EQ(ServiceHost(), "dir.example:8081");
    EXPECT_EQ(ServiceDomainName(), "dir.example");
    setenv("ZORVO_SERVICE_HOST", "127.0.0.5:9", 1);
    EXPECT_EQ(ServiceHost(), "127.0.0.5:9");
    unsetenv("ZORVO_SERVICE_HOST");
    SetServiceHostSetting("");
    EXPECT_EQ(ServiceHost(), compiled);
}

TEST(ServiceHost, SplitHostPortChecksThePort) {
    std::string host;
    int port = 0;
    ASSERT_TRUE(SplitHostPort("example", 80, &host, &port));
    EXPECT_EQ(host, "example");
    EXPECT_EQ(port, 80);
    ASSERT_TRUE(SplitHostPort("127.0.0.1:65535", 80, &host, &port));
    EXPECT_EQ(port, 65535);
    EXPECT_FALSE(SplitHostPort("127.0.0.1:65536", 80, &host, &port));
    EXPECT_FALSE(SplitHostPort("127.0.0.1:0", 80, &host, &port));
    EXPECT_FALSE(SplitHostPort("127.0.0.1:", 80, &host, &port));
    EXPECT_FALSE(SplitHostPort("127.0.0.1:8x", 80, &host, &port));
    EXPECT_FALSE(SplitHostPort(":80", 80, &host, &port));
    EXPECT_FALSE(SplitHostPort("", 80, &host, &port));
}

}  // namespace
