// The rendezvous's handling of datagrams with a clock the test moves: what it answers, what it
// sends unasked and when, and what it refuses to do.

#include "directory/server/RendezvousHandler.h"

#include <gtest/gtest.h>

#include <atomic>

namespace {

sockaddr_in Address(const char* text) {
    sockaddr_in a{};
    EXPECT_TRUE(ParseEndpoint(text, &a)) << text;
    return a;
}

class HandlerTest : public ::testing::Test {
  protected:
    HandlerTest() {
        m_registry.SetNoticeSink([this](const CallNoticeOrder& o) { m_handler.Order(o); });
    }
    RendezvousSettings Settings() {
        RendezvousSettings s;
        s.clock = [this] { return m_now.load(); };
        return s;
    }
    // A user that announced the extension; gives its key.
    std::string Present(const std::string& name) {
        std::string key;
        EXPECT_EQ(m_registry.Announce(name, Announcement{}, m_now, m_now - 120, &key),
                  StoreResult::Ok);
        return key;
    }
    std::vector<OutDatagram> Feed(const std::vector<uint8_t>& bytes, const sockaddr_in& from) {
        std::vector<OutDatagram> out;
        m_handler.OnDatagram(bytes.data(), bytes.size(), from, m_ms, &out);
        return out;
    }
    std::vector<OutDatagram> Tick() {
        std::vector<OutDatagram> out;
        m_handler.OnTimer(m_ms, &out);
        return out;
    }
    static std::vector<uint8_t> KeepAlive(const std::string& name, const std::string& key,
                                          uint64_t number = 0) {
        stun::Builder b(stun::kBinding, stun::Class::kRequest, stun::NewTransactionId());
        b.Text(stun::kUsername, name);
        if (number != 0) {
            b.U64(stun::kZorvoSequence, number);
        }
        b.Integrity(key).Fingerprint();
        return b.Bytes();
    }
    std::string RegisteredAt(const std::string& name) {
        RendezvousPeer peer;
        if (m_registry.Find(name, m_now - 120, &peer) != StoreResult::Ok || !peer.source) {
            return "";
        }
        return EndpointText(*peer.source);
    }
    static std::vector<uint8_t> RelayOffer(const std::string& name, const std::string& key,
                                           const std::string& token) {
        stun::Builder b(stun::kRelayOffer, stun::Class::kRequest, stun::NewTransactionId());
        b.Text(stun::kUsername, name).Bytes(stun::kZorvoToken, token);
        b.AddCandidate({stun::CandidateKind::kRelayed, Address("203.0.113.50:49152")});
        b.Integrity(key).Fingerprint();
        return b.Bytes();
    }
    std::string Token(const std::string& caller, const std::string& callee) {
        CallToken t{RandomBytes(kTokenBytes), caller, callee, m_now + kTokenSeconds, std::nullopt};
        EXPECT_EQ(m_registry.AddToken(t, m_now), StoreResult::Ok);
        return t.token;
    }

    std::atomic<int64_t> m_now{1700000000};
    int64_t m_ms = 5000;
    MemoryRendezvousRegistry m_registry;
    RendezvousHandler m_handler{m_registry, Settings()};
};

TEST_F(HandlerTest, OnlyPlainBindingsAndKeepAlivesWithTheRightKeyAreAnswered) {
    const sockaddr_in from = Address("198.51.100.7:40000");
    stun::Builder plain(stun::kBinding, stun::Class::kRequest, stun::NewTransactionId());
    std::vector<OutDatagram> out = Feed(plain.Bytes(), from);
    ASSERT_EQ(out.size(), 1u);
    auto answer = stun::Message::Parse(out[0].bytes.data(), out[0].bytes.size());
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Kind(), stun::Class::kSuccess);
    EXPECT_EQ(EndpointText(*answer->XorAddress(stun::kXorMappedAddress)), "198.51.100.7:40000");
    EXPECT_TRUE(answer->CheckFingerprint());
    EXPECT_FALSE(answer->HasIntegrity());
    EXPECT_EQ(EndpointText(out[0].to), "198.51.100.7:40000");

    const std::string key = Present("alice");
    const std::string bobKey = Present("bob");
    EXPECT_TRUE(Feed(KeepAlive("alice", bobKey), from).empty());
    EXPECT_TRUE(Feed(KeepAlive("nobody", key), from).empty());
    EXPECT_TRUE(Feed(KeepAlive("alice", RandomBytes(16)), from).empty());
    // The same request as a success or an indication, or cut short, is no request at all.
    std::vector<uint8_t> good = KeepAlive("alice", key);
    EXPECT_TRUE(Feed(std::vector<uint8_t>(good.begin(), good.end() - 8), from).empty());
    EXPECT_TRUE(Feed({0x01, 0x01, 0, 0}, from).empty());
    std::vector<bool> registered;
    m_registry.Registered({"alice"}, m_now - 60, &registered);
    EXPECT_FALSE(registered[0]);

    out = Feed(good, from);
    ASSERT_EQ(out.size(), 1u);
    answer = stun::Message::Parse(out[0].bytes.data(), out[0].bytes.size());
    ASSERT_TRUE(answer);
    EXPECT_TRUE(answer->CheckIntegrity(key));
    EXPECT_EQ(EndpointText(*answer->XorAddress(stun::kXorMappedAddress)), "198.51.100.7:40000");
    m_registry.Registered({"alice", "bob"}, m_now - 60, &registered);
    EXPECT_EQ(registered, (std::vector<bool>{true, false}));

    // The key dies with the presence: two minutes later it registers nothing.
    m_now += 121;
    EXPECT_TRUE(Feed(KeepAlive("alice", key), from).empty());
}

TEST_F(HandlerTest, ACopiedKeepAliveFromAnotherAddressDoesNotMoveTheRegistration) {
    const std::string key = Present("alice");
    const sockaddr_in home = Address("198.51.100.7:40000");
    const sockaddr_in forged = Address("192.0.2.66:1720");
    const std::vector<uint8_t> captured = KeepAlive("alice", key, 1000);
    ASSERT_EQ(Feed(captured, home).size(), 1u);
    ASSERT_EQ(Feed(KeepAlive("alice", key, 1001), home).size(), 1u);
    // Someone on the path sends the captured one again from elsewhere: nothing moves.
    EXPECT_TRUE(Feed(captured, forged).empty());
    EXPECT_EQ(RegisteredAt("alice"), "198.51.100.7:40000");
    // The client's router gave it a new mapping: its next keep-alive moves the registration.
    ASSERT_EQ(Feed(KeepAlive("alice", key, 1002), Address("198.51.100.7:40001")).size(), 1u);
    EXPECT_EQ(RegisteredAt("alice"), "198.51.100.7:40001");
}

TEST_F(HandlerTest, NoticesGoFourTimesAQuarterSecondApartUntilTheCalleeAcknowledges) {
    const std::string bobKey = Present("bob");
    const sockaddr_in bob = Address("203.0.113.4:61000");
    ASSERT_EQ(Feed(KeepAlive("bob", bobKey), bob).size(), 1u);
    m_handler.Order({"bob", RandomBytes(16), "alice", {}});
    // Unregistered users get no notice at all.
    m_handler.Order({"carol", RandomBytes(16), "alice", {}});
    std::vector<int64_t> sent;
    std::vector<uint8_t> first;
    for (int step = 0; step < 20; ++step, m_ms += 50) {
        for (const OutDatagram& d : Tick()) {
            EXPECT_EQ(EndpointText(d.to), "203.0.113.4:61000");
            sent.push_back(m_ms);
            first = d.bytes;
        }
    }
    EXPECT_EQ(sent, (std::vector<int64_t>{5000, 5250, 5500, 5750}));
    auto notice = stun::Message::Parse(first.data(), first.size());
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->Method(), stun::kCallNotice);
    EXPECT_TRUE(notice->CheckIntegrity(bobKey));

    // An acknowledgement with the right key ends the notice; one with another key does not.
    m_handler.Order({"bob", RandomBytes(16), "alice", {}});
    std::vector<OutDatagram> out = Tick();
    ASSERT_EQ(out.size(), 1u);
    notice = stun::Message::Parse(out[0].bytes.data(), out[0].bytes.size());
    stun::Builder wrong(stun::kCallNotice, stun::Class::kSuccess, notice->Transaction());
    wrong.Integrity(RandomBytes(16)).Fingerprint();
    EXPECT_TRUE(Feed(wrong.Bytes(), bob).empty());
    m_ms += 250;
    EXPECT_EQ(Tick().size(), 1u);
    stun::Builder ack(stun::kCallNotice, stun::Class::kSuccess, notice->Transaction());
    ack.Integrity(bobKey).Fingerprint();
    EXPECT_TRUE(Feed(ack.Bytes(), bob).empty());
    EXPECT_EQ(m_handler.NextDue(), INT64_MAX);
    m_ms += 1000;
    EXPECT_TRUE(Tick().empty());
}

TEST_F(HandlerTest, RelayOffersAreForwardedOnlyUnderTheCallersOwnUnexpiredToken) {
    const std::string aliceKey = Present("alice");
    const std::string bobKey = Present("bob");
    const sockaddr_in alice = Address("198.51.100.7:50001");
    const sockaddr_in bob = Address("203.0.113.4:61000");
    Feed(KeepAlive("bob", bobKey), bob);
    const std::string own = Token("alice", "bob");
    const std::string later = Token("alice", "bob");
    const std::string foreign = Token("carol", "bob");

    EXPECT_TRUE(Feed(RelayOffer("alice", aliceKey, foreign), alice).empty());
    EXPECT_TRUE(Feed(RelayOffer("alice", bobKey, own), alice).empty());
    EXPECT_TRUE(Feed(RelayOffer("alice", aliceKey, RandomBytes(16)), alice).empty());
    EXPECT_TRUE(Tick().empty());

    std::vector<OutDatagram> out = Feed(RelayOffer("alice", aliceKey, own), alice);
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(EndpointText(out[0].to), "198.51.100.7:50001");
    auto answer = stun::Message::Parse(out[0].bytes.data(), out[0].bytes.size());
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Kind(), stun::Class::kSuccess);
    EXPECT_TRUE(answer->CheckIntegrity(aliceKey));
    out = Tick();
    ASSERT_EQ(out.size(), 1u);
    EXPECT_EQ(EndpointText(out[0].to), "203.0.113.4:61000");
    auto notice = stun::Message::Parse(out[0].bytes.data(), out[0].bytes.size());
    ASSERT_TRUE(notice);
    EXPECT_EQ(notice->Find(stun::kZorvoToken), own);
    EXPECT_EQ(notice->Find(stun::kZorvoCaller), "alice");
    ASSERT_EQ(notice->Candidates().size(), 1u);
    EXPECT_EQ(notice->Candidates()[0].kind, stun::CandidateKind::kRelayed);
    stun::Builder ack(stun::kCallNotice, stun::Class::kSuccess, notice->Transaction());
    ack.Integrity(bobKey).Fingerprint();
    Feed(ack.Bytes(), bob);

    // The offer again (its answer was lost): answered, no second notice.
    EXPECT_EQ(Feed(RelayOffer("alice", aliceKey, own), alice).size(), 1u);
    EXPECT_TRUE(Tick().empty());
    // Thirty seconds on, alice's other token is no good any more.
    m_now += kTokenSeconds;
    EXPECT_TRUE(Feed(RelayOffer("alice", aliceKey, later), alice).empty());
    EXPECT_TRUE(Tick().empty());
}

TEST_F(HandlerTest, AFloodFromOneAddressGetsNoMoreThanItsBudget) {
    const sockaddr_in flood = Address("198.51.100.66:1000");
    stun::Builder plain(stun::kBinding, stun::Class::kRequest, stun::NewTransactionId());
    size_t answered = 0;
    for (int i = 0; i < 10000; ++i) {
        answered += Feed(plain.Bytes(), flood).size();
    }
    EXPECT_EQ(answered, 200u);
    // Another address is not held back by it; the flooding one gets its rate back in time.
    EXPECT_EQ(Feed(plain.Bytes(), Address("198.51.100.67:1000")).size(), 1u);
    m_ms += 1000;
    answered = 0;
    for (int i = 0; i < 10000; ++i) {
        answered += Feed(plain.Bytes(), flood).size();
    }
    EXPECT_EQ(answered, 100u);
}

}  // namespace

namespace {

TEST(RendezvousCounts, RelayedCallsAreCountedApartFromTheCallsThatRang) {
    MemoryRendezvousRegistry registry;
    RendezvousHandler handler(registry, RendezvousSettings{});
    const stun::Candidate punched{stun::CandidateKind::kPublic, Address("198.51.100.7:1720")};
    const stun::Candidate relayed{stun::CandidateKind::kRelayed, Address("203.0.113.50:49152")};
    handler.Order(CallNoticeOrder{"bob", RandomBytes(kTokenBytes), "alice", {punched}});
    handler.Order(CallNoticeOrder{"carol", RandomBytes(kTokenBytes), "alice", {punched}});
    handler.Order(CallNoticeOrder{"carol", RandomBytes(kTokenBytes), "alice", {relayed}});
    const RendezvousHandler::Counts counts = handler.TakeCounts();
    EXPECT_EQ(counts.calls, 2u);
    EXPECT_EQ(counts.relayed, 1u);
    EXPECT_EQ(handler.TakeCounts().calls, 0u);  // taken: the next report starts from nothing
}

}  // namespace
