#pragma once

// The records of an encrypted call (docs/encryption.md). They travel only between two engines
// that both announced kCapEncrypt: a caller that did not announce it never receives one.
//
// Key half: the payload of the callee's MSG_RINGING and MSG_ACCEPT, and of the caller's MSG_KEY.
//   offset 0    'Z' 'K' 1 0
//   offset 4    32 bytes  the sender's ephemeral X25519 public key
//   offset 36   32 bytes  the sender's Ed25519 identity public key
//   offset 68   64 bytes  the sender's Ed25519 signature (what it covers: docs/encryption.md)
//   132 bytes in all.
//
// Sealed record (MSG_SEALED, sampleCount 0): the payload is
//   offset 0    8 bytes   the sender's record counter, little-endian, from 1
//   offset 8    the inner record (header and payload) encrypted with ChaCha20-Poly1305
//   last 16     the authentication tag, over the outer header and the counter as well

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <optional>

#include "wire/ZorvoMsg.h"

namespace zorvo::wire {

constexpr std::size_t kPublicKeyBytes = 32;
constexpr std::size_t kSignatureBytes = 64;
constexpr uint8_t kKeyHalfVersion = 1;
constexpr std::size_t kKeyHalfPayload = 4 + 2 * kPublicKeyBytes + kSignatureBytes;  // 132

constexpr std::size_t kSealedCounterBytes = 8;
constexpr std::size_t kSealedTagBytes = 16;
// Bytes a sealed record adds to the inner record it carries: header, counter and tag.
constexpr std::size_t kSealedOverhead = kHeaderSize + kSealedCounterBytes + kSealedTagBytes;

// One side's half of the key agreement.
struct KeyHalf {
    std::array<uint8_t, kPublicKeyBytes> ephemeral{};
    std::array<uint8_t, kPublicKeyBytes> identity{};
    std::array<uint8_t, kSignatureBytes> signature{};
};

// Writes a record of `type` carrying `half`; its wire size, 0 when the buffer is too small.
inline std::size_t BuildKeyRecord(uint8_t* buffer, std::size_t capacity, uint8_t type,
                                  const KeyHalf& half) {
    const std::size_t size =
        BuildRecord(buffer, capacity, type, static_cast<uint32_t>(kKeyHalfPayload));
    if (size == 0) {
        return 0;
    }
    uint8_t* p = buffer + kHeaderSize;
    p[0] = 'Z';
    p[1] = 'K';
    p[2] = kKeyHalfVersion;
    p[3] = 0;
    std::memcpy(p + 4, half.ephemeral.data(), kPublicKeyBytes);
    std::memcpy(p + 4 + kPublicKeyBytes, half.identity.data(), kPublicKeyBytes);
    std::memcpy(p + 4 + 2 * kPublicKeyBytes, half.signature.data(), kSignatureBytes);
    return size;
}

// The key half a received record carries; empty when it carries none (a plain MSG_RINGING or
// MSG_ACCEPT) or its payload did not fully arrive.
inline std::optional<KeyHalf> ReadKeyHalf(const ZorvoMsg& record) {
    if (record.Length() < kKeyHalfPayload || record.DataSize() < kKeyHalfPayload) {
        return std::nullopt;
    }
    const uint8_t* p = record.Data();
    if (p[0] != 'Z' || p[1] != 'K' || p[2] != kKeyHalfVersion) {
        return std::nullopt;
    }
    KeyHalf half;
    std::memcpy(half.ephemeral.data(), p + 4, kPublicKeyBytes);
    std::memcpy(half.identity.data(), p + 4 + kPublicKeyBytes, kPublicKeyBytes);
    std::memcpy(half.signature.data(), p + 4 + 2 * kPublicKeyBytes, kSignatureBytes);
    return half;
}

}  // namespace zorvo::wire
