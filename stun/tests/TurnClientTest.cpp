// The relay client driven by hand-built server answers, with time passed in: the retransmission
// schedule, the 401 and 438 exchanges, and what it consumes.
#include "stun/TurnClient.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using stun::Builder;
using stun::Class;
using stun::Message;
using stun::TurnClient;

sockaddr_in Address(const char* ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

const sockaddr_in kServer = Address("127.0.0.1", 3478);
const std::string kUser = "1700000600:alice";
const std::string kPassword = "secret password";
const std::string kRealm = "zorvo.test";

// The one datagram Poll gives at that time, parsed.
Message PollOne(TurnClient& client, int64_t now) {
    const auto out = client.Poll(now);
    EXPECT_EQ(out.size(), 1u) << "at " << now;
    if (out.empty()) {
        return *Message::Parse(Builder(0, Class::kRequest, {}).Bytes().data(), 20);
    }
    const auto m = Message::Parse(out[0].data(), out[0].size());
    EXPECT_TRUE(m);
    EXPECT_TRUE(m->CheckFingerprint());
    return *m;
}

bool Feed(TurnClient& client, const Builder& answer, int64_t now,
          const sockaddr_in& from = kServer) {
    const auto& bytes = answer.Bytes();
    return client.Receive(bytes.data(), bytes.size(), from, now);
}

TEST(TurnClient, AllocatesThroughTheCredentialExchangeAndRetransmitsOnSchedule) {
    TurnClient client(kServer, kUser, kPassword);
    EXPECT_FALSE(client.Due());
    EXPECT_FALSE(client.Permit(Address("127.0.0.1", 9), 0)) << "nothing to permit before";
    ASSERT_TRUE(client.Allocate(1000));
    EXPECT_FALSE(client.Allocate(1000));
    EXPECT_EQ(client.Due(), 1000);

    const Message first = PollOne(client, 1000);
    EXPECT_EQ(first.Method(), stun::kAllocate);
    EXPECT_EQ(first.U32(stun::kRequestedTransport), 17u << 24);
    EXPECT_FALSE(first.Find(stun::kUsername));
    EXPECT_TRUE(client.Poll(1249).empty());
    EXPECT_EQ(client.Due(), 1250);
    EXPECT_EQ(PollOne(client, 1250).Transaction(), first.Transaction()) << "a retransmission";

    // A response from elsewhere or to another transaction changes nothing.
    Builder challenge(stun::kAllocate, Class::kError, first.Transaction());
    challenge.Error(401, "Unauthorized").Text(stun::kRealm, kRealm).Text(stun::kNonce, "n1");
    EXPECT_FALSE(Feed(client, challenge, 1300, Address("127.0.0.1", 3479)));
    EXPECT_TRUE(Feed(client,
                     Builder(stun::kAllocate, Class::kError, stun::NewTransactionId())
                         .Error(401, "Unauthorized")
                         .Text(stun::kRealm, kRealm)
                         .Text(stun::kNonce, "n0"),
                     1300));
    EXPECT_EQ(client.Due(), 1500);

    EXPECT_TRUE(Feed(client, challenge, 1300));
    const std::string key = stun::LongTermKey(kUser, kRealm, kPassword);
    const Message second = PollOne(client, 1300);
    EXPECT_NE(second.Transaction(), first.Transaction());
    EXPECT_EQ(second.Find(stun::kUsername), kUser);
    EXPECT_EQ(second.Find(stun::kRealm), kRealm);
    EXPECT_EQ(second.Find(stun::kNonce), "n1");
    EXPECT_TRUE(second.CheckIntegrity(key));

    Builder stale(stun::kAllocate, Class::kError, second.Transaction());
    stale.Error(438, "Stale Nonce").Text(stun::kRealm, kRealm).Text(stun::kNonce, "n2");
    EXPECT_TRUE(Feed(client, stale, 1400));
    const Message third = PollOne(client, 1400);
    EXPECT_EQ(third.Find(stun::kNonce), "n2");
    EXPECT_TRUE(third.CheckIntegrity(key));

    const sockaddr_in relayed = Address("127.0.0.1", 49160);
    const sockaddr_in mapped = Address("127.0.0.1", 40000);
    auto success = [&](std::string_view withKey) {
        Builder b(stun::kAllocate, Class::kSuccess, third.Transaction());
        b.XorAddress(stun::kXorRelayedAddress, relayed)
            .XorAddress(stun::kXorMappedAddress, mapped)
            .U32(stun::kLifetime, 600)
            .Integrity(withKey)
            .Fingerprint();
        return b;
    };
    EXPECT_TRUE(Feed(client, success("not the key"), 1450)) << "consumed, but not believed";
    EXPECT_EQ(client.GetState(), TurnClient::State::kAllocating);
    EXPECT_TRUE(Feed(client, success(key), 1460));
    ASSERT_EQ(client.GetState(), TurnClient::State::kAllocated);
    EXPECT_EQ(client.Relayed()->sin_port, relayed.sin_port);
    EXPECT_EQ(client.Mapped()->sin_port, mapped.sin_port);
    EXPECT_EQ(client.Lifetime(), 600u);
    EXPECT_FALSE(client.Due());
    EXPECT_TRUE(Feed(client, success(key), 1470)) << "a late duplicate is still the client's";

    // A permission nobody answers: sent kMaxSends times, kRetransmitMs apart, then failed.
    const sockaddr_in peer = Address("127.0.0.2", 5000);
    ASSERT_TRUE(client.Permit(peer, 2000));
    EXPECT_EQ(client.PermissionOutcome(peer), TurnClient::Outcome::kPending);
    int64_t now = 2000;
    for (int i = 0; i < TurnClient::kMaxSends; ++i, now += TurnClient::kRetransmitMs) {
        const Message p = PollOne(client, now);
        EXPECT_EQ(p.Method(), stun::kCreatePermission);
        EXPECT_EQ(p.XorAddress(stun::kXorPeerAddress)->sin_addr.s_addr, peer.sin_addr.s_addr);
        EXPECT_TRUE(p.CheckIntegrity(key));
    }
    EXPECT_TRUE(client.Poll(now - 1).empty());
    EXPECT_EQ(client.PermissionOutcome(peer), TurnClient::Outcome::kPending);
    EXPECT_TRUE(client.Poll(now).empty());
    EXPECT_EQ(client.PermissionOutcome(peer), TurnClient::Outcome::kFailed);
    EXPECT_NE(client.FailureReason().find("no answer"), std::string::npos);
    EXPECT_EQ(client.GetState(), TurnClient::State::kAllocated);
    EXPECT_FALSE(client.Due());
}

TEST(TurnClient, WrapsSendsAndUnwrapsOnlyDataIndicationsFromTheServer) {
    TurnClient client(kServer, kUser, kPassword);
    const sockaddr_in peer = Address("127.0.0.9", 1720);
    const std::vector<uint8_t> payload = {0, 1, 2, 0xFF, 0x80, 7, 0};  // 7: padded on the wire
    const auto send = TurnClient::WrapSend(peer, payload.data(), payload.size());
    const auto m = Message::Parse(send.data(), send.size());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Method(), stun::kSend);
    EXPECT_EQ(m->Kind(), Class::kIndication);
    EXPECT_EQ(m->XorAddress(stun::kXorPeerAddress)->sin_port, peer.sin_port);
    EXPECT_EQ(m->Find(stun::kData_),
              std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()));

    Builder data(stun::kData, Class::kIndication, stun::NewTransactionId());
    data.XorAddress(stun::kXorPeerAddress, peer)
        .Bytes(stun::kData_,
               std::string_view(reinterpret_cast<const char*>(payload.data()), payload.size()))
        .Fingerprint();
    const auto& bytes = data.Bytes();
    EXPECT_FALSE(client.Receive(bytes.data(), bytes.size(), kServer, 0)) << "left to the caller";
    const auto unwrapped = client.UnwrapData(bytes.data(), bytes.size(), kServer);
    ASSERT_TRUE(unwrapped);
    EXPECT_EQ(unwrapped->peer.sin_addr.s_addr, peer.sin_addr.s_addr);
    EXPECT_EQ(unwrapped->peer.sin_port, peer.sin_port);
    ASSERT_EQ(unwrapped->size, payload.size());
    EXPECT_GE(unwrapped->payload, bytes.data());
    EXPECT_LE(unwrapped->payload + unwrapped->size, bytes.data() + bytes.size());
    EXPECT_EQ(std::vector<uint8_t>(unwrapped->payload, unwrapped->payload + unwrapped->size),
              payload);

    EXPECT_FALSE(client.UnwrapData(bytes.data(), bytes.size(), Address("127.0.0.1", 3477)));
    EXPECT_FALSE(client.UnwrapData(send.data(), send.size(), kServer)) << "not a Data indication";
    EXPECT_FALSE(client.UnwrapData(bytes.data(), bytes.size() - 1, kServer));
    const std::vector<uint8_t> voice(343, 0x42);
    EXPECT_FALSE(client.UnwrapData(voice.data(), voice.size(), kServer));
    EXPECT_FALSE(client.Receive(voice.data(), voice.size(), kServer, 0));
}

TEST(TurnClient, RefusedCredentialsAndExhaustedNoncesEndInFailed) {
    for (const int code : {401, 438, 500}) {
        TurnClient client(kServer, kUser, kPassword);
        client.Allocate(0);
        const Message first = PollOne(client, 0);
        Builder challenge(stun::kAllocate, Class::kError, first.Transaction());
        challenge.Error(401, "Unauthorized").Text(stun::kRealm, kRealm).Text(stun::kNonce, "n");
        Feed(client, challenge, 10);
        for (int round = 0; round < 10 && client.GetState() == TurnClient::State::kAllocating;
             ++round) {
            const Message again = PollOne(client, 20 + round);
            Builder answer(stun::kAllocate, Class::kError, again.Transaction());
            answer.Error(code, "no").Text(stun::kRealm, kRealm).Text(stun::kNonce, "m");
            EXPECT_TRUE(Feed(client, answer, 20 + round));
        }
        EXPECT_EQ(client.GetState(), TurnClient::State::kFailed) << code;
        EXPECT_NE(client.FailureReason().find(std::to_string(code)), std::string::npos)
            << client.FailureReason();
        EXPECT_FALSE(client.Due());
    }
}

}  // namespace
