#include "directory/client/TlsTrust.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "directory/client/ServiceHost.h"
#include "directory/client/WebClient.h"
#include "directory/client/tests/TlsTestServer.h"
#include "testsupport/TestHttpServer.h"

namespace {

using tlstest::Certificate;
using tlstest::TlsTestServer;

std::string TempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/zorvo-tls-" + std::to_string(getpid()) +
           "-" + name;
}

// What a shell command prints, without the final line break.
std::string Shell(const std::string& command) {
    std::string out;
    if (FILE* p = popen(command.c_str(), "r")) {
        char buf[256];
        size_t n = 0;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) {
            out.append(buf, n);
        }
        pclose(p);
    }
    while (!out.empty() && out.back() == '\n') {
        out.pop_back();
    }
    return out;
}

ServerKey KeyOf(const Certificate& certificate) {
    std::optional<ServerKey> key = KeyOfPemCertificate(certificate.Pem());
    if (!key) {
        ADD_FAILURE() << "the test certificate does not read";
        return {};
    }
    return *key;
}

TEST(ServiceAddress, TheSchemeChoosesTlsAndABareHostStaysPlainHttp) {
    auto https = ParseServiceHost("https://dir.example:8443");
    ASSERT_TRUE(https);
    EXPECT_TRUE(https->tls);
    EXPECT_EQ(https->hostPort, "dir.example:8443");
    EXPECT_EQ(https->Text(), "https://dir.example:8443");
    auto upper = ParseServiceHost("HTTPS://Dir.Example");
    ASSERT_TRUE(upper);
    EXPECT_TRUE(upper->tls);
    EXPECT_EQ(upper->Endpoint(), "dir.example:443");
    auto plain = ParseServiceHost("http://127.0.0.1:8080");
    ASSERT_TRUE(plain);
    EXPECT_FALSE(plain->tls);
    EXPECT_EQ(plain->Text(), "127.0.0.1:8080");
    auto bare = ParseServiceHost("127.0.0.1");
    ASSERT_TRUE(bare);
    EXPECT_FALSE(bare->tls);
    EXPECT_EQ(bare->Endpoint(), "127.0.0.1:80");
    for (const char* bad : {"https://", "https://a/b", "https://u@host", "ftp://host",
                            "https://host:0", "https:/host", "https://host?x", "http://h#f"}) {
        EXPECT_FALSE(ParseServiceHost(bad)) << bad;
    }
    // The plain-host check itself still takes no scheme: nothing there can change a URL.
    EXPECT_FALSE(IsPlainHost("https://host"));
    EXPECT_TRUE(IsPlainHost("host:81"));
}

TEST(ServiceAddress, HostAndPortOfAnHttpsHostDefaultTo443) {
    std::string host;
    int port = 0;
    ASSERT_TRUE(SplitHostPort("https://dir.example", 80, &host, &port));
    EXPECT_EQ(host, "dir.example");
    EXPECT_EQ(port, 443);
    ASSERT_TRUE(SplitHostPort("http://dir.example", 80, &host, &port));
    EXPECT_EQ(port, 80);
    ASSERT_TRUE(SplitHostPort("https://127.0.0.1:9443", 80, &host, &port));
    EXPECT_EQ(host, "127.0.0.1");
    EXPECT_EQ(port, 9443);

    unsetenv("ZORVO_SERVICE_HOST");
    SetServiceHostSetting("https://dir.example:8443");
    EXPECT_EQ(ServiceDomainName(), "dir.example");
    SetServiceHostSetting("");
    EXPECT_TRUE(ParseServiceHost(ServiceHost())) << "the compiled-in host must read";
}

TEST(ServiceAddress, ADirectoryFoundOverHttpsIsNeverAskedOverPlainHttp) {
    const ServiceAddress overTls{true, "dir.example"};
    const ServiceAddress plain{false, "dir.example"};
    EXPECT_EQ(DiscoveredHost(overTls, "10.0.0.1:8443"), "https://10.0.0.1:8443");
    EXPECT_EQ(DiscoveredHost(overTls, "https://10.0.0.1"), "https://10.0.0.1");
    EXPECT_FALSE(DiscoveredHost(overTls, "http://10.0.0.1:8080"));
    EXPECT_FALSE(DiscoveredHost(overTls, "HTTP://10.0.0.1"));
    EXPECT_EQ(DiscoveredHost(plain, "10.0.0.1:8080"), "10.0.0.1:8080");
    EXPECT_EQ(DiscoveredHost(plain, "https://10.0.0.1"), "https://10.0.0.1");
    EXPECT_EQ(DiscoveredHost(plain, "http://10.0.0.1"), "http://10.0.0.1");
}

TEST(KeyTrust, TheKeptPinDecidesKnownUnknownAndChanged) {
    const std::string a = "sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA=";
    const std::string b = "sha256//BBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBBB=";
    EXPECT_EQ(JudgeKey("", a), KeyVerdict::Unknown);
    EXPECT_EQ(JudgeKey(a, a), KeyVerdict::Trusted);
    EXPECT_EQ(JudgeKey(a, b), KeyVerdict::Changed);
    EXPECT_TRUE(IsKeyPin(a));
    EXPECT_FALSE(IsKeyPin("sha256//AAAA="));
    EXPECT_FALSE(IsKeyPin("sha1//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA="));
    EXPECT_FALSE(IsKeyPin("sha256//AAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAAA;AAA="));
    EXPECT_TRUE(IsUnvouchedCertificate(18));   // self-signed
    EXPECT_TRUE(IsUnvouchedCertificate(20));   // issuer not known here
    EXPECT_FALSE(IsUnvouchedCertificate(10));  // expired
    EXPECT_FALSE(IsUnvouchedCertificate(0));
}

TEST(KeyTrust, FingerprintAndPinAreWhatTheOpensslToolComputes) {
    const Certificate certificate = Certificate::SelfSigned();
    const std::string file = TempPath("cert.pem");
    certificate.WritePem(file);
    const std::string fingerprint =
        Shell("openssl x509 -in " + file + " -noout -fingerprint -sha256 | sed 's/^.*=//'");
    const std::string pin =
        Shell("openssl x509 -in " + file +
              " -pubkey -noout | openssl pkey -pubin -outform der | openssl dgst -sha256 -binary |"
              " openssl base64 -A");
    unlink(file.c_str());
    ASSERT_EQ(fingerprint.size(), 95u) << "openssl gave: " << fingerprint;

    const ServerKey key = KeyOf(certificate);
    EXPECT_EQ(key.fingerprint, fingerprint);
    EXPECT_EQ(key.pin, "sha256//" + pin);
    EXPECT_TRUE(IsKeyPin(key.pin));
    EXPECT_FALSE(KeyOfPemCertificate("-----BEGIN CERTIFICATE-----\nAAAA\n"));
    EXPECT_FALSE(KeyOfPemCertificate(""));
}

// A directory over https with a certificate of its own making, and a client whose kept pins the
// test controls. The server counts every request that reaches it.
class SelfSignedDirectory : public ::testing::Test {
  protected:
    void SetUp() override {
        m_server.server().Get("/ZorvoServer.txt",
                              [this](const httplib::Request&, httplib::Response& res) {
                                  res.set_content(m_discovery, "text/plain");
                              });
        m_server.server().Get("/moved", [this](const httplib::Request&, httplib::Response& res) {
            res.status = 302;
            res.set_header("Location", m_redirect);
            res.set_content("-moved", "text/plain");
        });
        m_server.server().Get(".*", [this](const httplib::Request& req, httplib::Response& res) {
            m_lastTarget = req.target;
            res.set_content("+echo", "text/plain");
        });
        m_host = m_server.Start();
        m_endpoint = "127.0.0.1:" + std::to_string(m_server.port());
        m_client.SetTimeouts(2000, 5000);
        m_client.SetPinStore(m_pins);
    }

    Certificate m_certificate = Certificate::SelfSigned();
    TlsTestServer m_server{m_certificate};
    std::string m_host;
    std::string m_endpoint;
    std::string m_lastTarget;
    std::string m_discovery;  // the text of "ZorvoServer.txt"
    std::string m_redirect;   // where "/moved" sends the client
    std::shared_ptr<MemoryPinStore> m_pins = std::make_shared<MemoryPinStore>();
    CWebClient m_client;
};

TEST_F(SelfSignedDirectory, TheFirstRequestReportsTheUnknownKeyAndSendsNothing) {
    std::string reply = "unchanged";
    EXPECT_EQ(m_client.Get(m_host, "/dir\\logmein.asp?User=alice&Pass=secret", &reply), 0);
    EXPECT_EQ(reply, "unchanged");
    EXPECT_EQ(m_server.Requests(), 0) << "the password must not have left";

    const std::optional<KeyProblem> problem = m_client.LastKeyProblem();
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->verdict, KeyVerdict::Unknown);
    EXPECT_EQ(problem->host, m_endpoint);
    EXPECT_EQ(problem->key.fingerprint, KeyOf(m_certificate).fingerprint);
    EXPECT_EQ(problem->key.pin, KeyOf(m_certificate).pin);
    EXPECT_EQ(problem->Message(), "unknown key: " + KeyOf(m_certificate).fingerprint);
}

TEST_F(SelfSignedDirectory, OnceItsKeyIsPinnedRequestsGetAnswers) {
    m_pins->Trust(m_endpoint, KeyOf(m_certificate).pin);
    std::string reply;
    ASSERT_EQ(m_client.Get(m_host, "/dir\\iamup.asp?User=alice&Pass=secret", &reply), 1);
    EXPECT_EQ(reply, "+echo");
    EXPECT_EQ(m_lastTarget, "/dir\\iamup.asp?User=alice&Pass=secret");
    EXPECT_FALSE(m_client.LastKeyProblem());
    // The pin belongs to the host and port: the same key elsewhere is not known there.
    EXPECT_EQ(m_client.Get("https://localhost:" + std::to_string(m_server.port()), "/x", &reply),
              0);
    ASSERT_TRUE(m_client.LastKeyProblem());
    EXPECT_EQ(m_client.LastKeyProblem()->verdict, KeyVerdict::Unknown);
    EXPECT_EQ(m_server.Requests(), 1);
}

TEST_F(SelfSignedDirectory, AnotherKeyOnAPinnedHostIsRefusedWithNothingSent) {
    const Certificate other = Certificate::SelfSigned();
    m_pins->Trust(m_endpoint, KeyOf(other).pin);
    std::string reply = "unchanged";
    EXPECT_EQ(m_client.Get(m_host, "/dir\\logmein.asp?User=alice&Pass=secret", &reply), 0);
    EXPECT_EQ(reply, "unchanged");
    EXPECT_EQ(m_server.Requests(), 0);
    const std::optional<KeyProblem> problem = m_client.LastKeyProblem();
    ASSERT_TRUE(problem);
    EXPECT_EQ(problem->verdict, KeyVerdict::Changed);
    EXPECT_EQ(problem->key.fingerprint, KeyOf(m_certificate).fingerprint);
    EXPECT_EQ(problem->Message(), "changed key: " + KeyOf(m_certificate).fingerprint);
    // The pin stays what the user trusted.
    EXPECT_EQ(m_pins->PinFor(m_endpoint), KeyOf(other).pin);
}

TEST_F(SelfSignedDirectory, ARedirectToPlainHttpIsNeverFollowed) {
    testsupport::TestHttpServer plain;
    int plainRequests = 0;
    plain.server().Get(".*", [&](const httplib::Request&, httplib::Response& res) {
        ++plainRequests;
        res.set_content("+plain", "text/plain");
    });
    const std::string plainHost = plain.Start();
    m_redirect = "http://" + plainHost + "/dir\\logmein.asp?Pass=secret";
    m_pins->Trust(m_endpoint, KeyOf(m_certificate).pin);
    std::string reply;
    EXPECT_EQ(m_client.Get(m_host, "/moved", &reply), 1);
    EXPECT_EQ(reply, "-moved");
    EXPECT_EQ(plainRequests, 0);
    // An explicit "http://" host is asked over plain http, as it was given.
    EXPECT_EQ(m_client.Get("http://" + plainHost, "/x", &reply), 1);
    EXPECT_EQ(plainRequests, 1);
}

TEST_F(SelfSignedDirectory, DiscoveryOverHttpsKeepsToHttps) {
    const std::string file = TempPath("discovery.ini");
    m_client.SetDiscoveryFile(file);
    m_client.SetServiceHost(m_host);
    m_pins->Trust(m_endpoint, KeyOf(m_certificate).pin);
    ServerInfo info{"old-host", "/old"};

    m_discovery = "[ZORVO]\nCURRENT IP=" + m_endpoint + "\nPATH=/dir\n";
    ASSERT_EQ(m_client.DiscoverServer(&info), 1);
    EXPECT_EQ(info.host, m_host);
    std::string reply;
    ASSERT_EQ(m_client.Get(info.host, "/dir\\iamup.asp", &reply), 1);
    EXPECT_EQ(m_lastTarget, "/dir\\iamup.asp");

    m_discovery = "[ZORVO]\nCURRENT IP=http://" + m_endpoint + "\nPATH=/plain\n";
    EXPECT_EQ(m_client.DiscoverServer(&info), 0);
    EXPECT_EQ(info.host, m_host);
    EXPECT_EQ(info.path, "/dir");
    unlink(file.c_str());
}

TEST(AuthorityDirectory, ACertificateFromAKnownAuthorityIsUsedWithoutAPin) {
    const Certificate authority = Certificate::Authority();
    const Certificate issued = authority.Issue();
    TlsTestServer server(issued);
    server.server().Get("/x", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("+vouched", "text/plain");
    });
    const std::string host = server.Start();
    const std::string authorityFile = TempPath("authority.pem");
    authority.WritePem(authorityFile);

    CWebClient client;
    client.SetTimeouts(2000, 5000);
    std::string reply;
    // Without the test authority the system knows no issuer for it: an unknown key.
    EXPECT_EQ(client.Get(host, "/x", &reply), 0);
    ASSERT_TRUE(client.LastKeyProblem());
    EXPECT_EQ(client.LastKeyProblem()->verdict, KeyVerdict::Unknown);
    EXPECT_EQ(server.Requests(), 0);

    client.SetAuthorityFile(authorityFile);
    ASSERT_EQ(client.Get(host, "/x", &reply), 1);
    EXPECT_EQ(reply, "+vouched");
    EXPECT_FALSE(client.LastKeyProblem());
    // The name is checked as well: the certificate is for 127.0.0.1, not for localhost.
    EXPECT_EQ(client.Get("https://localhost:" + std::to_string(server.port()), "/x", &reply), 0);
    EXPECT_FALSE(client.LastKeyProblem()) << "a wrong name is no key to trust";
    EXPECT_EQ(server.Requests(), 1);
    unlink(authorityFile.c_str());
}

}  // namespace
