#pragma once

// The call protocol's datagram record.
//
// Every UDP datagram between two engines is one record: a 13-byte header followed by `length`
// payload bytes. All integers are little-endian and are written and read byte by byte, so the
// layout never depends on the host or on struct packing.
//
//   offset 0  4 bytes  signature "QVX" and a NUL
//   offset 4  1 byte   type
//   offset 5  4 bytes  sampleCount (1600 in a voice frame, 0 otherwise)
//   offset 9  4 bytes  length of the payload
//   offset 13          payload

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>

enum ZorvoMsgType : uint8_t {
    MSG_CONNECT_REQUEST = 1,
    MSG_ACCEPT = 2,
    MSG_VOICE = 3,
    MSG_HANGUP = 4,
    MSG_REJECT = 7,
    MSG_RINGING = 8,
    MSG_R_U_THERE = 9,
    MSG_I_AM_HERE = 16,
    // Only between engines that both announced kCapEncrypt (docs/encryption.md):
    MSG_KEY = 32,     // the caller's half of the key agreement
    MSG_SEALED = 33,  // any other record, encrypted and authenticated
};

namespace zorvo::wire {

constexpr std::size_t kHeaderSize = 13;
constexpr std::size_t kConnectPayload = 45;   // bytes of a connect request's payload sent
constexpr std::size_t kNameOffsetOfOne = 16;  // connect request: payload bytes 16..19 hold 1
constexpr std::size_t kMaxUserName = 63;      // characters of the local name kept
constexpr std::size_t kRemoteNameBytes = 32;  // payload bytes the callee takes the name from
// Capabilities an engine may announce in a connect request, in payload bytes no callee reads as
// the name: 'Z', 'C', the version 1, then the bit set (docs/nat-traversal.md).
constexpr std::size_t kCapabilityOffset = 32;
constexpr uint8_t kCapabilityVersion = 1;
constexpr uint8_t kCapRendezvous = 0x01;  // rendezvous, probes, relay, path keep-alives
constexpr uint8_t kCapEncrypt = 0x02;     // the speech encrypted end to end
// With kCapEncrypt, payload bytes 36 to 43 of the connect request carry the caller's call nonce,
// which the callee's signature covers.
constexpr std::size_t kCallNonceOffset = 36;
constexpr std::size_t kCallNonceBytes = 8;
constexpr std::size_t kProbePayload = 25;    // tick value in bytes 0..3, then zeros
constexpr std::size_t kBlockSamples = 160;   // one codec block: 160 samples ...
constexpr std::size_t kBlockBytes = 33;      // ... in 33 bytes
constexpr std::size_t kFrameSamples = 1600;  // one 200 ms frame
constexpr std::size_t kFrameBytes = kFrameSamples * 2;
constexpr std::size_t kVoicePayload = kFrameSamples / kBlockSamples * kBlockBytes;  // 330
constexpr std::size_t kSetupBufferSize = 1024;  // handshake and probe records are built here
constexpr std::size_t kCallBufferSize = 32768;  // receive buffer during a call

inline void PutU32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
    p[2] = static_cast<uint8_t>(v >> 16);
    p[3] = static_cast<uint8_t>(v >> 24);
}

inline uint32_t GetU32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

}  // namespace zorvo::wire

// A record laid out in a byte buffer exactly as it travels. The view owns nothing. `size` is what
// the buffer holds: its capacity while a record is built, the bytes received when one is read, so
// that nothing is ever read past what arrived.
class ZorvoMsg {
  public:
    ZorvoMsg(uint8_t* bytes, std::size_t size) : m_bytes(bytes), m_size(size) {}

    uint8_t* Bytes() { return m_bytes; }
    const uint8_t* Bytes() const { return m_bytes; }
    std::size_t Size() const { return m_size; }

    // Bytes 0 to 3 read as a NUL-terminated string equal "QVX".
    bool HasSignature() const {
        return m_size >= 4 && m_bytes[0] == 'Q' && m_bytes[1] == 'V' && m_bytes[2] == 'X' &&
               m_bytes[3] == 0;
    }
    bool HasHeader() const { return m_size >= zorvo::wire::kHeaderSize; }
    // A record that can be judged: the signature and the whole header arrived.
    bool IsWellFormed() const { return HasSignature() && HasHeader(); }

    uint8_t Type() const { return m_size > 4 ? m_bytes[4] : 0; }
    uint32_t SampleCount() const { return HasHeader() ? zorvo::wire::GetU32(m_bytes + 5) : 0; }
    uint32_t Length() const { return HasHeader() ? zorvo::wire::GetU32(m_bytes + 9) : 0; }

    void SetSignature() {
        m_bytes[0] = 'Q';
        m_bytes[1] = 'V';
        m_bytes[2] = 'X';
        m_bytes[3] = 0;
    }
    void SetType(uint8_t type) { m_bytes[4] = type; }
    void SetSampleCount(uint32_t count) { zorvo::wire::PutU32(m_bytes + 5, count); }
    void SetLength(uint32_t length) { zorvo::wire::PutU32(m_bytes + 9, length); }

    uint8_t* Data() { return m_bytes + zorvo::wire::kHeaderSize; }
    const uint8_t* Data() const { return m_bytes + zorvo::wire::kHeaderSize; }
    // Payload bytes the buffer holds: room to build into, or payload that actually arrived.
    std::size_t DataSize() const {
        return m_size > zorvo::wire::kHeaderSize ? m_size - zorvo::wire::kHeaderSize : 0;
    }

    // Bytes the record occupies on the wire: the header and `length` payload bytes.
    std::size_t WireSize() const { return zorvo::wire::kHeaderSize + Length(); }

    // The tick value of a probe or a probe reply (payload bytes 0 to 3), 0 when they did not
    // arrive.
    uint32_t TickValue() const { return DataSize() >= 4 ? zorvo::wire::GetU32(Data()) : 0; }

  private:
    uint8_t* m_bytes;
    std::size_t m_size;
};

namespace zorvo::wire {

// Zero-fills `capacity` bytes and writes a header with `type`, no samples and `length`. Returns
// the record's wire size, or 0 when the buffer cannot hold it.
inline std::size_t BuildRecord(uint8_t* buffer, std::size_t capacity, uint8_t type,
                               uint32_t length = 0) {
    if (capacity < kHeaderSize + length) {
        return 0;
    }
    std::memset(buffer, 0, capacity);
    ZorvoMsg msg(buffer, capacity);
    msg.SetSignature();
    msg.SetType(type);
    msg.SetLength(length);
    return msg.WireSize();
}

// A connect request: the user name (at most 63 characters) as a NUL-terminated string from payload
// byte 0, then the value 1 written over payload bytes 16 to 19; 45 payload bytes are sent, so the
// record is 58 bytes whatever the name's length.
// With `capabilities` not 0 the capability marker is written over payload bytes 32 to 35 (which
// only a name of 32 or more characters reaches, and which no callee reads as the name), and with
// `nonce` given its kCallNonceBytes bytes over payload bytes 36 to 43.
inline std::size_t BuildConnectRequest(uint8_t* buffer, std::size_t capacity, const char* userName,
                                       uint8_t capabilities = 0, const uint8_t* nonce = nullptr) {
    const std::size_t room = kHeaderSize + kMaxUserName + 1;
    if (capacity < room ||
        BuildRecord(buffer, capacity, MSG_CONNECT_REQUEST, kConnectPayload) == 0) {
        return 0;
    }
    uint8_t* payload = buffer + kHeaderSize;
    const std::size_t nameLength = userName ? strnlen(userName, kMaxUserName) : 0;
    std::memcpy(payload, userName ? userName : "", nameLength);
    payload[nameLength] = 0;
    PutU32(payload + kNameOffsetOfOne, 1);
    if (capabilities != 0) {
        uint8_t* marker = payload + kCapabilityOffset;
        marker[0] = 'Z';
        marker[1] = 'C';
        marker[2] = kCapabilityVersion;
        marker[3] = capabilities;
        if (nonce != nullptr) {
            std::memcpy(payload + kCallNonceOffset, nonce, kCallNonceBytes);
        }
    }
    return kHeaderSize + kConnectPayload;
}

// The capabilities a received connect request announces; 0 when it carries no marker.
inline uint8_t ConnectRequestCapabilities(const ZorvoMsg& request) {
    if (request.DataSize() < kCapabilityOffset + 4) {
        return 0;
    }
    const uint8_t* marker = request.Data() + kCapabilityOffset;
    if (marker[0] != 'Z' || marker[1] != 'C' || marker[2] != kCapabilityVersion) {
        return 0;
    }
    return marker[3];
}

// The call nonce of a received connect request (`out` receives kCallNonceBytes bytes); false when
// the request is too short to hold one.
inline bool ConnectRequestNonce(const ZorvoMsg& request, uint8_t* out) {
    if (request.DataSize() < kCallNonceOffset + kCallNonceBytes) {
        return false;
    }
    std::memcpy(out, request.Data() + kCallNonceOffset, kCallNonceBytes);
    return true;
}

// A probe (MSG_R_U_THERE) or a probe reply (MSG_I_AM_HERE) carrying a tick value.
inline std::size_t BuildProbe(uint8_t* buffer, std::size_t capacity, uint8_t type, uint32_t tick) {
    const std::size_t size = BuildRecord(buffer, capacity, type, kProbePayload);
    if (size != 0) {
        PutU32(buffer + kHeaderSize, tick);
    }
    return size;
}

// The caller's name from a received connect request: the first 32 payload bytes that arrived, cut
// at the first NUL, or at 31 characters when they hold none. A name of 16 or more characters has
// the value 1 at byte 16; the name is also cut at any control character, so such a name shows as
// its first 16 characters instead of carrying the marker byte. `out` receives 32 bytes.
inline void ConnectRequestName(const ZorvoMsg& request, char (&out)[kRemoteNameBytes]) {
    const std::size_t available = std::min(request.DataSize(), kRemoteNameBytes - 1);
    std::memset(out, 0, sizeof out);
    for (std::size_t i = 0; i < available; ++i) {
        const uint8_t c = request.Data()[i];
        if (c < 0x20 || c == 0x7F) {
            break;
        }
        out[i] = static_cast<char>(c);
    }
}

}  // namespace zorvo::wire
