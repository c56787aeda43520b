#include "stun/StunMessage.h"

#include <arpa/inet.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using stun::Builder;
using stun::Class;
using stun::Message;

// RFC 5769 section 2.1: a Binding request with short-term credentials.
const std::vector<uint8_t> kSampleRequest = {
    0x00, 0x01, 0x00, 0x58, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86,
    0xfa, 0x87, 0xdf, 0xae, 0x80, 0x22, 0x00, 0x10, 0x53, 0x54, 0x55, 0x4e, 0x20, 0x74, 0x65, 0x73,
    0x74, 0x20, 0x63, 0x6c, 0x69, 0x65, 0x6e, 0x74, 0x00, 0x24, 0x00, 0x04, 0x6e, 0x00, 0x01, 0xff,
    0x80, 0x29, 0x00, 0x08, 0x93, 0x2f, 0xf9, 0xb1, 0x51, 0x26, 0x3b, 0x36, 0x00, 0x06, 0x00, 0x09,
    0x65, 0x76, 0x74, 0x6a, 0x3a, 0x68, 0x36, 0x76, 0x59, 0x20, 0x20, 0x20, 0x00, 0x08, 0x00, 0x14,
    0x9a, 0xea, 0xa7, 0x0c, 0xbf, 0xd8, 0xcb, 0x56, 0x78, 0x1e, 0xf2, 0xb5, 0xb2, 0xd3, 0xf2, 0x49,
    0xc1, 0xb5, 0x71, 0xa2, 0x80, 0x28, 0x00, 0x04, 0xe5, 0x7a, 0x3b, 0xcf};

// RFC 5769 section 2.2: the Binding success answering it, mapped address 192.0.2.1:32853.
const std::vector<uint8_t> kSampleResponse = {
    0x01, 0x01, 0x00, 0x3c, 0x21, 0x12, 0xa4, 0x42, 0xb7, 0xe7, 0xa7, 0x01, 0xbc, 0x34, 0xd6, 0x86,
    0xfa, 0x87, 0xdf, 0xae, 0x80, 0x22, 0x00, 0x0b, 0x74, 0x65, 0x73, 0x74, 0x20, 0x76, 0x65, 0x63,
    0x74, 0x6f, 0x72, 0x20, 0x00, 0x20, 0x00, 0x08, 0x00, 0x01, 0xa1, 0x47, 0xe1, 0x12, 0xa6, 0x43,
    0x00, 0x08, 0x00, 0x14, 0x2b, 0x91, 0xf5, 0x99, 0xfd, 0x9e, 0x90, 0xc3, 0x8c, 0x74, 0x89, 0xf9,
    0x2a, 0xf9, 0xba, 0x53, 0xf0, 0x6b, 0xe7, 0xd7, 0x80, 0x28, 0x00, 0x04, 0xc0, 0x7d, 0x4c, 0x96};

const std::string kSampleKey = "VOkJxbRl1RmTxUk/WvJxBt";

sockaddr_in Address(const char* ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

std::optional<Message> Parse(const std::vector<uint8_t>& bytes) {
    return Message::Parse(bytes.data(), bytes.size());
}

std::string Text(const std::vector<uint8_t>& bytes) {
    return std::string(bytes.begin(), bytes.end());
}

TEST(StunMessage, TheRfc5769SampleRequestAndResponseParseAndCheck) {
    const auto request = Parse(kSampleRequest);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->Method(), stun::kBinding);
    EXPECT_EQ(request->Kind(), Class::kRequest);
    EXPECT_EQ(request->Find(stun::kUsername), "evtj:h6vY");
    EXPECT_EQ(request->Find(stun::kSoftware), "STUN test client");
    EXPECT_EQ(request->U32(0x0024), 0x6e0001ffu);  // PRIORITY
    EXPECT_TRUE(request->HasIntegrity());
    EXPECT_TRUE(request->CheckIntegrity(kSampleKey));
    EXPECT_FALSE(request->CheckIntegrity("VOkJxbRl1RmTxUk/WvJxBu"));
    EXPECT_TRUE(request->CheckFingerprint());

    const auto response = Parse(kSampleResponse);
    ASSERT_TRUE(response);
    EXPECT_EQ(response->Method(), stun::kBinding);
    EXPECT_EQ(response->Kind(), Class::kSuccess);
    EXPECT_EQ(response->Transaction(), request->Transaction());
    EXPECT_EQ(response->Find(stun::kSoftware), "test vector");
    const auto mapped = response->XorAddress(stun::kXorMappedAddress);
    ASSERT_TRUE(mapped);
    EXPECT_EQ(ntohs(mapped->sin_port), 32853);
    EXPECT_EQ(ntohl(mapped->sin_addr.s_addr), 0xC0000201u);  // 192.0.2.1
    EXPECT_TRUE(response->CheckIntegrity(kSampleKey));
    EXPECT_TRUE(response->CheckFingerprint());
    EXPECT_TRUE(stun::LooksLikeStun(kSampleResponse.data(), kSampleResponse.size()));
}

TEST(StunMessage, BuiltMessagesParseBackWithEveryAttributeAndTheRightTypeBits) {
    const auto id = stun::NewTransactionId();
    EXPECT_NE(id, stun::NewTransactionId());
    const sockaddr_in peer = Address("203.0.113.9", 40001);
    const stun::Candidate local{stun::CandidateKind::kLocal, Address("10.0.1.2", 1720)};
    const stun::Candidate relayed{stun::CandidateKind::kRelayed, Address("198.51.100.7", 50123)};
    Builder b(stun::kCallNotice, Class::kRequest, id);
    b.Text(stun::kZorvoCaller, "alice")  // 5 bytes: padded
        .Bytes(stun::kZorvoToken, std::string(16, '\x5a'))
        .AddCandidate(local)
        .AddCandidate(relayed)
        .XorAddress(stun::kXorPeerAddress, peer)
        .U32(stun::kLifetime, 600)
        .Error(438, "Stale Nonce")
        .Integrity("key")
        .Fingerprint();
    // CallNotice 0x0A1 as a request interleaves to 0x0241.
    EXPECT_EQ(b.Bytes()[0], 0x02);
    EXPECT_EQ(b.Bytes()[1], 0x41);
    EXPECT_EQ(b.Bytes().size() % 4, 0u);

    const auto m = Parse(b.Bytes());
    ASSERT_TRUE(m);
    EXPECT_EQ(m->Method(), stun::kCallNotice);
    EXPECT_EQ(m->Kind(), Class::kRequest);
    EXPECT_EQ(m->Transaction(), id);
    EXPECT_EQ(m->Find(stun::kZorvoCaller), "alice");
    EXPECT_EQ(m->Find(stun::kZorvoToken), std::string(16, '\x5a'));
    const auto candidates = m->Candidates();
    ASSERT_EQ(candidates.size(), 2u);
    EXPECT_EQ(candidates[0].kind, stun::CandidateKind::kLocal);
    EXPECT_EQ(candidates[0].address.sin_addr.s_addr, local.address.sin_addr.s_addr);
    EXPECT_EQ(candidates[0].address.sin_port, local.address.sin_port);
    EXPECT_EQ(candidates[1].kind, stun::CandidateKind::kRelayed);
    EXPECT_EQ(candidates[1].address.sin_addr.s_addr, relayed.address.sin_addr.s_addr);
    const auto xpeer = m->XorAddress(stun::kXorPeerAddress);
    ASSERT_TRUE(xpeer);
    EXPECT_EQ(xpeer->sin_addr.s_addr, peer.sin_addr.s_addr);
    EXPECT_EQ(xpeer->sin_port, peer.sin_port);
    EXPECT_EQ(m->U32(stun::kLifetime), 600u);
    EXPECT_EQ(m->ErrorCode(), 438);
    EXPECT_EQ(m->ErrorReason(), "Stale Nonce");
    EXPECT_TRUE(m->CheckIntegrity("key"));
    EXPECT_FALSE(m->CheckIntegrity("kez"));
    EXPECT_TRUE(m->CheckFingerprint());
    EXPECT_FALSE(m->XorAddress(stun::kXorRelayedAddress));
    const auto span = m->Locate(stun::kZorvoCaller);
    ASSERT_TRUE(span);
    EXPECT_EQ(Text(b.Bytes()).substr(span->first, span->second), "alice");

    // The class bits of the other kinds, as RFC 8489 and RFC 8656 list them.
    const std::vector<std::pair<std::pair<uint16_t, Class>, uint16_t>> types = {
        {{stun::kBinding, Class::kSuccess}, 0x0101},
        {{stun::kAllocate, Class::kError}, 0x0113},
        {{stun::kSend, Class::kIndication}, 0x0016},
        {{stun::kData, Class::kIndication}, 0x0017},
        {{stun::kCreatePermission, Class::kSuccess}, 0x0108},
        {{stun::kRelayOffer, Class::kError}, 0x0352}};
    for (const auto& [kind, type] : types) {
        const auto bytes = Builder(kind.first, kind.second, id).Bytes();
        EXPECT_EQ((bytes[0] << 8) | bytes[1], type);
        const auto back = Parse(bytes);
        ASSERT_TRUE(back);
        EXPECT_EQ(back->Method(), kind.first);
        EXPECT_EQ(back->Kind(), kind.second);
    }
}

TEST(StunMessage, TamperingWithAnyCoveredByteBreaksIntegrityAndFingerprint) {
    Builder b(stun::kBinding, Class::kRequest, stun::NewTransactionId());
    b.Text(stun::kUsername, "0123456789abcdef").Integrity("probe key").Fingerprint();
    const auto& good = b.Bytes();
    const std::size_t fingerprintAt = good.size() - 4;  // the CRC-32 itself
    for (std::size_t i = 0; i < good.size(); ++i) {
        auto bad = good;
        bad[i] ^= 0x01;
        const auto m = Parse(bad);
        if (i >= fingerprintAt) {
            // FINGERPRINT is outside what MESSAGE-INTEGRITY covers.
            ASSERT_TRUE(m) << i;
            EXPECT_TRUE(m->CheckIntegrity("probe key")) << i;
            EXPECT_FALSE(m->CheckFingerprint()) << i;
        } else if (m) {
            EXPECT_FALSE(m->CheckIntegrity("probe key") && m->CheckFingerprint()) << i;
            EXPECT_FALSE(m->CheckFingerprint()) << i;
        }
    }
    // Attributes after MESSAGE-INTEGRITY are not trusted.
    Builder late(stun::kBinding, Class::kRequest, stun::NewTransactionId());
    late.Integrity("k").Text(stun::kUsername, "mallory").Fingerprint();
    const auto m = Parse(late.Bytes());
    ASSERT_TRUE(m);
    EXPECT_TRUE(m->CheckIntegrity("k"));
    EXPECT_TRUE(m->CheckFingerprint());
    EXPECT_FALSE(m->Find(stun::kUsername));
}

TEST(StunMessage, TruncatedOversizedAndMalformedDatagramsAreRefused) {
    Builder b(stun::kAllocate, Class::kRequest, stun::NewTransactionId());
    b.U32(stun::kRequestedTransport, 17u << 24).Text(stun::kSoftware, "zorvo").Fingerprint();
    const auto good = b.Bytes();
    ASSERT_TRUE(Parse(good));
    for (std::size_t n = 0; n < good.size(); ++n) {
        EXPECT_FALSE(Message::Parse(good.data(), n)) << n;
    }
    auto longer = good;
    longer.resize(good.size() + 4, 0);
    EXPECT_FALSE(Parse(longer)) << "length field shorter than the datagram";

    auto edit = [&](std::size_t at, uint8_t value) {
        auto bad = good;
        bad[at] = value;
        return Parse(bad);
    };
    EXPECT_FALSE(edit(3, static_cast<uint8_t>(good[3] + 4))) << "length beyond the datagram";
    EXPECT_FALSE(edit(3, static_cast<uint8_t>(good[3] - 1))) << "length not a multiple of 4";
    EXPECT_FALSE(edit(0, 0x40)) << "top bits set";
    EXPECT_FALSE(edit(4, 0x22)) << "wrong cookie";
    EXPECT_FALSE(edit(23, 0x1D)) << "attribute beyond the message";
    EXPECT_FALSE(edit(23, 0xFF)) << "attribute far beyond the message";
    EXPECT_FALSE(edit(good.size() - 5, 0x00)) << "FINGERPRINT of the wrong size";
    EXPECT_FALSE(Message::Parse(nullptr, 0));

    // Nothing may follow FINGERPRINT.
    Builder after(stun::kBinding, Class::kIndication, stun::NewTransactionId());
    after.Fingerprint().Text(stun::kSoftware, "x");
    EXPECT_FALSE(Parse(after.Bytes()));
    // A value of the wrong size decodes to nothing rather than to garbage.
    Builder odd(stun::kBinding, Class::kSuccess, stun::NewTransactionId());
    odd.Bytes(stun::kXorMappedAddress, "\x00\x01\x12")
        .Bytes(stun::kLifetime, "abc")
        .Bytes(stun::kErrorCode, "\x00")
        .Bytes(stun::kZorvoCandidate, std::string("\x09\x01\x00\x00\x00\x00\x00\x00", 8));
    const auto m = Parse(odd.Bytes());
    ASSERT_TRUE(m);
    EXPECT_FALSE(m->XorAddress(stun::kXorMappedAddress));
    EXPECT_FALSE(m->U32(stun::kLifetime));
    EXPECT_EQ(m->ErrorCode(), 0);
    EXPECT_TRUE(m->Candidates().empty());
    EXPECT_FALSE(m->HasIntegrity());
    EXPECT_FALSE(m->CheckIntegrity(""));
    EXPECT_FALSE(m->CheckFingerprint());
}

TEST(StunMessage, CredentialHelpersMatchKnownValues) {
    EXPECT_EQ(stun::ToHex(stun::LongTermKey("1700000000:alice", "zorvo.test", "pw")),
              "1c6eea3d8bb9becc7aed3328592f7732");
    EXPECT_EQ(stun::SharedSecretPassword("sekrit", "1700000000:alice"),
              "qicIgfR+IBFR4/g4weuEVByS9aw=");
    // RFC 4231 test case 2.
    EXPECT_EQ(stun::ToHex(stun::HmacSha256("Jefe", "what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(stun::FromHex("00ff7Aa0"), std::string("\x00\xff\x7a\xa0", 4));
    EXPECT_FALSE(stun::FromHex("abc"));
    EXPECT_FALSE(stun::FromHex("zz"));
    EXPECT_EQ(stun::ToHex(std::string("\x00\xff", 2)), "00ff");
}

}  // namespace
