// The rendezvous of the zorvo-directory program on loopback: clients' sockets register with it,
// call pages make it send notices, relay offers are forwarded or not, and a flood on its port
// leaves the web pages answering.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <fstream>
#include <optional>
#include <random>
#include <thread>

#include "directory/client/WebClient.h"
#include "directory/server/RendezvousRegistry.h"
#include "directory/server/tests/ServiceProcess.h"
#include "directory/server/tests/TestDatabase.h"
#include "stun/StunMessage.h"

namespace {

using Clock = std::chrono::steady_clock;

std::string TempPath(const std::string& name) {
    const char* dir = std::getenv("TMPDIR");
    return std::string(dir != nullptr ? dir : "/tmp") + "/zorvo-rvproc-" +
           std::to_string(getpid()) + "-" + name;
}

// A client's UDP socket on a loopback address.
class UdpPeer {
  public:
    explicit UdpPeer(const char* ip = "127.0.0.1") {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        m_address.sin_family = AF_INET;
        inet_pton(AF_INET, ip, &m_address.sin_addr);
        bind(m_fd, reinterpret_cast<sockaddr*>(&m_address), sizeof m_address);
        socklen_t length = sizeof m_address;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&m_address), &length);
    }
    ~UdpPeer() { close(m_fd); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    const sockaddr_in& address() const { return m_address; }
    void Send(const sockaddr_in& to, const std::vector<uint8_t>& bytes) const {
        sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
    }
    // The next datagram within timeoutMs; empty when none came.
    std::optional<std::vector<uint8_t>> Receive(int timeoutMs, sockaddr_in* from = nullptr) const {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) {
            return std::nullopt;
        }
        std::vector<uint8_t> bytes(2048);
        sockaddr_in source{};
        socklen_t length = sizeof source;
        ssize_t n = recvfrom(m_fd, bytes.data(), bytes.size(), 0,
                             reinterpret_cast<sockaddr*>(&source), &length);
        if (n < 0) {
            return std::nullopt;
        }
        bytes.resize(static_cast<size_t>(n));
        if (from != nullptr) {
            *from = source;
        }
        return bytes;
    }
    // The next STUN message within timeoutMs.
    std::optional<stun::Message> Message(int timeoutMs) const {
        auto bytes = Receive(timeoutMs);
        return bytes ? stun::Message::Parse(bytes->data(), bytes->size()) : std::nullopt;
    }

  private:
    int m_fd = -1;
    sockaddr_in m_address{};
};

std::vector<uint8_t> KeepAlive(const std::string& name, const std::string& key) {
    stun::Builder b(stun::kBinding, stun::Class::kRequest, stun::NewTransactionId());
    b.Text(stun::kUsername, name).Integrity(key).Fingerprint();
    return b.Bytes();
}

std::vector<uint8_t> RelayOffer(const std::string& name, const std::string& key,
                                const std::string& token) {
    sockaddr_in relayed{};
    ParseEndpoint("127.0.0.1:49152", &relayed);
    stun::Builder b(stun::kRelayOffer, stun::Class::kRequest, stun::NewTransactionId());
    b.Text(stun::kUsername, name).Bytes(stun::kZorvoToken, token);
    b.AddCandidate({stun::CandidateKind::kRelayed, relayed}).Integrity(key).Fingerprint();
    return b.Bytes();
}

std::vector<uint8_t> Acknowledge(const stun::Message& notice, const std::string& key) {
    stun::Builder b(stun::kCallNotice, stun::Class::kSuccess, notice.Transaction());
    b.Integrity(key).Fingerprint();
    return b.Bytes();
}

// The value of "word=" in a reply, up to the next blank.
std::string WordOf(const std::string& reply, const std::string& word) {
    size_t at = reply.find(" " + word + "=");
    if (at == std::string::npos) {
        return "";
    }
    at += word.size() + 2;
    return reply.substr(at, reply.find(' ', at) - at);
}

// A user of a client with the extension: its account, its key and its call socket.
struct User {
    std::string name;
    std::string key;
    UdpPeer socket;
};

class RendezvousService : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(m_database.Create(Backend::Sqlite, "rvproc", &error)) << error;
        m_secret = TempPath("secret");
        std::ofstream(m_secret) << "shared turn secret\n";
        m_log = TempPath("log");
        ASSERT_TRUE(
            m_server.Start(m_database.db(), m_log,
                           {"--turn", "turn:localhost:3479", "--turn-secret-file", m_secret}));
        m_web.SetServiceHost(m_server.host());
        m_web.SetTimeouts(3000, 10000);
    }
    void TearDown() override {
        m_server.Stop();
        unlink(m_secret.c_str());
        unlink(m_log.c_str());
    }
    std::string Ask(const std::string& target) {
        std::string reply = "(no reply)";
        EXPECT_EQ(m_web.Get(m_server.host(), target, &reply), 1) << target;
        return reply;
    }
    // An account logged in with the extension; its heartbeat tells the rendezvous and the key.
    std::unique_ptr<User> Join(const std::string& name, const std::string& local = "") {
        auto u = std::make_unique<User>();
        u->name = name;
        Ask("register.asp?User=" + name + "&Pass=pw");
        EXPECT_EQ(Ask("/zorvo\\logmein.asp?User=" + name + "&Pass=pw&IPAddr=LAN&Caps=rv1"), "+OK ");
        std::string reply = Ask("/zorvo\\iamup.asp?User=" + name + "&Pass=pw&IPAddr=LAN&Caps=rv1" +
                                (local.empty() ? "" : "&Local=" + local));
        EXPECT_TRUE(ParseEndpoint(WordOf(reply, "rv"), &m_rendezvous)) << reply;
        u->key = stun::FromHex(WordOf(reply, "rvkey")).value_or("");
        EXPECT_EQ(u->key.size(), 16u) << reply;
        return u;
    }
    // A keep-alive from the user's socket, answered with the key.
    bool Register(const User& u) {
        for (int attempt = 0; attempt < 20; ++attempt) {
            u.socket.Send(m_rendezvous, KeepAlive(u.name, u.key));
            auto answer = u.socket.Message(200);
            if (answer && answer->Kind() == stun::Class::kSuccess &&
                answer->CheckIntegrity(u.key)) {
                return true;
            }
        }
        return false;
    }
    std::string Call(const User& from, const std::string& to) {
        return Ask("/zorvo\\CallBuddy.asp?User=" + from.name + "&Pass=pw&Buddy=" + to +
                   "&Caps=rv1");
    }

    TestDatabase m_database;
    ServerProcess m_server;
    std::string m_secret;
    std::string m_log;
    CWebClient m_web;
    sockaddr_in m_rendezvous{};
};

TEST_F(RendezvousService, PlainBindingsAreAnsweredAndOnlyTheRightKeyRegisters) {
    auto alice = Join("alice");
    auto bob = Join("bob");
    UdpPeer prober;
    stun::Builder plain(stun::kBinding, stun::Class::kRequest, stun::NewTransactionId());
    prober.Send(m_rendezvous, plain.Bytes());
    auto answer = prober.Message(2000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Kind(), stun::Class::kSuccess);
    EXPECT_EQ(answer->Transaction(), stun::Message::Parse(plain.Bytes().data(), 20)->Transaction());
    ASSERT_TRUE(answer->XorAddress(stun::kXorMappedAddress));
    EXPECT_EQ(EndpointText(*answer->XorAddress(stun::kXorMappedAddress)),
              EndpointText(prober.address()));
    EXPECT_TRUE(answer->CheckFingerprint());

    // Wrong keys, unknown users and garbage get nothing back.
    alice->socket.Send(m_rendezvous, KeepAlive("alice", bob->key));
    alice->socket.Send(m_rendezvous, KeepAlive("nobody", alice->key));
    alice->socket.Send(m_rendezvous, std::vector<uint8_t>(64, 0x5A));
    EXPECT_FALSE(alice->socket.Receive(500));
    const std::string list = "/zorvo\\GetUserList.asp?User=bob&Pass=pw&buddy=alice";
    EXPECT_EQ(Ask(list + "&Caps=rv1"), "+OK alice LAN");

    alice->socket.Send(m_rendezvous, KeepAlive("alice", alice->key));
    answer = alice->socket.Message(2000);
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->CheckIntegrity(alice->key));
    EXPECT_EQ(EndpointText(*answer->XorAddress(stun::kXorMappedAddress)),
              EndpointText(alice->socket.address()));
    EXPECT_EQ(Ask(list + "&Caps=rv1"), "+OK alice LAN/rv");
    // Without Caps, today's replies.
    EXPECT_EQ(Ask(list), "+OK alice LAN");
    EXPECT_EQ(Ask("/zorvo\\iamup.asp?User=alice&Pass=pw&IPAddr=LAN&Local=10.0.0.1%3A1720"), "+OK");
}

TEST_F(RendezvousService, TheCallPageSendsTheCalleeANoticeUntilItAcknowledges) {
    auto alice = Join("alice", "10.0.1.2%3A1720");
    auto bob = Join("bob", "10.0.1.3%3A1720");
    ASSERT_TRUE(Register(*alice));
    ASSERT_TRUE(Register(*bob));

    const std::string reply = Call(*alice, "bob");
    ASSERT_EQ(reply.substr(0, 4), "+OK ") << reply;
    const std::string token = stun::FromHex(WordOf(reply, "token")).value_or("");
    ASSERT_EQ(token.size(), 16u);
    EXPECT_EQ(WordOf(reply, "key"), stun::ToHex(stun::HmacSha256(bob->key, token)));
    EXPECT_NE(
        reply.find(" cand=local:10.0.1.3:1720 cand=public:" + EndpointText(bob->socket.address())),
        std::string::npos)
        << reply;
    EXPECT_EQ(WordOf(reply, "turn"), "127.0.0.1:3479");
    const std::string turnUser = WordOf(reply, "tuser");
    EXPECT_EQ(WordOf(reply, "tpass"), stun::SharedSecretPassword("shared turn secret", turnUser));

    // Unacknowledged, the notice comes four times, a quarter second apart, then no more.
    std::vector<Clock::time_point> arrivals;
    std::optional<stun::Message> first;
    while (auto notice = bob->socket.Message(1500)) {
        arrivals.push_back(Clock::now());
        ASSERT_EQ(notice->Method(), stun::kCallNotice);
        EXPECT_TRUE(notice->CheckIntegrity(bob->key));
        EXPECT_TRUE(notice->CheckFingerprint());
        if (!first) {
            first = notice;
        }
        EXPECT_EQ(notice->Transaction(), first->Transaction());
    }
    ASSERT_EQ(arrivals.size(), 4u);
    for (size_t i = 1; i < arrivals.size(); ++i) {
        EXPECT_GE(arrivals[i] - arrivals[i - 1], std::chrono::milliseconds(200));
    }
    EXPECT_EQ(first->Find(stun::kZorvoToken), token);
    EXPECT_EQ(first->Find(stun::kZorvoCaller), "alice");
    std::vector<stun::Candidate> candidates = first->Candidates();
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[0].kind, stun::CandidateKind::kLocal);
    EXPECT_EQ(EndpointText(candidates[0].address), "10.0.1.2:1720");
    EXPECT_EQ(candidates[1].kind, stun::CandidateKind::kPublic);
    EXPECT_EQ(EndpointText(candidates[1].address), EndpointText(alice->socket.address()));

    // Acknowledged, it stops; the caller's socket heard nothing of it all.
    ASSERT_EQ(Call(*alice, "bob").substr(0, 4), "+OK ");
    auto notice = bob->socket.Message(2000);
    ASSERT_TRUE(notice);
    bob->socket.Send(m_rendezvous, Acknowledge(*notice, bob->key));
    EXPECT_FALSE(bob->socket.Receive(1000));
    EXPECT_FALSE(alice->socket.Receive(0));
    EXPECT_EQ(Call(*bob, "carol").substr(0, 5), "-ERR ");
}

TEST_F(RendezvousService, RelayOffersAreForwardedOnlyUnderTheCallersOwnFreshToken) {
    auto alice = Join("alice");
    auto bob = Join("bob");
    auto carol = Join("carol");
    for (User* u : {alice.get(), bob.get(), carol.get()}) {
        ASSERT_TRUE(Register(*u));
    }
    auto tokenOf = [&](const User& caller) {
        std::string reply = Call(caller, "bob");
        auto notice = bob->socket.Message(2000);
        EXPECT_TRUE(notice);
        if (notice) {
            bob->socket.Send(m_rendezvous, Acknowledge(*notice, bob->key));
        }
        return stun::FromHex(WordOf(reply, "token")).value_or("");
    };
    const std::string own = tokenOf(*alice);
    const std::string later = tokenOf(*alice);
    const std::string foreign = tokenOf(*carol);
    ASSERT_EQ(own.size(), 16u);
    ASSERT_EQ(foreign.size(), 16u);
    bob->socket.Receive(300);

    alice->socket.Send(m_rendezvous, RelayOffer("alice", alice->key, foreign));
    alice->socket.Send(m_rendezvous, RelayOffer("alice", carol->key, own));
    EXPECT_FALSE(alice->socket.Receive(500));
    EXPECT_FALSE(bob->socket.Receive(0));

    alice->socket.Send(m_rendezvous, RelayOffer("alice", alice->key, own));
    auto answer = alice->socket.Message(2000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Method(), stun::kRelayOffer);
    EXPECT_TRUE(answer->CheckIntegrity(alice->key));
    auto notice = bob->socket.Message(2000);
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->Find(stun::kZorvoToken), own);
    ASSERT_EQ(notice->Candidates().size(), 1u);
    EXPECT_EQ(notice->Candidates()[0].kind, stun::CandidateKind::kRelayed);
    bob->socket.Send(m_rendezvous, Acknowledge(*notice, bob->key));

    // Past its thirty seconds, alice's other token forwards nothing (the registrations last a
    // minute, so they still stand).
    std::this_thread::sleep_for(std::chrono::seconds(kTokenSeconds + 1));
    bob->socket.Receive(0);
    alice->socket.Send(m_rendezvous, RelayOffer("alice", alice->key, later));
    EXPECT_FALSE(alice->socket.Receive(1000));
    EXPECT_FALSE(bob->socket.Receive(0));
}

// One heartbeat's time on a fresh connection, in milliseconds.
double HeartbeatMs(CWebClient& web, const std::string& host) {
    auto start = Clock::now();
    std::string reply;
    web.Get(host, "/zorvo\\iamup.asp?User=alice&Pass=pw&IPAddr=LAN", &reply);
    double ms = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
    return reply == "+OK" ? ms : 1e9;
}

double Median(std::vector<double> v) {
    std::sort(v.begin(), v.end());
    return v.empty() ? 1e9 : v[v.size() / 2];
}

TEST_F(RendezvousService, AFloodOnTheUdpPortLeavesHeartbeatsAnsweringInTheirUsualTime) {
    auto alice = Join("alice");
    std::vector<double> before;
    for (int i = 0; i < 20; ++i) {
        before.push_back(HeartbeatMs(m_web, m_server.host()));
    }
    // 200 000 datagrams from one socket, garbage and plain Binding requests by turns.
    UdpPeer flooder("127.0.0.2");
    std::atomic<bool> flooding{true};
    auto floodStart = Clock::now();
    std::thread flood([&] {
        std::mt19937 rng(7);
        stun::Builder plain(stun::kBinding, stun::Class::kRequest, stun::NewTransactionId());
        std::vector<uint8_t> garbage(120);
        for (int i = 0; i < 200000; ++i) {
            if (i % 2 == 0) {
                std::generate(garbage.begin(), garbage.end(), [&] { return rng() & 0xFF; });
                flooder.Send(m_rendezvous, garbage);
            } else {
                flooder.Send(m_rendezvous, plain.Bytes());
            }
        }
        flooding = false;
    });
    std::vector<double> during;
    bool registered = false;
    while (flooding) {
        during.push_back(HeartbeatMs(m_web, m_server.host()));
        registered = registered || Register(*alice);
    }
    flood.join();
    double seconds = std::chrono::duration<double>(Clock::now() - floodStart).count();
    int answers = 0;
    while (flooder.Receive(200)) {
        ++answers;
    }

    ASSERT_GE(during.size(), 3u);
    EXPECT_LT(*std::max_element(during.begin(), during.end()), 1000.0);
    EXPECT_LT(Median(during), std::max(50.0, 10 * Median(before)));
    // The flooding address got its budget's worth of answers and no more; another address was
    // still served meanwhile.
    EXPECT_LE(answers, 200 + static_cast<int>(100 * seconds) + 20) << seconds << " s";
    EXPECT_GT(answers, 0);
    EXPECT_TRUE(registered);
    EXPECT_TRUE(m_server.Alive());
}

TEST(DirectoryProgram, RendezvousAndRelayOptionsThatCannotWorkEndTheStart) {
    std::string out;
    std::string err;
    EXPECT_EQ(RunProgram({"--help"}, &out, &err), 0);
    for (const char* option : {"--rendezvous ", "--rendezvous-advertise", "--turn ",
                               "--turn-secret-file", "--turn-ttl"}) {
        EXPECT_NE(out.find(option), std::string::npos) << option;
    }
    const std::string db = TempPath("options.db");
    const std::string empty = TempPath("empty-secret");
    std::ofstream(empty) << "\n";
    UdpPeer taken;
    const std::string busy = EndpointText(taken.address());
    const std::vector<std::vector<std::string>> bad = {
        {"--turn", "turn:127.0.0.1:3479"},
        {"--turn", "127.0.0.1:3479", "--turn-secret-file", empty},
        {"--rendezvous", "localhost:3478"},
        {"--turn", "turn:127.0.0.1:3479", "--turn-secret-file", "/nonexistent/secret"},
        {"--turn", "turn:127.0.0.1:3479", "--turn-secret-file", empty},
        {"--rendezvous", busy},
    };
    for (const auto& args : bad) {
        std::vector<std::string> all = {"--listen", "127.0.0.1:0", "--db", db, "--log", "none"};
        all.insert(all.end(), args.begin(), args.end());
        EXPECT_EQ(RunProgram(all, &out, &err), 1) << args.back();
        EXPECT_EQ(err.rfind("zorvo-directory: ", 0), 0u) << err;
        EXPECT_EQ(err.find('\n'), err.size() - 1) << "one line: " << err;
    }
    unlink(empty.c_str());
    for (const char* suffix : {"", "-wal", "-shm"}) {
        unlink((db + suffix).c_str());
    }
}

}  // namespace

namespace {

// Two processes on one PostgreSQL database: each has its own rendezvous, and a user may be
// registered at either.
class SharedRendezvous : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(m_database.Create(Backend::Postgres, "rvshared", &error)) << error;
        for (int i = 0; i < 2; ++i) {
            m_logs[i] = TempPath("shared-log" + std::to_string(i));
            ASSERT_TRUE(m_servers[i].Start(m_database.db(), m_logs[i]));
            m_web[i].SetServiceHost(m_servers[i].host());
            m_web[i].SetTimeouts(3000, 10000);
        }
    }
    void TearDown() override {
        for (int i = 0; i < 2; ++i) {
            m_servers[i].Stop();
            unlink(m_logs[i].c_str());
        }
    }
    std::string Ask(int on, const std::string& target) {
        std::string reply = "(no reply)";
        EXPECT_EQ(m_web[on].Get(m_servers[on].host(), target, &reply), 1) << target;
        return reply;
    }
    // A user whose heartbeats go to process `on` and who registers with its rendezvous.
    std::unique_ptr<User> Join(int on, const std::string& name) {
        auto u = std::make_unique<User>();
        u->name = name;
        Ask(on, "register.asp?User=" + name + "&Pass=pw");
        Ask(on, "/zorvo\\logmein.asp?User=" + name + "&Pass=pw&IPAddr=LAN&Caps=rv1");
        std::string reply =
            Ask(on, "/zorvo\\iamup.asp?User=" + name + "&Pass=pw&IPAddr=LAN&Caps=rv1");
        EXPECT_TRUE(ParseEndpoint(WordOf(reply, "rv"), &m_rendezvous[on])) << reply;
        u->key = stun::FromHex(WordOf(reply, "rvkey")).value_or("");
        u->socket.Send(m_rendezvous[on], KeepAlive(name, u->key));
        auto answer = u->socket.Message(2000);
        EXPECT_TRUE(answer && answer->CheckIntegrity(u->key)) << name;
        return u;
    }

    TestDatabase m_database;
    ServerProcess m_servers[2];
    std::string m_logs[2];
    CWebClient m_web[2];
    sockaddr_in m_rendezvous[2]{};
};

TEST_F(SharedRendezvous, TheProcessHoldingTheCalleesRegistrationSendsItsNotices) {
    auto alice = Join(0, "alice");
    auto bob = Join(1, "bob");
    ASSERT_NE(m_rendezvous[0].sin_port, m_rendezvous[1].sin_port);
    EXPECT_EQ(Ask(0, "/zorvo\\GetUserList.asp?User=alice&Pass=pw&buddy=bob&Caps=rv1"),
              "+OK bob LAN/rv");

    // alice asks process 0; bob hears from process 1, where his keep-alives go.
    std::string reply = Ask(0, "/zorvo\\CallBuddy.asp?User=alice&Pass=pw&Buddy=bob&Caps=rv1");
    ASSERT_EQ(reply.substr(0, 4), "+OK ") << reply;
    EXPECT_EQ(WordOf(reply, "key"),
              stun::ToHex(stun::HmacSha256(bob->key, *stun::FromHex(WordOf(reply, "token")))));
    sockaddr_in from{};
    auto bytes = bob->socket.Receive(3000, &from);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(EndpointText(from), EndpointText(m_rendezvous[1]));
    auto notice = stun::Message::Parse(bytes->data(), bytes->size());
    ASSERT_TRUE(notice);
    EXPECT_TRUE(notice->CheckIntegrity(bob->key));
    EXPECT_EQ(notice->Find(stun::kZorvoCaller), "alice");
    EXPECT_EQ(EndpointText(notice->Candidates().back().address),
              EndpointText(alice->socket.address()));
    bob->socket.Send(m_rendezvous[1], Acknowledge(*notice, bob->key));
    EXPECT_FALSE(bob->socket.Receive(800));

    // alice's relay offer goes to her rendezvous (process 0); bob hears of it from process 1.
    const std::string token = *stun::FromHex(WordOf(reply, "token"));
    alice->socket.Send(m_rendezvous[0], RelayOffer("alice", alice->key, token));
    auto answer = alice->socket.Message(3000);
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->CheckIntegrity(alice->key));
    bytes = bob->socket.Receive(3000, &from);
    ASSERT_TRUE(bytes);
    EXPECT_EQ(EndpointText(from), EndpointText(m_rendezvous[1]));
    notice = stun::Message::Parse(bytes->data(), bytes->size());
    ASSERT_TRUE(notice);
    ASSERT_EQ(notice->Candidates().size(), 1u);
    EXPECT_EQ(notice->Candidates()[0].kind, stun::CandidateKind::kRelayed);
}

}  // namespace
