// The zorvo-directory program over HTTPS: its self-signed certificate made once in a state
// folder and pinned by clients, an operator's own certificate, and no password in any line it
// writes, whatever page is asked for over either scheme, well-formed or not.

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "directory/server/TlsCertificate.h"
#include "directory/server/tests/TlsTestSupport.h"

namespace {

using tlstest::Answer;
using tlstest::Fetch;
using tlstest::FetchOptions;
using tlstest::RawExchange;
using tlstest::ReadFile;
using tlstest::ServiceRun;
using tlstest::TempDir;

// Options every start shares: the cheapest hashes, a rendezvous of its own.
std::vector<std::string> Options(const TempDir& dir, std::vector<std::string> more) {
    std::vector<std::string> all = {"--db",         dir.File("directory.db"),
                                    "--hash-cost",  "min",
                                    "--rendezvous", "127.0.0.1:0",
                                    "--threads",    "8"};
    all.insert(all.end(), more.begin(), more.end());
    return all;
}

FetchOptions Pinned(const std::string& pin) {
    FetchOptions o;
    o.pin = pin;
    return o;
}

std::string Https(int port, const std::string& target) {
    return "https://127.0.0.1:" + std::to_string(port) + target;
}

TEST(TlsService, SelfSignedCertificateIsMadeOnceAndAnswersClientsThatPinItsKey) {
    TempDir dir;
    const std::string state = dir.File("state");
    ServiceRun service(ZORVO_DIRECTORY_BIN, dir.File("stderr"));
    const auto args = Options(dir, {"--listen", "off", "--tls-listen", "127.0.0.1:0", "--state-dir",
                                    state, "--log", "none"});
    ASSERT_TRUE(service.Start(args)) << service.Err();
    EXPECT_EQ(service.httpPort(), 0);
    const std::string certificate = state + "/directory-tls.crt";
    EXPECT_EQ(service.LineAfter("made a self-signed TLS certificate "), certificate);
    const std::string fingerprint = service.LineAfter("TLS certificate SHA-256 fingerprint ");
    const std::string pin = service.LineAfter("TLS public key pin ");
    TlsFingerprints expected;
    std::string error;
    ASSERT_TRUE(CertificateFingerprints(ReadFile(certificate), &expected, &error)) << error;
    EXPECT_EQ(fingerprint, expected.certificate);
    EXPECT_EQ(pin, expected.publicKeyPin);
    struct stat st {};
    ASSERT_EQ(stat((state + "/directory-tls.key").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A client that pins the printed key is answered; one that pins another key is refused by
    // its TLS layer before any request is sent.
    const int port = service.httpsPort();
    Answer a = Fetch(Https(port, "/register.asp?User=alice&Pass=pw"), Pinned(pin));
    EXPECT_EQ(a.code, CURLE_OK);
    EXPECT_NE(a.body.find("is ready"), std::string::npos) << a.body;
    a = Fetch(Https(port, "/zorvo/logmein.asp?User=alice&Pass=pw&IPAddr=LAN"), Pinned(pin));
    EXPECT_EQ(a.body, "+OK ");
    TlsKeyPair other;
    TlsFingerprints otherPrints;
    ASSERT_TRUE(MakeSelfSigned("127.0.0.1", &other, &error));
    ASSERT_TRUE(CertificateFingerprints(other.certificatePem, &otherPrints, &error));
    a = Fetch(Https(port, "/zorvo/logmein.asp?User=alice&Pass=pw&IPAddr=LAN"),
              Pinned(otherPrints.publicKeyPin));
    EXPECT_EQ(a.code, CURLE_SSL_PINNEDPUBKEYNOTMATCH);
    EXPECT_EQ(a.body, "");
    // Plain HTTP to the HTTPS port gets no page.
    EXPECT_EQ(Fetch("http://127.0.0.1:" + std::to_string(port) + "/ZorvoServer.txt").status, 0);

    // The next start serves the same certificate, and says so without making one.
    ASSERT_EQ(service.Stop(), 0);
    ASSERT_TRUE(service.Start(args)) << service.Err();
    EXPECT_EQ(service.LineAfter("made a self-signed"), "");
    EXPECT_EQ(service.LineAfter("TLS certificate SHA-256 fingerprint "), fingerprint);
    EXPECT_EQ(service.LineAfter("TLS public key pin "), pin);
    a = Fetch(Https(service.httpsPort(), "/zorvo/logmein.asp?User=alice&Pass=pw&IPAddr=LAN"),
              Pinned(pin));
    EXPECT_EQ(a.body, "+OK ");
    EXPECT_EQ(service.Stop(), 0);
}

TEST(TlsService, OwnCertificateIsServedBesideThePlainListener) {
    TempDir dir;
    TlsKeyPair pair;
    std::string error;
    ASSERT_TRUE(MakeSelfSigned("127.0.0.1", &pair, &error)) << error;
    tlstest::WriteFile(dir.File("own.crt"), pair.certificatePem);
    tlstest::WriteFile(dir.File("own.key"), pair.keyPem);
    ServiceRun service(ZORVO_DIRECTORY_BIN, dir.File("stderr"));
    ASSERT_TRUE(service.Start(
        Options(dir, {"--listen", "127.0.0.1:0", "--tls-listen", "127.0.0.1:0", "--tls-cert",
                      dir.File("own.crt"), "--tls-key", dir.File("own.key"), "--log", "none"})))
        << service.Err();

    // Checked the way a browser checks it: the certificate trusted, the address its name.
    FetchOptions trusting;
    trusting.caFile = dir.File("own.crt");
    Answer a = Fetch(Https(service.httpsPort(), "/register.asp?User=bob&Pass=pw"), trusting);
    EXPECT_EQ(a.code, CURLE_OK);
    EXPECT_NE(a.body.find("is ready"), std::string::npos) << a.body;
    // One directory behind both listeners.
    a = Fetch("http://127.0.0.1:" + std::to_string(service.httpPort()) +
              "/zorvo/logmein.asp?User=bob&Pass=pw&IPAddr=LAN");
    EXPECT_EQ(a.body, "+OK ");
    // Discovery names the listener of the scheme it was asked over: an old client, which asks
    // over http, is sent exactly where it always was.
    const std::string https = "https://127.0.0.1:" + std::to_string(service.httpsPort());
    const std::string http = "127.0.0.1:" + std::to_string(service.httpPort());
    a = Fetch(https + "/ZorvoServer.txt", trusting);
    EXPECT_NE(a.body.find("CURRENT IP=" + https + "\r\n"), std::string::npos) << a.body;
    a = Fetch("http://" + http + "/ZorvoServer.txt");
    EXPECT_NE(a.body.find("CURRENT IP=" + http + "\r\n"), std::string::npos) << a.body;
    EXPECT_EQ(service.LineAfter("made a self-signed"), "");
    EXPECT_EQ(access(dir.File("directory-tls.crt").c_str(), F_OK), -1);
    EXPECT_EQ(service.Stop(), 0);

    // A key that is not the certificate's ends the start with one line.
    TlsKeyPair stranger;
    ASSERT_TRUE(MakeSelfSigned("127.0.0.1", &stranger, &error)) << error;
    tlstest::WriteFile(dir.File("stranger.key"), stranger.keyPem);
    EXPECT_FALSE(
        service.Start(Options(dir, {"--listen", "off", "--tls-listen", "127.0.0.1:0", "--tls-cert",
                                    dir.File("own.crt"), "--tls-key", dir.File("stranger.key")})));
    EXPECT_NE(service.Err().find("zorvo-directory: cannot use the TLS key"), std::string::npos)
        << service.Err();
}

// Every page of the client and of the browser, accepted and refused, and requests that never
// reach a page, over one scheme; each carries one of the secrets.
class PasswordSweep {
  public:
    PasswordSweep(int port, bool tls, std::string pin)
        : m_port(port), m_tls(tls), m_pin(std::move(pin)) {}

    void Ask(const std::string& target) { Fetched(target, {}); }
    void Post(const std::string& target, const std::string& form) { Fetched(target, form); }
    int Raw(const std::string& request) {
        std::string reply = RawExchange(m_port, m_tls, request);
        return reply.rfind("HTTP/1.", 0) == 0 ? std::atoi(reply.c_str() + 9) : 0;
    }
    int answered() const { return m_answered; }

  private:
    void Fetched(const std::string& target, const std::string& form) {
        FetchOptions o;
        o.pin = m_pin;
        o.form = form;
        std::string url = (m_tls ? "https" : "http") + std::string("://127.0.0.1:") +
                          std::to_string(m_port) + target;
        m_answered += Fetch(url, o).status != 0 ? 1 : 0;
    }

    int m_port;
    bool m_tls;
    std::string m_pin;
    int m_answered = 0;
};

constexpr const char* kSecret = "Qv7Tz9Lw";  // alice's password
constexpr const char* kWrong = "Xk4Rm8Jp";   // a wrong one
constexpr const char* kBobSecret = "Hn3Wc6Yd";

void Sweep(PasswordSweep& s, const std::string& alice) {
    const std::string a = "User=" + alice + "&Pass=" + kSecret;
    const std::string wrong = "User=" + alice + "&Pass=" + kWrong;
    const std::string bob = std::string("User=bob&Pass=") + kBobSecret;
    s.Ask("/register.asp?" + a + "&Pass2=" + kSecret);
    s.Post("/register.asp", bob + "&Pass2=" + kBobSecret);
    s.Ask("/register.asp?" + wrong + "&Pass2=" + kSecret);  // the two passwords differ
    for (const std::string& creds : {a, wrong}) {
        s.Ask("/zorvo/logmein.asp?" + creds + "&IPAddr=LAN");
        s.Ask("/zorvo\\iamup.asp?" + creds + "&IPAddr=LAN&Caps=rv1&Local=10.0.0.2:5000");
        s.Ask("/zorvo/GetUserList.asp?" + creds + "&buddy=bob");
        s.Ask("/zorvo/SyncBList.asp?" + creds + "&buddy=bob");
        s.Ask("/zorvo/CallBuddy.asp?" + creds + "&Buddy=bob&Caps=rv1");
        s.Ask("/zorvo/logmeoff.asp?" + creds + "&IPAddr=LAN");
        s.Ask("/myaccount.asp?" + creds);
        s.Post("/myaccount.asp", creds);
    }
    s.Ask("/zorvo/iamtalking.asp?User=" + alice + "&RemUser=bob&Minutes=0&SessionID=0");
    // Refused by the pages: a missing key, a repeated password, a bad escape, an unknown page,
    // a password key spelt with an escape or after a stray '?'.
    s.Ask("/zorvo/logmein.asp?" + a);
    s.Ask("/zorvo/logmein.asp?" + a + "&Pass=" + kSecret + "&IPAddr=LAN");
    s.Ask("/zorvo/logmein.asp?" + a + "&IPAddr=%zz");
    s.Ask("/zorvo/nosuch.asp?" + a);
    s.Ask("/zorvo/logmein.asp?User=" + alice + "&P%61ss=" + kSecret + "&IPAddr=LAN");
    s.Ask("/zorvo/logmein.asp?User=" + alice + "&P%zzss=" + kSecret + "&IPAddr=LAN");
    s.Ask("/zorvo/logmein.asp??Pass=" + std::string(kSecret));
    s.Ask("/zorvo/logmein.asp%3F" + a + "&IPAddr=LAN");
}

// Requests the HTTP layer refuses before any page sees them; each status is what it answered.
std::vector<int> SweepRaw(PasswordSweep& s, const std::string& alice) {
    const std::string target = "/zorvo/logmein.asp?User=" + alice + "&Pass=" + kSecret;
    const std::string end = " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n";
    std::string form = std::string("Pass=") + kSecret + "&";
    form.resize(100000, 'u');
    return {
        s.Raw("GET " + target + "&IPAddr=LAN HTTP/1.1 extra\r\n\r\n"),
        s.Raw("BREW " + target + "&IPAddr=LAN" + end + "\r\n"),
        s.Raw("GET " + target + "?IPAddr=LAN?x" + end + "\r\n"),
        s.Raw("GET " + target + "&IPAddr=" + std::string(9000, 'a') + end + "\r\n"),
        s.Raw("GET " + target + "&IPAddr=LAN" + end + "X-Big: " + std::string(9000, 'b') +
              "\r\n\r\n"),
        s.Raw("POST /register.asp?Pass=" + std::string(kSecret) + end +
              "Content-Type: application/x-www-form-urlencoded\r\nContent-Length: 100000\r\n\r\n" +
              form),
    };
}

TEST(TlsService, NoPasswordReachesTheLogsOnAnyPageOverEitherScheme) {
    TempDir dir;
    ServiceRun service(ZORVO_DIRECTORY_BIN, dir.File("stderr"));
    ASSERT_TRUE(
        service.Start(Options(dir, {"--listen", "127.0.0.1:0", "--tls-listen", "127.0.0.1:0",
                                    "--state-dir", dir.path(), "--log", dir.File("requests.log")})))
        << service.Err();
    const std::string pin = service.LineAfter("TLS public key pin ");
    ASSERT_FALSE(pin.empty()) << service.Err();

    PasswordSweep plain(service.httpPort(), false, "");
    PasswordSweep secure(service.httpsPort(), true, pin);
    Sweep(plain, "alice");
    Sweep(secure, "carol");
    EXPECT_EQ(plain.answered(), 28);
    EXPECT_EQ(secure.answered(), 28);
    const std::vector<int> refused = {400, 400, 400, 414, 400, 413};
    EXPECT_EQ(SweepRaw(plain, "alice"), refused);
    EXPECT_EQ(SweepRaw(secure, "carol"), refused);
    ASSERT_EQ(service.Stop(), 0);

    const std::string log = ReadFile(dir.File("requests.log"));
    const std::string err = service.Err();
    for (const char* secret : {kSecret, kWrong, kBobSecret}) {
        EXPECT_EQ(log.find(secret), std::string::npos) << secret << " in the log:\n" << log;
        EXPECT_EQ(err.find(secret), std::string::npos) << secret << " on stderr:\n" << err;
    }
    // The log did record the requests, with their passwords hidden.
    for (const char* page : {"register.asp", "logmein.asp", "iamup.asp", "GetUserList.asp",
                             "SyncBList.asp", "CallBuddy.asp", "logmeoff.asp", "myaccount.asp",
                             "iamtalking.asp", "nosuch.asp", "Pass=***", "\" 414 ", "\" 413 "}) {
        EXPECT_NE(log.find(page), std::string::npos) << page << " not in the log:\n" << log;
    }
}

}  // namespace
