// The pages with the rendezvous on: what clients with the extension get, and that every other
// request gets exactly the reply of a service without it.

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <regex>
#include <thread>

#include "directory/server/Directory.h"
#include "directory/server/PgRendezvous.h"
#include "directory/server/RendezvousRegistry.h"
#include "directory/server/tests/TestDatabase.h"

namespace {

sockaddr_in Address(const char* text) {
    sockaddr_in a{};
    EXPECT_TRUE(ParseEndpoint(text, &a)) << text;
    return a;
}

// Two services over fresh databases of one backend, with one clock: one with the rendezvous
// (and relay credentials), one without.
class RendezvousPages : public ::testing::TestWithParam<Backend> {
  protected:
    void SetUp() override {
        static int counter = 0;
        std::string error;
        ASSERT_TRUE(m_rvDb.Create(GetParam(), "rvp" + std::to_string(counter), &error)) << error;
        ASSERT_TRUE(m_plainDb.Create(GetParam(), "plp" + std::to_string(counter++), &error))
            << error;
        m_rvStore = m_rvDb.Open(&error);
        m_plainStore = m_plainDb.Open(&error);
        ASSERT_TRUE(m_rvStore && m_plainStore) << error;
        // The registry beside presence: in memory with SQLite, in the database with PostgreSQL.
        if (GetParam() == Backend::Postgres) {
            m_owned = PgRendezvousRegistry::Open(m_rvDb.db(), 2, &error);
        } else {
            m_owned = std::make_unique<MemoryRendezvousRegistry>();
        }
        ASSERT_TRUE(m_owned) << error;
        DirectoryOptions o;
        o.hashCost = HashCost::Min;
        o.clock = [this] { return m_now.load(); };
        o.advertise = "127.0.0.1:8080";
        m_plain = std::make_unique<Directory>(*m_plainStore, o);
        o.rendezvous = m_owned.get();
        o.rendezvousAdvertise = "127.0.0.1:3478";
        o.turnServer = "127.0.0.1:3479";
        o.turnSecret = "relay secret";
        m_rv = std::make_unique<Directory>(*m_rvStore, o);
        m_owned->SetNoticeSink([this](const CallNoticeOrder& order) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_orders.push_back(order);
        });
    }
    // The registry's listening thread ends before what its notices go to.
    void TearDown() override {
        m_rv.reset();
        m_owned.reset();
    }
    HttpReply On(Directory& d, const std::string& target) {
        HttpRequest r;
        r.method = "GET";
        r.target = target;
        r.peer = "127.0.0.1";
        return d.Handle(r);
    }
    std::string Ask(const std::string& target) { return On(*m_rv, target).body; }
    // The same request to both services.
    void Both(const std::string& target) {
        On(*m_rv, target);
        On(*m_plain, target);
    }
    void Account(const std::string& user) { Both("/register.asp?User=" + user + "&Pass=pw"); }
    // A heartbeat with the extension; gives the key from its reply.
    std::string Announce(const std::string& user, const std::string& more = "") {
        std::string reply =
            Ask("/zorvo\\iamup.asp?User=" + user + "&Pass=pw&IPAddr=LAN&Caps=rv1" + more);
        size_t at = reply.find("rvkey=");
        EXPECT_NE(at, std::string::npos) << reply;
        std::optional<std::string> key = stun::FromHex(reply.substr(at + 6));
        return key.value_or("");
    }
    // The notices ordered so far, once there are at least `count` (or two seconds passed: with
    // PostgreSQL they come through the database).
    std::vector<CallNoticeOrder> Orders(size_t count = 0) {
        for (int i = 0; i < 200; ++i) {
            {
                std::lock_guard<std::mutex> lock(m_lock);
                if (m_orders.size() >= count) {
                    return m_orders;
                }
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::lock_guard<std::mutex> lock(m_lock);
        return m_orders;
    }

    std::atomic<int64_t> m_now{1700000000};
    TestDatabase m_rvDb;
    std::unique_ptr<RendezvousRegistry> m_owned;
    TestDatabase m_plainDb;
    std::unique_ptr<Storage> m_rvStore;
    std::unique_ptr<Storage> m_plainStore;
    std::unique_ptr<Directory> m_rv;
    std::unique_ptr<Directory> m_plain;
    std::mutex m_lock;
    std::vector<CallNoticeOrder> m_orders;
};

TEST_P(RendezvousPages, RequestsWithoutCapsGetTheRepliesOfAServiceWithoutTheExtension) {
    for (const char* user : {"alice", "bob", "carol"}) {
        Account(user);
        Both(std::string("/zorvo\\logmein.asp?User=") + user + "&Pass=pw&IPAddr=LAN");
    }
    // bob and carol have the extension and are registered with the rendezvous.
    for (const char* user : {"bob", "carol"}) {
        Both(std::string("/zorvo\\iamup.asp?User=") + user +
             "&Pass=pw&IPAddr=198.51.100.7&Caps=rv1&Local=10.0.1.2%3A1720");
        ASSERT_EQ(m_owned->Register(user, Address("198.51.100.7:40000"), m_now, 1),
                  StoreResult::Ok);
    }
    const std::vector<std::string> targets = {
        "/zorvo\\iamup.asp?User=alice&Pass=pw&IPAddr=LAN",
        "/zorvo\\iamup.asp?User=alice&Pass=pw&IPAddr=LAN&Local=10.0.1.2%3A1720&Mapped=1.2.3.4%3A9",
        "/zorvo\\iamup.asp?User=alice&Pass=pw&IPAddr=LAN&Caps=rv2",
        "/zorvo\\iamup.asp?User=alice&Pass=pw&IPAddr=LAN&Caps=",
        "/zorvo\\iamup.asp?User=alice&Pass=wrong&IPAddr=LAN",
        "/zorvo\\iamup.asp?User=alice&Pass=pw&IPAddr=LAN&IPAddr=LAN",
        "/zorvo\\GetUserList.asp?User=alice&Pass=pw&buddy=bob&buddy=carol&buddy=dave",
        "/zorvo\\GetUserList.asp?User=bob&Pass=pw&buddy=carol&buddy=alice",
        "/zorvo\\GetUserList.asp?User=alice&Pass=wrong&buddy=bob",
        "/zorvo\\logmein.asp?User=alice&Pass=pw&IPAddr=LAN&Local=10.0.1.2%3A1720",
        "/zorvo\\logmein.asp?User=alice&Pass=pw&IPAddr=bad",
        "/zorvo\\SyncBList.asp?User=alice&Pass=pw&buddy=bob",
        "/zorvo\\logmeoff.asp?User=carol&Pass=pw",
        "/zorvo\\GetUserList.asp?User=alice&Pass=pw&buddy=bob&buddy=carol",
    };
    std::vector<std::string> replies;
    for (const std::string& target : targets) {
        HttpReply with = On(*m_rv, target);
        HttpReply without = On(*m_plain, target);
        EXPECT_EQ(with.status, without.status) << target;
        EXPECT_EQ(with.body, without.body) << target;
        EXPECT_EQ(with.contentType, without.contentType) << target;
        replies.push_back(with.body);
    }
    // And those replies are today's.
    EXPECT_EQ(replies[0], "+OK");
    EXPECT_EQ(replies[1], "+OK");
    EXPECT_EQ(replies[6], "+OK bob 198.51.100.7 carol 198.51.100.7");
    EXPECT_EQ(replies[13], "+OK bob 198.51.100.7");
}

TEST_P(RendezvousPages, HeartbeatWithCapsTellsTheRendezvousAndAKeyKeptWhileOnline) {
    Account("alice");
    ASSERT_EQ(Ask("/zorvo\\logmein.asp?User=alice&Pass=pw&IPAddr=LAN&Caps=rv1"), "+OK ");
    std::string reply =
        Ask("/zorvo\\iamup.asp?User=alice&Pass=pw&IPAddr=LAN&Caps=rv1&Local=10.0.1.2%3A1720"
            "&Mapped=198.51.100.7%3A1720");
    EXPECT_TRUE(
        std::regex_match(reply, std::regex("\\+OK rv=127\\.0\\.0\\.1:3478 rvkey=[0-9a-f]{32}")))
        << reply;
    const std::string key = *stun::FromHex(reply.substr(reply.size() - 32));
    RendezvousPeer peer;
    ASSERT_EQ(m_owned->Find("alice", m_now, &peer), StoreResult::Ok);
    EXPECT_EQ(peer.key, key);
    ASSERT_TRUE(peer.local && peer.mapped);
    EXPECT_EQ(EndpointText(*peer.local), "10.0.1.2:1720");
    EXPECT_EQ(EndpointText(*peer.mapped), "198.51.100.7:1720");

    // Kept through heartbeats (capabilities among others, in any key of several); a malformed
    // address is left out without refusing the heartbeat.
    m_now += 100;
    EXPECT_EQ(Announce("alice", "&Local=10.0.1.2"), key);
    EXPECT_EQ(Announce("alice", "&Caps=zz&Local=10.0.1.300%3A1"), key);
    ASSERT_EQ(m_owned->Find("alice", m_now, &peer), StoreResult::Ok);
    EXPECT_FALSE(peer.local.has_value());
    EXPECT_EQ(Ask("/zorvo\\iamup.asp?User=alice&Pass=pw&IPAddr=LAN&Caps=x%2Crv1,y").substr(0, 6),
              "+OK rv");

    // A new presence gets a new key: after a new login, and after the presence lapsed.
    ASSERT_EQ(Ask("/zorvo\\logmein.asp?User=alice&Pass=pw&IPAddr=LAN&Caps=rv1"), "+OK ");
    const std::string second = Announce("alice");
    EXPECT_NE(second, key);
    m_now += 121;
    const std::string third = Announce("alice");
    EXPECT_NE(third, second);
    EXPECT_EQ(third.size(), 16u);
    ASSERT_EQ(Ask("/zorvo\\logmeoff.asp?User=alice&Pass=pw&IPAddr=LAN"), "+OK");
    EXPECT_EQ(m_owned->Find("alice", 0, &peer), StoreResult::NotFound);
}

TEST_P(RendezvousPages, OnlineListMarksBuddiesWithAKeepAliveInTheLastMinute) {
    for (const char* user : {"alice", "bob", "carol"}) {
        Account(user);
        Announce(user);
    }
    Ask("/zorvo\\iamup.asp?User=carol&Pass=pw&IPAddr=198.51.100.9&Caps=rv1");
    ASSERT_EQ(m_owned->Register("bob", Address("198.51.100.7:40000"), m_now, 1), StoreResult::Ok);
    const std::string list =
        "/zorvo\\GetUserList.asp?User=alice&Pass=pw&buddy=bob&buddy=carol&Caps=rv1";
    EXPECT_EQ(Ask(list), "+OK bob LAN/rv carol 198.51.100.9");
    m_now += 61;
    Announce("bob");
    EXPECT_EQ(Ask(list), "+OK bob LAN carol 198.51.100.9");
}

// The words of a reply after "+OK", by key; a key that comes again adds a value.
std::multimap<std::string, std::string> Words(const std::string& reply) {
    std::multimap<std::string, std::string> out;
    size_t pos = reply.find(' ');
    while (pos != std::string::npos) {
        size_t end = reply.find(' ', pos + 1);
        std::string word = reply.substr(pos + 1, end == std::string::npos ? end : end - pos - 1);
        size_t eq = word.find('=');
        out.emplace(word.substr(0, eq), eq == std::string::npos ? "" : word.substr(eq + 1));
        pos = end;
    }
    return out;
}

TEST_P(RendezvousPages, CallPageGivesTokenKeyCandidatesAndCredentialsAndOrdersTheNotice) {
    for (const char* user : {"alice", "bob"}) {
        Account(user);
    }
    Announce("alice", "&Local=10.0.1.2%3A1720&Mapped=198.51.100.7%3A1720");
    const std::string bobKey = Announce("bob", "&Local=192.168.5.9%3A1720");
    const std::string call = "/zorvo\\CallBuddy.asp?User=alice&Pass=pw&Buddy=Bob&Caps=rv1";
    // Neither is registered yet; then only alice.
    EXPECT_EQ(Ask(call).substr(0, 5), "-ERR ");
    ASSERT_EQ(m_owned->Register("alice", Address("198.51.100.7:50001"), m_now, 1), StoreResult::Ok);
    EXPECT_EQ(Ask(call), "-ERR bob is not online through the rendezvous");
    ASSERT_EQ(m_owned->Register("bob", Address("203.0.113.4:61000"), m_now, 1), StoreResult::Ok);
    EXPECT_TRUE(Orders().empty());

    std::string reply = Ask(call);
    ASSERT_EQ(reply.substr(0, 4), "+OK ") << reply;
    auto words = Words(reply);
    ASSERT_EQ(words.count("token"), 1u);
    const std::string token = *stun::FromHex(words.find("token")->second);
    ASSERT_EQ(token.size(), 16u);
    EXPECT_EQ(words.find("key")->second, stun::ToHex(stun::HmacSha256(bobKey, token)));
    auto [from, to] = words.equal_range("cand");
    std::vector<std::string> candidates;
    for (auto it = from; it != to; ++it) {
        candidates.push_back(it->second);
    }
    EXPECT_EQ(candidates,
              (std::vector<std::string>{"local:192.168.5.9:1720", "public:203.0.113.4:61000"}));
    EXPECT_EQ(words.find("turn")->second, "127.0.0.1:3479");
    const std::string user = words.find("tuser")->second;
    EXPECT_EQ(user, std::to_string(m_now + 600) + ":alice");
    EXPECT_EQ(words.find("tpass")->second, stun::SharedSecretPassword("relay secret", user));

    // bob's notice: the token and alice's candidates in the order to probe them.
    std::vector<CallNoticeOrder> orders = Orders(1);
    ASSERT_EQ(orders.size(), 1u);
    EXPECT_EQ(orders[0].callee, "bob");
    EXPECT_EQ(orders[0].caller, "alice");
    EXPECT_EQ(orders[0].token, token);
    ASSERT_EQ(orders[0].candidates.size(), 3u);
    EXPECT_EQ(orders[0].candidates[0].kind, stun::CandidateKind::kLocal);
    EXPECT_EQ(EndpointText(orders[0].candidates[1].address), "198.51.100.7:1720");
    EXPECT_EQ(EndpointText(orders[0].candidates[2].address), "198.51.100.7:50001");

    // Refusals: the password in the heartbeat's form; a caller with too many calls at once.
    EXPECT_EQ(Ask("/zorvo\\CallBuddy.asp?User=alice&Pass=no&Buddy=bob").substr(0, 5), "#ERR ");
    EXPECT_EQ(Ask("/zorvo\\CallBuddy.asp?User=alice&Pass=pw&Buddy=b%2Fb").substr(0, 5), "-ERR ");
    for (int i = 1; i < kTokensPerCaller; ++i) {
        EXPECT_EQ(Ask(call).substr(0, 4), "+OK ");
    }
    EXPECT_EQ(Ask(call), "-ERR too many calls at once; try again later");
    m_now += kTokenSeconds;
    EXPECT_EQ(Ask(call).substr(0, 4), "+OK ");
    EXPECT_EQ(On(*m_plain, call).body.substr(0, 5), "-ERR ");
}

INSTANTIATE_TEST_SUITE_P(Backends, RendezvousPages,
                         ::testing::Values(Backend::Sqlite, Backend::Postgres),
                         [](const ::testing::TestParamInfo<Backend>& info) {
                             return BackendName(info.param);
                         });

}  // namespace
