// zorvo-call against a directory over https whose certificate signs itself: without --trust-key
// it stops with one line naming the key's fingerprint and sends nothing; with the key it gets as
// far as the login; with another key it is refused before anything is sent.

#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "directory/client/TlsTrust.h"
#include "directory/client/tests/TlsTestServer.h"
#include "testsupport/FreePort.h"

namespace {

struct Result {
    int status = -1;
    std::string err;
};

std::string ReadFile(const std::string& path) {
    std::ifstream in(path);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

class ZorvoCallTrust : public ::testing::Test {
  protected:
    void SetUp() override {
        char dir[] = "/tmp/zorvo-call-trust-XXXXXX";
        ASSERT_NE(mkdtemp(dir), nullptr);
        m_dir = dir;
        m_server.server().Get(
            "/ZorvoServer.txt", [this](const httplib::Request&, httplib::Response& res) {
                res.set_content("[ZORVO]\r\nCURRENT IP=" + m_endpoint + "\r\nPATH=/dir\r\n",
                                "text/plain");
            });
        m_server.server().Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_targets.push_back(req.target);
            res.set_content("-no such user", "text/plain");
        });
        m_host = m_server.Start();
        m_endpoint = "127.0.0.1:" + std::to_string(m_server.port());
    }

    // Runs zorvo-call listen against the directory, with extra options; stdout is dropped.
    void TearDown() override { std::filesystem::remove_all(m_dir); }

    Result Run(const std::string& extra) {
        const std::string& dir = m_dir;
        const std::string err = dir + "/stderr";
        const std::string command =
            "HOME=" + dir + " XDG_DATA_HOME=" + dir + " XDG_RUNTIME_DIR=" + dir + " " +
            ZORVO_CALL_BIN + " listen --service " + m_host +
            " --user alice --pass secret --mic none --speaker none --no-port-mapping --port " +
            std::to_string(testsupport::FreeUdpPort()) + " " + extra + " >/dev/null 2>" + err;
        const int raw = std::system(command.c_str());
        return Result{WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, ReadFile(err)};
    }

    std::vector<std::string> Targets() {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_targets;
    }

    std::string m_dir;  // the child's home, data and runtime folder
    tlstest::Certificate m_certificate = tlstest::Certificate::SelfSigned();
    tlstest::TlsTestServer m_server{m_certificate};
    std::string m_host;
    std::string m_endpoint;
    std::mutex m_lock;
    std::vector<std::string> m_targets;
};

TEST_F(ZorvoCallTrust, AnUnknownKeyStopsWithOneLineNamingItsFingerprintAndNothingIsSent) {
    const ServerKey key = *KeyOfPemCertificate(m_certificate.Pem());
    const Result r = Run("");
    EXPECT_EQ(r.status, 2);
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_NE(r.err.find("zorvo-call: "), std::string::npos) << r.err;
    EXPECT_NE(r.err.find(key.fingerprint), std::string::npos) << r.err;
    EXPECT_NE(r.err.find("--trust-key " + key.pin), std::string::npos) << r.err;
    EXPECT_EQ(m_server.Requests(), 0);
}

TEST_F(ZorvoCallTrust, WithTheDirectorysKeyItLogsInOverTls) {
    const ServerKey key = *KeyOfPemCertificate(m_certificate.Pem());
    const Result r = Run("--trust-key " + key.pin);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("login refused: -no such user"), std::string::npos) << r.err;
    const std::vector<std::string> targets = Targets();
    ASSERT_EQ(targets.size(), 1u);
    EXPECT_EQ(targets[0].rfind("/dir\\logmein.asp?User=alice&Pass=secret", 0), 0u) << targets[0];
}

TEST_F(ZorvoCallTrust, AnotherKeyThanTheTrustedOneIsRefusedWithNothingSent) {
    const ServerKey other = *KeyOfPemCertificate(tlstest::Certificate::SelfSigned().Pem());
    const Result r = Run("--trust-key " + other.pin);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find("another TLS key"), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(m_server.Requests(), 0);
}

}  // namespace
