// nginx terminating TLS in front of two zorvo-directory processes on one PostgreSQL database:
// the client logs in over HTTPS, both processes answer in turn, the address the directory judges
// a client by is the client's own (passed on in X-Forwarded-For), and no log line of nginx or of
// the directory holds a password.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <array>

#include "directory/client/Requests.h"
#include "directory/server/TlsCertificate.h"
#include "directory/server/tests/TestDatabase.h"
#include "directory/server/tests/TlsTestSupport.h"
#include "testsupport/DirectoryProcess.h"
#include "testsupport/FreePort.h"

namespace {

using tlstest::Fetch;
using tlstest::FetchOptions;
using tlstest::ReadFile;
using tlstest::TempDir;

constexpr const char* kNginx = "/usr/sbin/nginx";
constexpr const char* kSecret = "Fr0ntSecret7";
constexpr const char* kGuess = "Wr0ngGuess4";

// The front's configuration: its own folder for everything it writes, TLS on a loopback port,
// the two processes in turn, the client's address passed on, and an access log without queries.
std::string NginxConfig(const TempDir& dir, int port, const std::array<int, 2>& upstreams) {
    const std::string d = dir.path();
    std::string servers;
    for (int p : upstreams) {
        servers += "        server 127.0.0.1:" + std::to_string(p) + ";\n";
    }
    return "daemon off;\nworker_processes 1;\npid " + d + "/nginx.pid;\nerror_log " + d +
           "/error.log;\nevents { worker_connections 64; }\nhttp {\n"
           "    log_format zorvo '$remote_addr \"$request_method $uri\" $status $upstream_addr';\n"
           "    access_log " +
           d +
           "/access.log zorvo;\n"
           "    client_body_temp_path " +
           d + "/body;\n    proxy_temp_path " + d +
           "/proxy;\n"
           "    fastcgi_temp_path " +
           d + "/fastcgi;\n    uwsgi_temp_path " + d +
           "/uwsgi;\n"
           "    scgi_temp_path " +
           d +
           "/scgi;\n"
           "    upstream zorvo_directory {\n" +
           servers +
           "        keepalive 8;\n    }\n"
           "    server {\n        listen 127.0.0.1:" +
           std::to_string(port) +
           " ssl;\n"
           "        ssl_certificate " +
           d +
           "/front.crt;\n"
           "        ssl_certificate_key " +
           d +
           "/front.key;\n"
           "        location / {\n            proxy_pass http://zorvo_directory;\n"
           "            proxy_http_version 1.1;\n"
           "            proxy_set_header Connection \"\";\n"
           "            proxy_set_header Host $host;\n"
           "            proxy_set_header X-Forwarded-For $remote_addr;\n        }\n    }\n}\n";
}

// Whether a line of the log begins with head and holds part.
bool Logged(const std::string& log, const std::string& head, const std::string& part) {
    std::istringstream lines(log);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(head, 0) == 0 && line.find(part) != std::string::npos) {
            return true;
        }
    }
    return false;
}

class NginxFront : public ::testing::Test {
  protected:
    void SetUp() override {
        if (access(kNginx, X_OK) != 0) {
            GTEST_SKIP() << "nginx is not installed (" << kNginx << "): apt-get install nginx";
        }
        std::string error;
        ASSERT_TRUE(m_database.Create(Backend::Postgres, "nginxfront", &error)) << error;
        std::array<int, 2> ports{};
        for (size_t i = 0; i < 2; ++i) {
            ASSERT_TRUE(m_services[i].Start(
                "127.0.0.1:0",
                {"--db", m_database.db(), "--log", Log(i), "--hash-cost", "min", "--rendezvous",
                 "off", "--threads", "8", "--trusted-proxy", "127.0.0.1", "--max-failures", "3"}));
            ports[i] = m_services[i].Port();
        }
        TlsKeyPair pair;
        ASSERT_TRUE(MakeSelfSigned("127.0.0.1", &pair, &error)) << error;
        TlsFingerprints prints;
        ASSERT_TRUE(CertificateFingerprints(pair.certificatePem, &prints, &error)) << error;
        m_pin = prints.publicKeyPin;
        tlstest::WriteFile(m_dir.File("front.crt"), pair.certificatePem);
        tlstest::WriteFile(m_dir.File("front.key"), pair.keyPem);
        m_port = testsupport::FreeTcpPort();
        tlstest::WriteFile(m_dir.File("nginx.conf"), NginxConfig(m_dir, m_port, ports));
        std::string out;
        if (testsupport::RunCommand(Nginx("-t") + " 2>&1", &out) != 0) {
            GTEST_SKIP() << "nginx cannot run here: " << out;
        }
        StartNginx();
    }
    void TearDown() override {
        if (m_nginx > 0) {
            kill(m_nginx, SIGTERM);
            waitpid(m_nginx, nullptr, 0);
        }
        for (testsupport::DirectoryProcess& s : m_services) {
            s.Stop();
        }
    }

    std::string Log(size_t i) const { return m_dir.File("requests-" + std::to_string(i) + ".log"); }
    std::string Nginx(const std::string& more) const {
        return std::string(kNginx) + " -p '" + m_dir.path() + "' -c '" + m_dir.File("nginx.conf") +
               "' -e '" + m_dir.File("error.log") + "' " + more;
    }
    void StartNginx() {
        m_nginx = fork();
        if (m_nginx == 0) {
            execl("/bin/sh", "sh", "-c", ("exec " + Nginx("") + " >/dev/null 2>&1").c_str(),
                  static_cast<char*>(nullptr));
            _exit(127);
        }
        for (int i = 0; i < 250; ++i) {
            int fd = tlstest::ConnectLoopback(m_port);
            if (fd >= 0) {
                close(fd);
                return;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        FAIL() << "nginx did not listen:\n" << ReadFile(m_dir.File("error.log"));
    }
    // A client's request through the front, from one of the loopback addresses.
    std::string Ask(const std::string& target, const std::string& from) {
        FetchOptions o;
        o.pin = m_pin;
        o.fromAddress = from;
        tlstest::Answer a = Fetch("https://127.0.0.1:" + std::to_string(m_port) + target, o);
        EXPECT_EQ(a.code, CURLE_OK) << target;
        return a.body;
    }
    std::string Login(const std::string& password, const std::string& from) {
        return Ask(LoginTarget(m_info, "alice", password, "LAN"), from);
    }

    TempDir m_dir;
    TestDatabase m_database;
    std::array<testsupport::DirectoryProcess, 2> m_services{
        testsupport::DirectoryProcess(ZORVO_DIRECTORY_BIN),
        testsupport::DirectoryProcess(ZORVO_DIRECTORY_BIN)};
    pid_t m_nginx = 0;
    int m_port = 0;
    std::string m_pin;
    ServerInfo m_info{"127.0.0.1", "/zorvo"};
};

TEST_F(NginxFront, ClientsLogInThroughTheFrontAndAreJudgedByTheirOwnAddress) {
    ASSERT_NE(
        Ask(std::string("/register.asp?User=alice&Pass=") + kSecret, "127.0.0.3").find("is ready"),
        std::string::npos);
    for (int i = 0; i < 4; ++i) {
        EXPECT_EQ(Login(kSecret, "127.0.0.3"), "+OK ") << i;
    }
    // Wrong guesses from one client close the door to that client only, on both processes; had
    // the directory judged by the front's address, the other client would be refused too.
    for (int i = 0; i < 3; ++i) {
        EXPECT_EQ(Login(kGuess, "127.0.0.2"), "-ERR invalid user name or password") << i;
    }
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Login(kSecret, "127.0.0.2"), "-ERR too many failed logins; try again later");
        EXPECT_EQ(Login(kSecret, "127.0.0.3"), "+OK ");
    }

    kill(m_nginx, SIGTERM);
    waitpid(m_nginx, nullptr, 0);
    m_nginx = 0;
    for (testsupport::DirectoryProcess& s : m_services) {
        EXPECT_EQ(s.Stop(), 0);
    }
    const std::string access = ReadFile(m_dir.File("access.log"));
    EXPECT_TRUE(Logged(access, "127.0.0.3 \"GET /zorvo", "logmein.asp\" 200 ")) << access;
    EXPECT_TRUE(Logged(access, "127.0.0.2 \"GET /zorvo", "logmein.asp\" 429 ")) << access;
    for (size_t i = 0; i < 2; ++i) {
        const std::string upstream = "127.0.0.1:" + std::to_string(m_services[i].Port());
        EXPECT_NE(access.find(upstream), std::string::npos) << upstream << " never answered";
        const std::string log = ReadFile(Log(i));
        EXPECT_NE(log.find("logmein.asp?User=alice&Pass=***"), std::string::npos) << log;
        EXPECT_EQ(log.find(kSecret), std::string::npos) << log;
        EXPECT_EQ(log.find(kGuess), std::string::npos) << log;
    }
    EXPECT_EQ(access.find(kSecret), std::string::npos) << access;
    EXPECT_EQ(access.find(kGuess), std::string::npos) << access;
    EXPECT_EQ(access.find("Pass"), std::string::npos) << access;
}

}  // namespace
