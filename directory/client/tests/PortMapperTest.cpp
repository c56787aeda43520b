#include "directory/client/PortMapper.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <memory>
#include <sstream>
#include <string>
#include <thread>

// Port mapping against a real miniupnpd: the test builds a small internet in network namespaces
// (testsupport/netlab) with home 1 behind a router that runs miniupnpd (hosts h1a and h1b) and
// home 2 behind a router without any mapping service (host h2a). The mapper runs in a home's
// namespace, the datagrams that must (or must not) come through are sent from the directory
// host on the public segment. Needs root; skipped when namespaces cannot be made.

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

constexpr const char* kRouter1 = "198.18.0.11";
constexpr const char* kPublicHost = "198.18.0.1";

std::string RunShell(const std::string& command, int* status) {
    std::string output;
    FILE* pipe = popen(command.c_str(), "r");
    if (pipe == nullptr) {
        *status = -1;
        return output;
    }
    char buffer[512];
    while (fgets(buffer, sizeof(buffer), pipe) != nullptr) {
        output += buffer;
    }
    const int raw = pclose(pipe);
    *status = WIFEXITED(raw) ? WEXITSTATUS(raw) : -1;
    return output;
}

// The calling thread works in another network namespace until the object goes; sockets made
// meanwhile stay in that namespace. Tests run on the main thread, whose namespace is also the
// one /proc/net shows (libnatpmp reads the default gateway there).
class InNamespace {
  public:
    explicit InNamespace(const std::string& name) {
        m_home = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = open(("/run/netns/" + name).c_str(), O_RDONLY | O_CLOEXEC);
        m_bEntered = m_home >= 0 && target >= 0 && setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) {
            close(target);
        }
    }
    ~InNamespace() {
        if (m_bEntered && setns(m_home, CLONE_NEWNET) != 0) {
            std::abort();  // every later test would run in the wrong network
        }
        if (m_home >= 0) {
            close(m_home);
        }
    }
    InNamespace(const InNamespace&) = delete;
    InNamespace& operator=(const InNamespace&) = delete;

    bool Entered() const { return m_bEntered; }

  private:
    int m_home = -1;
    bool m_bEntered = false;
};

class UdpSocket {
  public:
    explicit UdpSocket(uint16_t port = 0) {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in any{};
        any.sin_family = AF_INET;
        any.sin_port = htons(port);
        m_bBound = m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&any), sizeof(any)) == 0;
    }
    ~UdpSocket() {
        if (m_fd >= 0) {
            close(m_fd);
        }
    }
    UdpSocket(const UdpSocket&) = delete;
    UdpSocket& operator=(const UdpSocket&) = delete;

    bool Bound() const { return m_bBound; }

    bool SendTo(const std::string& address, uint16_t port, const std::string& text) {
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(port);
        inet_pton(AF_INET, address.c_str(), &to.sin_addr);
        return sendto(m_fd, text.data(), text.size(), 0, reinterpret_cast<sockaddr*>(&to),
                      sizeof(to)) == static_cast<ssize_t>(text.size());
    }

    // The first datagram within ms ("" when none came); its source address in *from.
    std::string Receive(int ms, std::string* from = nullptr) {
        pollfd descriptor{m_fd, POLLIN, 0};
        if (poll(&descriptor, 1, ms) != 1) {
            return {};
        }
        char buffer[1500];
        sockaddr_in source{};
        socklen_t length = sizeof(source);
        const ssize_t n = recvfrom(m_fd, buffer, sizeof(buffer), 0,
                                   reinterpret_cast<sockaddr*>(&source), &length);
        if (n <= 0) {
            return {};
        }
        if (from != nullptr) {
            char text[INET_ADDRSTRLEN] = {};
            inet_ntop(AF_INET, &source.sin_addr, text, sizeof(text));
            *from = text;
        }
        return std::string(buffer, static_cast<size_t>(n));
    }

  private:
    int m_fd = -1;
    bool m_bBound = false;
};

class PortMapperLab : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        s_prefix = "pm" + std::to_string(getpid());
        int status = 0;
        const std::string output =
            RunShell(std::string(ZORVO_NETLAB) + " up --prefix " + s_prefix + " --watch " +
                         std::to_string(getpid()) + " --home upnp,hosts=ab --home cone 2>&1",
                     &status);
        if (status == 77) {
            s_skip = output.substr(0, output.find('\n'));
        } else if (status != 0) {
            s_failure = output;
        } else {
            const size_t at = output.find("NETLAB_DIR=");
            s_dir = output.substr(at + 11, output.find('\n', at) - at - 11);
            s_up = true;
        }
    }

    static void TearDownTestSuite() {
        if (s_up) {
            int status = 0;
            RunShell(std::string(ZORVO_NETLAB) + " down " + s_prefix + " 2>&1", &status);
            s_up = false;
        }
    }

    void SetUp() override {
        if (!s_skip.empty()) {
            GTEST_SKIP() << s_skip;
        }
        ASSERT_TRUE(s_up) << "the network lab could not be built:\n" << s_failure;
    }

    static std::string Ns(const char* name) { return s_prefix + "-" + name; }

    // Sends text from a new socket (a new source port) of the public host to router 1.
    static void SendFromOutside(uint16_t port, const std::string& text) {
        InNamespace outside(Ns("dir"));
        ASSERT_TRUE(outside.Entered());
        UdpSocket socket;
        ASSERT_TRUE(socket.SendTo(kRouter1, port, text));
    }

    // miniupnpd's record of the mappings it holds.
    static std::string Leases() {
        std::ifstream file(s_dir + "/miniupnpd-r1.leases");
        std::stringstream text;
        text << file.rdbuf();
        return text.str();
    }

    static inline std::string s_prefix;
    static inline std::string s_dir;
    static inline std::string s_skip;
    static inline std::string s_failure;
    static inline bool s_up = false;
};

TEST_F(PortMapperLab, UpnpMappingForwardsTheCallPortUntilRemoved) {
    PortMapper mapper;
    std::unique_ptr<UdpSocket> callSocket;
    PortMapping mapping;
    {
        InNamespace home(Ns("h1a"));
        ASSERT_TRUE(home.Entered());
        callSocket = std::make_unique<UdpSocket>(1720);
        ASSERT_TRUE(callSocket->Bound());
        mapping = mapper.Map(1720);
    }
    ASSERT_TRUE(mapping.Valid());
    EXPECT_EQ(mapping.method, MappingMethod::kUpnp);
    EXPECT_STREQ(MappingMethodName(mapping.method), "upnp");
    EXPECT_EQ(mapping.externalAddress, kRouter1);
    EXPECT_EQ(mapping.externalPort, 1720);
    EXPECT_EQ(mapping.internalPort, 1720);
    EXPECT_EQ(mapping.leaseSeconds, 3600u);
    EXPECT_NE(Leases().find("UDP:1720:10.0.1.2:1720:"), std::string::npos) << Leases();
    EXPECT_NE(Leases().find(":Zorvo"), std::string::npos) << Leases();

    SendFromOutside(1720, "through the router");
    std::string from;
    EXPECT_EQ(callSocket->Receive(2000, &from), "through the router");
    EXPECT_EQ(from, kPublicHost);

    {
        InNamespace home(Ns("h1a"));
        ASSERT_TRUE(home.Entered());
        mapper.Remove();
    }
    EXPECT_FALSE(mapper.Current().Valid());
    EXPECT_EQ(Leases().find("UDP:1720:"), std::string::npos) << Leases();
    SendFromOutside(1720, "after removal");
    EXPECT_EQ(callSocket->Receive(700), "");
}

TEST_F(PortMapperLab, TheSecondComputerOfAHomeGetsAnotherExternalPort) {
    std::unique_ptr<UdpSocket> socketA;
    std::unique_ptr<UdpSocket> socketB;
    std::unique_ptr<PortMapper> mapperA;
    std::unique_ptr<PortMapper> mapperB;
    {
        InNamespace home(Ns("h1a"));
        ASSERT_TRUE(home.Entered());
        socketA = std::make_unique<UdpSocket>(1720);
        mapperA = std::make_unique<PortMapper>();
        ASSERT_EQ(mapperA->Map(1720).externalPort, 1720);
    }
    PortMapping second;
    {
        InNamespace home(Ns("h1b"));
        ASSERT_TRUE(home.Entered());
        socketB = std::make_unique<UdpSocket>(1720);
        mapperB = std::make_unique<PortMapper>();
        second = mapperB->Map(1720);
    }
    ASSERT_TRUE(second.Valid());
    EXPECT_EQ(second.method, MappingMethod::kUpnp);
    EXPECT_EQ(second.externalAddress, kRouter1);
    EXPECT_EQ(second.internalPort, 1720);
    EXPECT_NE(second.externalPort, 1720);

    SendFromOutside(1720, "for a");
    SendFromOutside(second.externalPort, "for b");
    EXPECT_EQ(socketA->Receive(2000), "for a");
    EXPECT_EQ(socketB->Receive(2000), "for b");

    // Each mapper removes its own mapping as it goes, from its own computer.
    {
        InNamespace home(Ns("h1a"));
        mapperA.reset();
    }
    {
        InNamespace home(Ns("h1b"));
        mapperB.reset();
    }
    EXPECT_EQ(Leases().find("UDP:"), std::string::npos) << Leases();
}

TEST_F(PortMapperLab, NatPmpMapsWhenUpnpIsNotUsedAndTheDestructorRemoves) {
    PortMapper::Options options;
    options.useUpnp = false;
    std::unique_ptr<UdpSocket> callSocket;
    PortMapping mapping;
    {
        InNamespace home(Ns("h1a"));
        ASSERT_TRUE(home.Entered());
        callSocket = std::make_unique<UdpSocket>(1721);
        PortMapper mapper(options);
        mapping = mapper.Map(1721);
        ASSERT_TRUE(mapping.Valid());
        SendFromOutside(1721, "mapped by NAT-PMP");
        EXPECT_EQ(callSocket->Receive(2000), "mapped by NAT-PMP");
    }
    EXPECT_EQ(mapping.method, MappingMethod::kNatPmp);
    EXPECT_EQ(mapping.externalAddress, kRouter1);
    EXPECT_EQ(mapping.externalPort, 1721);
    EXPECT_EQ(mapping.leaseSeconds, 3600u);
    SendFromOutside(1721, "after the mapper went");
    EXPECT_EQ(callSocket->Receive(700), "");
}

TEST_F(PortMapperLab, RenewKeepsAMappingBeyondItsFirstLease) {
    InNamespace home(Ns("h1a"));  // left last: the mappers go from inside the home
    ASSERT_TRUE(home.Entered());
    PortMapper::Options options;
    options.leaseSeconds = 6;
    PortMapper::Options natPmpOptions = options;
    natPmpOptions.useUpnp = false;
    UdpSocket renewedSocket(1722);
    UdpSocket lapsedSocket(1723);
    UdpSocket natPmpSocket(1724);
    PortMapper renewed(options);
    PortMapper lapsed(options);
    PortMapper natPmpRenewed(natPmpOptions);
    ASSERT_EQ(lapsed.Map(1723).leaseSeconds, 6u);
    ASSERT_EQ(natPmpRenewed.Map(1724).method, MappingMethod::kNatPmp);
    ASSERT_EQ(renewed.Map(1722).leaseSeconds, 6u);
    const Clock::time_point granted = Clock::now();
    EXPECT_FALSE(renewed.RenewalDue());
    EXPECT_EQ(renewed.Renew().externalPort, 1722);  // not yet due: nothing asked

    std::this_thread::sleep_until(granted + milliseconds(3100));
    EXPECT_TRUE(renewed.RenewalDue());
    const PortMapping again = renewed.Renew();
    EXPECT_TRUE(again.Valid());
    EXPECT_EQ(again.externalPort, 1722);
    EXPECT_FALSE(renewed.RenewalDue());
    EXPECT_TRUE(natPmpRenewed.RenewalDue());
    EXPECT_EQ(natPmpRenewed.Renew().externalPort, 1724);
    EXPECT_FALSE(natPmpRenewed.RenewalDue());

    // Past the first lease and miniupnpd's clean-up of expired mappings (whole seconds): only
    // the renewed mapping still forwards.
    std::this_thread::sleep_until(granted + milliseconds(7600));
    SendFromOutside(1722, "renewed");
    SendFromOutside(1724, "renewed by NAT-PMP");
    SendFromOutside(1723, "lapsed");
    EXPECT_EQ(renewedSocket.Receive(2000), "renewed");
    EXPECT_EQ(natPmpSocket.Receive(2000), "renewed by NAT-PMP");
    EXPECT_EQ(lapsedSocket.Receive(700), "");
}

TEST_F(PortMapperLab, NoMappingWithinItsBoundWhenNoRouterAnswers) {
    const PortMapper::Options defaults;
    const milliseconds bound(defaults.discoveryMs + defaults.natPmpMs + 1500);
    InNamespace home(Ns("h2a"));
    ASSERT_TRUE(home.Entered());
    PortMapper mapper;

    // A router without a mapping service: SSDP goes unanswered, NAT-PMP is refused.
    Clock::time_point start = Clock::now();
    EXPECT_FALSE(mapper.Map(1720).Valid());
    EXPECT_LT(Clock::now() - start, bound);

    // A router that drops NAT-PMP silently: the mapper gives up at its own deadline.
    int status = 0;
    const std::string drop =
        "ip netns exec " + Ns("r2") + " iptables -I INPUT -i lan0 -p udp --dport 5351 -j DROP 2>&1";
    const std::string output = RunShell(drop, &status);
    ASSERT_EQ(status, 0) << output;
    start = Clock::now();
    EXPECT_FALSE(mapper.Map(1720).Valid());
    const auto took = Clock::now() - start;
    EXPECT_GE(took, milliseconds(defaults.natPmpMs));
    EXPECT_LT(took, bound);

    start = Clock::now();
    EXPECT_FALSE(mapper.Renew(true).Valid());
    mapper.Remove();
    EXPECT_LT(Clock::now() - start, milliseconds(100));
}

TEST_F(PortMapperLab, AComputerWithoutAGatewayHasNothingToAsk) {
    InNamespace bare(Ns("pub"));  // a bridge and no address or route of its own
    ASSERT_TRUE(bare.Entered());
    PortMapper mapper;
    const Clock::time_point start = Clock::now();
    EXPECT_FALSE(mapper.Map(1720).Valid());
    EXPECT_LT(Clock::now() - start, milliseconds(100));
}

}  // namespace
