// The message coder and the relay client against a real coturn on 127.0.0.1, started by the test
// itself with a shared secret, and two plain UDP sockets standing for the caller and the callee.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <functional>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "stun/StunMessage.h"
#include "stun/TurnClient.h"

namespace {

using stun::TurnClient;

const std::string kSecret = "zorvo test secret";
const std::string kRealm = "zorvo.test";

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

bool SameAddress(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

std::string Show(const sockaddr_in& a) {
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &a.sin_addr, text, sizeof text);
    return std::string(text) + ":" + std::to_string(ntohs(a.sin_port));
}

struct Datagram {
    std::vector<uint8_t> bytes;
    sockaddr_in from{};
};

// A UDP socket bound to a free port on 127.0.0.1.
class UdpSocket {
  public:
    UdpSocket() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof local;
        if (m_fd < 0 || bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
            getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
            ADD_FAILURE() << "cannot bind a UDP socket on 127.0.0.1";
        }
    }
    ~UdpSocket() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    void SendTo(const sockaddr_in& to, const std::vector<uint8_t>& bytes) const {
        const auto n = sendto(m_fd, bytes.data(), bytes.size(), 0,
                              reinterpret_cast<const sockaddr*>(&to), sizeof to);
        EXPECT_EQ(n, static_cast<ssize_t>(bytes.size())) << "sendto " << Show(to);
    }

    std::optional<Datagram> Receive(int timeoutMs) const {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1) {
            return std::nullopt;
        }
        Datagram d;
        d.bytes.resize(2048);
        socklen_t len = sizeof d.from;
        const auto n = recvfrom(m_fd, d.bytes.data(), d.bytes.size(), 0,
                                reinterpret_cast<sockaddr*>(&d.from), &len);
        if (n < 0) {
            return std::nullopt;
        }
        d.bytes.resize(static_cast<std::size_t>(n));
        return d;
    }

    sockaddr_in local{};

  private:
    int m_fd = -1;
};

uint16_t FreeUdpPort() {
    UdpSocket s;
    return ntohs(s.local.sin_port);
}

std::string FindTurnserver() {
    const char* path = std::getenv("PATH");
    std::stringstream dirs(std::string(path ? path : "") + ":/usr/bin:/usr/sbin");
    std::string dir;
    while (std::getline(dirs, dir, ':')) {
        const std::string candidate = dir + "/turnserver";
        if (!dir.empty() && access(candidate.c_str(), X_OK) == 0) {
            return candidate;
        }
    }
    return {};
}

// A plain Binding request; the answer, when one comes within timeoutMs.
std::optional<stun::Message> Bind(const UdpSocket& s, const sockaddr_in& server, int timeoutMs,
                                  stun::TransactionId* id = nullptr) {
    const auto transaction = stun::NewTransactionId();
    if (id) {
        *id = transaction;
    }
    s.SendTo(
        server,
        stun::Builder(stun::kBinding, stun::Class::kRequest, transaction).Fingerprint().Bytes());
    const auto d = s.Receive(timeoutMs);
    if (!d) {
        return std::nullopt;
    }
    return stun::Message::Parse(d->bytes.data(), d->bytes.size());
}

// coturn on 127.0.0.1 with the shared-secret scheme, as a child of the test, logging into a
// temporary folder. Killed when the object goes, and by the kernel if the test dies first.
class Coturn {
  public:
    explicit Coturn(std::vector<std::string> extra = {}) : m_extra(std::move(extra)) {}
    ~Coturn() { Stop(); }

    bool Start() {
        char folder[] = "/tmp/zorvo-coturn-XXXXXX";
        if (mkdtemp(folder) == nullptr) {
            return false;
        }
        m_folder = folder;
        m_port = FreeUdpPort();
        m_minRelayPort = static_cast<uint16_t>(std::min<int>(FreeUdpPort(), 65000));
        const std::string binary = FindTurnserver();
        std::vector<std::string> args = {binary,
                                         "-n",
                                         "--listening-ip=127.0.0.1",
                                         "--relay-ip=127.0.0.1",
                                         "--listening-port=" + std::to_string(m_port),
                                         "--min-port=" + std::to_string(m_minRelayPort),
                                         "--max-port=" + std::to_string(MaxRelayPort()),
                                         "--use-auth-secret",
                                         "--static-auth-secret=" + kSecret,
                                         "--realm=" + kRealm,
                                         "--no-tcp",
                                         "--no-tls",
                                         "--no-dtls",
                                         "--no-cli",
                                         "--fingerprint",
                                         "--allow-loopback-peers",
                                         "--log-file=" + LogPath(),
                                         "--simple-log",
                                         "--no-stdout-log",
                                         "--pidfile=" + m_folder + "/turnserver.pid",
                                         "--userdb=" + m_folder + "/turndb"};
        args.insert(args.end(), m_extra.begin(), m_extra.end());
        m_pid = fork();
        if (m_pid == 0) {
            Exec(args);
        }
        return m_pid > 0 && WaitUntilAnswering();
    }

    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            int status = 0;
            for (int i = 0; i < 30 && waitpid(m_pid, &status, WNOHANG) == 0; ++i) {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                if (i == 29) {
                    kill(m_pid, SIGKILL);
                    waitpid(m_pid, &status, 0);
                }
            }
            m_pid = -1;
        }
        if (!m_folder.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(m_folder, ignored);
            m_folder.clear();
        }
    }

    sockaddr_in Address() const {
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        a.sin_port = htons(m_port);
        return a;
    }
    uint16_t MinRelayPort() const { return m_minRelayPort; }
    uint16_t MaxRelayPort() const { return static_cast<uint16_t>(m_minRelayPort + 31); }

    std::string Log() const {
        std::ifstream in(LogPath());
        std::stringstream text;
        text << in.rdbuf();
        return "\n--- turnserver log ---\n" + text.str();
    }

  private:
    std::string LogPath() const { return m_folder + "/turnserver.log"; }

    [[noreturn]] static void Exec(const std::vector<std::string>& args) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        const int devnull = open("/dev/null", O_RDWR);
        dup2(devnull, STDIN_FILENO);
        dup2(devnull, STDOUT_FILENO);
        dup2(devnull, STDERR_FILENO);
        std::vector<char*> argv;
        for (const auto& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }

    // Ready once a Binding request gets its answer; gives up when the server exits or after 10 s.
    bool WaitUntilAnswering() {
        UdpSocket probe;
        for (int i = 0; i < 100; ++i) {
            int status = 0;
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = -1;
                return false;
            }
            if (Bind(probe, Address(), 100)) {
                return true;
            }
        }
        return false;
    }

    std::vector<std::string> m_extra;
    std::string m_folder;
    pid_t m_pid = -1;
    uint16_t m_port = 0;
    uint16_t m_minRelayPort = 0;
};

// What an engine's receive loop does: sends what the client has to send, offers it every
// datagram, keeps those it does not consume. Stops when done() or after timeoutMs.
struct Loop {
    TurnClient& client;
    const UdpSocket& socket;
    std::vector<std::vector<uint8_t>> sent;
    std::vector<Datagram> unconsumed;

    void Run(const std::function<bool()>& done, int timeoutMs = 5000) {
        const int64_t deadline = NowMs() + timeoutMs;
        for (;;) {
            const int64_t now = NowMs();
            for (auto& d : client.Poll(now)) {
                socket.SendTo(client.Server(), d);
                sent.push_back(std::move(d));
            }
            if (done() || now > deadline) {
                return;
            }
            const auto due = client.Due();
            const int wait = static_cast<int>(std::clamp<int64_t>(due ? *due - now : 50, 0, 50));
            if (auto d = socket.Receive(wait)) {
                if (!client.Receive(d->bytes.data(), d->bytes.size(), d->from, NowMs())) {
                    unconsumed.push_back(std::move(*d));
                }
            }
        }
    }

    // The transaction ids and nonces of the requests of that method sent so far.
    std::set<std::string> Distinct(uint16_t method, uint16_t attribute) const {
        std::set<std::string> values;
        for (const auto& d : sent) {
            const auto m = stun::Message::Parse(d.data(), d.size());
            if (m && m->Method() == method) {
                values.insert(attribute == 0
                                  ? std::string(m->Transaction().begin(), m->Transaction().end())
                                  : std::string(m->Find(attribute).value_or("")));
            }
        }
        return values;
    }
};

std::string UserExpiringIn(int seconds, const std::string& name) {
    return std::to_string(std::time(nullptr) + seconds) + ":" + name;
}

TEST(TurnClientWithCoturn, RelaysBothWaysBetweenTwoSocketsRenewsAStaleNonceAndReleases) {
    if (FindTurnserver().empty()) {
        GTEST_SKIP() << "turnserver (coturn) is not installed: the relay tests do not run";
    }
    // Nonces go stale after 2 s, so the refresh below has to come through a 438.
    Coturn server({"--stale-nonce=2"});
    ASSERT_TRUE(server.Start()) << server.Log();
    UdpSocket a;
    UdpSocket b;
    const std::string user = UserExpiringIn(600, "alice");
    TurnClient client(server.Address(), user, stun::SharedSecretPassword(kSecret, user));
    Loop loop{client, a, {}, {}};

    ASSERT_TRUE(client.Allocate(NowMs()));
    loop.Run([&] { return client.GetState() != TurnClient::State::kAllocating; });
    ASSERT_EQ(client.GetState(), TurnClient::State::kAllocated)
        << client.FailureReason() << server.Log();
    const sockaddr_in relayed = *client.Relayed();
    EXPECT_EQ(ntohl(relayed.sin_addr.s_addr), INADDR_LOOPBACK);
    EXPECT_GE(ntohs(relayed.sin_port), server.MinRelayPort());
    EXPECT_LE(ntohs(relayed.sin_port), server.MaxRelayPort());
    ASSERT_TRUE(client.Mapped());
    EXPECT_TRUE(SameAddress(*client.Mapped(), a.local)) << Show(*client.Mapped());
    EXPECT_GT(client.Lifetime(), 0u);
    EXPECT_GE(loop.Distinct(stun::kAllocate, 0).size(), 2u) << "first without credentials";

    ASSERT_TRUE(client.Permit(b.local, NowMs()));
    loop.Run([&] { return client.PermissionOutcome(b.local) != TurnClient::Outcome::kPending; });
    ASSERT_EQ(client.PermissionOutcome(b.local), TurnClient::Outcome::kDone)
        << client.FailureReason() << server.Log();

    // B to A through the relay: a Data indication with B's address and bytes.
    const std::vector<uint8_t> toA = {'f', 'r', 'o', 'm', ' ', 'B', 0, 0xFF, 0x21, 0x12, 0xA4};
    b.SendTo(relayed, toA);
    loop.Run([&] { return !loop.unconsumed.empty(); });
    ASSERT_EQ(loop.unconsumed.size(), 1u);
    const Datagram& indication = loop.unconsumed.front();
    const auto data =
        client.UnwrapData(indication.bytes.data(), indication.bytes.size(), indication.from);
    ASSERT_TRUE(data);
    EXPECT_TRUE(SameAddress(data->peer, b.local)) << Show(data->peer);
    EXPECT_EQ(std::vector<uint8_t>(data->payload, data->payload + data->size), toA);

    // A to B: a Send indication arrives as exactly the payload, from the relayed address.
    const std::vector<uint8_t> toB(343, 0x5A);
    a.SendTo(server.Address(), TurnClient::WrapSend(b.local, toB.data(), toB.size()));
    const auto atB = b.Receive(2000);
    ASSERT_TRUE(atB) << server.Log();
    EXPECT_TRUE(SameAddress(atB->from, relayed)) << Show(atB->from);
    EXPECT_EQ(atB->bytes, toB);

    std::this_thread::sleep_for(std::chrono::milliseconds(3100));
    ASSERT_TRUE(client.Refresh(600, NowMs()));
    loop.Run([&] { return client.RefreshOutcome() != TurnClient::Outcome::kPending; });
    EXPECT_EQ(client.RefreshOutcome(), TurnClient::Outcome::kDone) << client.FailureReason();
    EXPECT_GE(loop.Distinct(stun::kRefresh, 0).size(), 2u) << "the 438 was answered";
    EXPECT_GE(loop.Distinct(stun::kRefresh, stun::kNonce).size(), 2u);

    ASSERT_TRUE(client.Refresh(0, NowMs()));
    loop.Run([&] { return client.RefreshOutcome() != TurnClient::Outcome::kPending; });
    EXPECT_EQ(client.GetState(), TurnClient::State::kReleased) << client.FailureReason();

    // Released: coturn drops the allocation on its next timer tick, after which B's datagrams
    // no longer reach A, and the same socket may allocate again (coturn refuses a second
    // allocation for an address that still has one).
    bool closed = false;
    for (int i = 0; i < 25 && !closed; ++i) {
        loop.unconsumed.clear();
        b.SendTo(relayed, toA);
        loop.Run([] { return false; }, 200);
        closed = loop.unconsumed.empty();
    }
    EXPECT_TRUE(closed) << "the relay still forwards after the release" << server.Log();
    TurnClient again(server.Address(), user, stun::SharedSecretPassword(kSecret, user));
    Loop second{again, a, {}, {}};
    again.Allocate(NowMs());
    second.Run([&] { return again.GetState() != TurnClient::State::kAllocating; });
    EXPECT_EQ(again.GetState(), TurnClient::State::kAllocated) << again.FailureReason();
}

TEST(TurnClientWithCoturn, AnswersBindingWithTheSocketsAddressAndRefusesWrongCredentials) {
    if (FindTurnserver().empty()) {
        GTEST_SKIP() << "turnserver (coturn) is not installed: the relay tests do not run";
    }
    Coturn server;
    ASSERT_TRUE(server.Start()) << server.Log();
    UdpSocket s;
    stun::TransactionId id{};
    const auto answer = Bind(s, server.Address(), 2000, &id);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Kind(), stun::Class::kSuccess);
    EXPECT_EQ(answer->Method(), stun::kBinding);
    EXPECT_EQ(answer->Transaction(), id);
    EXPECT_TRUE(answer->CheckFingerprint());
    const auto mapped = answer->XorAddress(stun::kXorMappedAddress);
    ASSERT_TRUE(mapped);
    EXPECT_TRUE(SameAddress(*mapped, s.local)) << Show(*mapped) << " for " << Show(s.local);

    const std::string user = UserExpiringIn(600, "mallory");
    const std::string expired = UserExpiringIn(-60, "alice");
    const std::vector<std::pair<std::string, std::string>> refused = {
        {user, stun::SharedSecretPassword("another secret", user)},
        {expired, stun::SharedSecretPassword(kSecret, expired)}};
    for (const auto& [name, password] : refused) {
        UdpSocket socket;
        TurnClient client(server.Address(), name, password);
        Loop loop{client, socket, {}, {}};
        client.Allocate(NowMs());
        loop.Run([&] { return client.GetState() != TurnClient::State::kAllocating; });
        EXPECT_EQ(client.GetState(), TurnClient::State::kFailed) << name;
        EXPECT_NE(client.FailureReason().find("401"), std::string::npos) << client.FailureReason();
        EXPECT_FALSE(client.Relayed());
    }
}

}  // namespace
