#pragma once

// STUN messages in the format of RFC 8489 (and the TURN methods and attributes of RFC 8656):
// parsing a received datagram into a checked view, and building messages attribute by attribute.
// Used by the directory's rendezvous, by the engine's path finding and by its relay client.
// Every length read from the network is bounded by what was received.

#include <netinet/in.h>

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace stun {

constexpr uint32_t kMagicCookie = 0x2112A442;
constexpr std::size_t kHeaderSize = 20;

enum Method : uint16_t {
    kBinding = 0x001,
    kAllocate = 0x003,
    kRefresh = 0x004,
    kSend = 0x006,
    kData = 0x007,
    kCreatePermission = 0x008,
    kChannelBind = 0x009,
    // Zorvo's own methods (docs/nat-traversal.md).
    kCallNotice = 0x0A1,
    kRelayOffer = 0x0A2,
};

enum class Class : uint8_t { kRequest = 0, kIndication = 1, kSuccess = 2, kError = 3 };

enum Attribute : uint16_t {
    kMappedAddress = 0x0001,
    kUsername = 0x0006,
    kMessageIntegrity = 0x0008,
    kErrorCode = 0x0009,
    kUnknownAttributes = 0x000A,
    kChannelNumber = 0x000C,
    kLifetime = 0x000D,
    kXorPeerAddress = 0x0012,
    kData_ = 0x0013,
    kRealm = 0x0014,
    kNonce = 0x0015,
    kXorRelayedAddress = 0x0016,
    kRequestedTransport = 0x0019,
    kXorMappedAddress = 0x0020,
    kSoftware = 0x8022,
    kFingerprint = 0x8028,
    // Zorvo's own attributes, in the comprehension-optional range (docs/nat-traversal.md).
    kZorvoToken = 0xC0A1,
    kZorvoCaller = 0xC0A2,
    kZorvoCandidate = 0xC0A3,
    kZorvoSequence = 0xC0A4,  // 8 bytes: a keep-alive's number, rising from one to the next
};

using TransactionId = std::array<uint8_t, 12>;

// A fresh random transaction id.
TransactionId NewTransactionId();

// True when the bytes can only be a STUN message: the two top bits 0, the magic cookie in place,
// a length that is a multiple of 4 and equals what follows the header.
bool LooksLikeStun(const uint8_t* bytes, std::size_t size);

// A candidate address of Zorvo's path finding.
enum class CandidateKind : uint8_t { kLocal = 1, kMapped = 2, kPublic = 3, kRelayed = 4 };
struct Candidate {
    CandidateKind kind = CandidateKind::kPublic;
    sockaddr_in address{};
};

// A received STUN message, checked for structure when parsed: every attribute lies inside the
// message, padded to 4 bytes. The view keeps its own copy of the bytes.
class Message {
  public:
    // Empty when the bytes are not a well-formed STUN message.
    static std::optional<Message> Parse(const uint8_t* bytes, std::size_t size);

    uint16_t Method() const { return m_method; }
    Class Kind() const { return m_class; }
    const TransactionId& Transaction() const { return m_transaction; }

    // The value of the first attribute of that type before MESSAGE-INTEGRITY (attributes after
    // it are ignored, as RFC 8489 says, except FINGERPRINT); empty when there is none.
    std::optional<std::string_view> Find(uint16_t type) const;
    // Every value of that type, in order (with the same rule about MESSAGE-INTEGRITY).
    std::vector<std::string_view> FindAll(uint16_t type) const;
    // Where the value Find returns lies: its offset from the start of the message and its
    // length. The offset is the same in the bytes given to Parse, so a caller can take a view of
    // the value in its own buffer.
    std::optional<std::pair<std::size_t, std::size_t>> Locate(uint16_t type) const;

    // An XOR-encoded IPv4 address attribute (XOR-MAPPED-ADDRESS, XOR-PEER-ADDRESS,
    // XOR-RELAYED-ADDRESS); empty when missing or not IPv4.
    std::optional<sockaddr_in> XorAddress(uint16_t type) const;
    // ZORVO-CANDIDATE attributes that decode; others are skipped.
    std::vector<Candidate> Candidates() const;
    std::optional<uint32_t> U32(uint16_t type) const;
    std::optional<uint64_t> U64(uint16_t type) const;
    // ERROR-CODE as a number (class * 100 + number); 0 when missing.
    int ErrorCode() const;
    // The reason phrase of ERROR-CODE as received (not checked for UTF-8); empty when missing.
    std::string_view ErrorReason() const;

    bool HasIntegrity() const;
    // MESSAGE-INTEGRITY (HMAC-SHA1) checks out with this key.
    bool CheckIntegrity(std::string_view key) const;
    // FINGERPRINT is present and right.
    bool CheckFingerprint() const;

  private:
    struct Attr {
        uint16_t type;
        std::size_t offset;  // of the value, in m_bytes
        uint16_t length;
    };
    std::vector<uint8_t> m_bytes;
    std::vector<Attr> m_attrs;
    uint16_t m_method = 0;
    Class m_class = Class::kRequest;
    TransactionId m_transaction{};
    std::optional<std::size_t> m_integrityAt;    // offset of the MESSAGE-INTEGRITY attribute
    std::optional<std::size_t> m_fingerprintAt;  // offset of the FINGERPRINT attribute
};

// Builds one message. Add attributes in order, then integrity and fingerprint last.
class Builder {
  public:
    Builder(uint16_t method, Class kind, const TransactionId& transaction);

    Builder& Bytes(uint16_t type, std::string_view value);
    Builder& Text(uint16_t type, std::string_view value) { return Bytes(type, value); }
    Builder& U32(uint16_t type, uint32_t value);
    Builder& U64(uint16_t type, uint64_t value);
    Builder& XorAddress(uint16_t type, const sockaddr_in& address);
    Builder& AddCandidate(const Candidate& candidate);
    Builder& Error(int code, std::string_view reason);
    // MESSAGE-INTEGRITY over everything so far (HMAC-SHA1 with key).
    Builder& Integrity(std::string_view key);
    // FINGERPRINT (CRC-32 xor 0x5354554E) over everything so far.
    Builder& Fingerprint();

    const std::vector<uint8_t>& Bytes() const { return m_bytes; }

  private:
    void SetLength();
    std::vector<uint8_t> m_bytes;
};

// Long-term credential key of RFC 8489: MD5(username ":" realm ":" password).
std::string LongTermKey(std::string_view user, std::string_view realm, std::string_view password);
// coturn's shared-secret ("TURN REST") password for a user name: base64(HMAC-SHA1(secret, user)).
std::string SharedSecretPassword(std::string_view secret, std::string_view user);
// HMAC-SHA256(key, data), 32 bytes.
std::string HmacSha256(std::string_view key, std::string_view data);

// Hexadecimal of bytes (lower case) and back; FromHex is empty on any bad digit or odd length.
std::string ToHex(std::string_view bytes);
std::optional<std::string> FromHex(std::string_view hex);

}  // namespace stun
