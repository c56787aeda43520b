#pragma once

// The cryptography of an encrypted call (docs/encryption.md), all of it from libsodium: the
// user's long-term identity key (Ed25519), the per-call key agreement (ephemeral X25519, each half
// signed with the identity key) and the sealing of records (ChaCha20-Poly1305 with a counter).
// Nothing here touches a socket.

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "engine/Export.h"
#include "wire/SecureRecords.h"

using PublicKey = std::array<uint8_t, zorvo::wire::kPublicKeyBytes>;
using CallNonce = std::array<uint8_t, zorvo::wire::kCallNonceBytes>;

// A user's long-term identity: kept as its 32-byte seed, from which both keys follow.
struct VOXLANE_API IdentityKey {
    static constexpr std::size_t kSeedBytes = 32;

    // A new random identity.
    static IdentityKey Generate();
    // The identity a kept seed gives; empty unless `seed` is kSeedBytes bytes.
    static std::optional<IdentityKey> FromSeed(const std::string& seed);

    std::string Seed() const;  // the kSeedBytes bytes to keep
    PublicKey publicKey{};
    std::array<uint8_t, 64> secretKey{};  // libsodium's signing key: seed and public key
};

// Lower-case hexadecimal of a public key, and back (empty for anything but 64 hex digits).
VOXLANE_API std::string KeyHex(const PublicKey& key);
VOXLANE_API std::optional<PublicKey> KeyFromHex(const std::string& hex);

// What both sides of a call end up with once the key agreement succeeded.
struct CallKeys {
    std::array<uint8_t, 32> send{};     // seals what this side sends
    std::array<uint8_t, 32> receive{};  // opens what the peer sends
    std::string sas;                    // six digits "123 456", equal on both sides
    PublicKey peerIdentity{};           // the identity key the peer signed with
};

// One call's key agreement. The callee's half is signed over the caller's nonce and its own
// ephemeral key; the caller's half, over the nonce and both ephemeral keys, so the caller can
// give its half only after it took the callee's. Used by one thread at a time.
class VOXLANE_API KeyAgreement {
  public:
    enum class Role { kCaller, kCallee };

    // Makes a fresh ephemeral key pair; a caller also makes its nonce.
    KeyAgreement(Role role, const IdentityKey& identity);
    ~KeyAgreement();
    KeyAgreement(const KeyAgreement&) = delete;
    KeyAgreement& operator=(const KeyAgreement&) = delete;

    const CallNonce& Nonce() const { return m_nonce; }
    // Callee: the nonce from the caller's connect request.
    void SetNonce(const CallNonce& nonce) { m_nonce = nonce; }

    // This side's signed half; a caller's only after TakePeerHalf succeeded.
    std::optional<zorvo::wire::KeyHalf> OwnHalf() const;
    // Checks the peer's signature and derives the call's keys; false (and no keys) when the
    // signature does not verify or the peer's ephemeral key is unusable.
    bool TakePeerHalf(const zorvo::wire::KeyHalf& peer);
    const std::optional<CallKeys>& Keys() const { return m_keys; }

  private:
    // What a callee's half signs: the callee label, the nonce and its ephemeral key.
    std::string CalleeSignedText(const PublicKey& calleeEphemeral) const;
    // What a caller's half signs: the caller label, the nonce, the callee's ephemeral key and its
    // own, so that the caller's signature covers the whole exchange.
    std::string CallerSignedText(const PublicKey& calleeEphemeral,
                                 const PublicKey& callerEphemeral) const;
    bool Derive(const zorvo::wire::KeyHalf& peer);

    Role m_role;
    const IdentityKey& m_identity;
    PublicKey m_ephemeralPublic{};
    std::array<uint8_t, 32> m_ephemeralSecret{};
    CallNonce m_nonce{};
    std::optional<zorvo::wire::KeyHalf> m_peer;
    std::optional<CallKeys> m_keys;
};

// Seals the records one side sends and opens those it receives. Seal may run on any thread (the
// counter is atomic); Open runs on the one thread that reads the call. A record opens only when
// its tag verifies and its counter is above every counter opened before: forgeries, replays,
// truncated and late (reordered) records are dropped and counted.
class VOXLANE_API RecordCipher {
  public:
    explicit RecordCipher(const CallKeys& keys);
    ~RecordCipher();
    RecordCipher(const RecordCipher&) = delete;
    RecordCipher& operator=(const RecordCipher&) = delete;

    // Writes the sealed form of the `size`-byte record into `out`; its wire size, or 0 when `out`
    // cannot hold it.
    std::size_t Seal(const uint8_t* record, std::size_t size, uint8_t* out, std::size_t capacity);
    // Opens the sealed record of `*size` bytes in `buffer` in place: true with the inner record at
    // the start of `buffer` and its size in `*size`; false (counted) when it does not open.
    bool Open(uint8_t* buffer, uint32_t* size);
    // Records dropped: not opening, or plain records the caller counted through CountDropped.
    uint64_t Dropped() const { return m_dropped.load(); }
    void CountDropped() { m_dropped.fetch_add(1); }

  private:
    bool Drop() {
        CountDropped();
        return false;
    }

    std::array<uint8_t, 32> m_send{};
    std::array<uint8_t, 32> m_receive{};
    std::atomic<uint64_t> m_sent{0};
    uint64_t m_highestOpened = 0;
    std::atomic<uint64_t> m_dropped{0};
};
