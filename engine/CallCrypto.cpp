#include "engine/CallCrypto.h"

#include <sodium.h>

#include <cstdio>
#include <cstring>

using namespace zorvo::wire;

namespace {

// libsodium picks its fastest routines once; safe to call from any thread, any number of times.
void EnsureSodium() {
    static const bool ready = sodium_init() >= 0;
    (void)ready;
}

constexpr char kCallerLabel[] = "zorvo e2e1 caller";
constexpr char kCalleeLabel[] = "zorvo e2e1 callee";
constexpr char kTranscriptLabel[] = "zorvo e2e1 transcript";
constexpr char kSasLabel[] = "zorvo e2e1 sas";
constexpr uint32_t kSasModulus = 1000000;  // six decimal digits

void Append(std::string* out, const uint8_t* bytes, std::size_t size) {
    out->append(reinterpret_cast<const char*>(bytes), size);
}

// The record counter as ChaCha20-Poly1305's 96-bit nonce: four zero bytes, then the counter.
// Each direction has its own key, so a nonce never repeats under one key.
std::array<uint8_t, crypto_aead_chacha20poly1305_IETF_NPUBBYTES> CounterNonce(uint64_t counter) {
    std::array<uint8_t, crypto_aead_chacha20poly1305_IETF_NPUBBYTES> nonce{};
    for (std::size_t i = 0; i < kSealedCounterBytes; ++i) {
        nonce[4 + i] = static_cast<uint8_t>(counter >> (8 * i));
    }
    return nonce;
}

uint64_t ReadCounter(const uint8_t* p) {
    uint64_t counter = 0;
    for (std::size_t i = 0; i < kSealedCounterBytes; ++i) {
        counter |= static_cast<uint64_t>(p[i]) << (8 * i);
    }
    return counter;
}

}  // namespace

// --- identity --------------------------------------------------------------------------------

IdentityKey IdentityKey::Generate() {
    EnsureSodium();
    IdentityKey key;
    crypto_sign_keypair(key.publicKey.data(), key.secretKey.data());
    return key;
}

std::optional<IdentityKey> IdentityKey::FromSeed(const std::string& seed) {
    if (seed.size() != kSeedBytes) {
        return std::nullopt;
    }
    EnsureSodium();
    IdentityKey key;
    crypto_sign_seed_keypair(key.publicKey.data(), key.secretKey.data(),
                             reinterpret_cast<const unsigned char*>(seed.data()));
    return key;
}

std::string IdentityKey::Seed() const {
    return std::string(reinterpret_cast<const char*>(secretKey.data()), kSeedBytes);
}

std::string KeyHex(const PublicKey& key) {
    char hex[2 * zorvo::wire::kPublicKeyBytes + 1];
    sodium_bin2hex(hex, sizeof hex, key.data(), key.size());
    return hex;
}

std::optional<PublicKey> KeyFromHex(const std::string& hex) {
    PublicKey key;
    std::size_t length = 0;
    if (hex.size() != 2 * key.size() ||
        sodium_hex2bin(key.data(), key.size(), hex.data(), hex.size(), nullptr, &length, nullptr) !=
            0 ||
        length != key.size()) {
        return std::nullopt;
    }
    return key;
}

// --- key agreement ---------------------------------------------------------------------------

KeyAgreement::KeyAgreement(Role role, const IdentityKey& identity)
    : m_role(role), m_identity(identity) {
    EnsureSodium();
    crypto_box_keypair(m_ephemeralPublic.data(), m_ephemeralSecret.data());
    if (role == Role::kCaller) {
        randombytes_buf(m_nonce.data(), m_nonce.size());
    }
}

KeyAgreement::~KeyAgreement() {
    sodium_memzero(m_ephemeralSecret.data(), m_ephemeralSecret.size());
}

std::string KeyAgreement::CalleeSignedText(const PublicKey& calleeEphemeral) const {
    std::string text = kCalleeLabel;
    Append(&text, m_nonce.data(), m_nonce.size());
    Append(&text, calleeEphemeral.data(), calleeEphemeral.size());
    return text;
}

std::string KeyAgreement::CallerSignedText(const PublicKey& calleeEphemeral,
                                           const PublicKey& callerEphemeral) const {
    std::string text = kCallerLabel;
    Append(&text, m_nonce.data(), m_nonce.size());
    Append(&text, calleeEphemeral.data(), calleeEphemeral.size());
    Append(&text, callerEphemeral.data(), callerEphemeral.size());
    return text;
}

std::optional<KeyHalf> KeyAgreement::OwnHalf() const {
    if (m_role == Role::kCaller && !m_peer) {
        return std::nullopt;
    }
    KeyHalf half;
    half.ephemeral = m_ephemeralPublic;
    half.identity = m_identity.publicKey;
    const std::string text = m_role == Role::kCaller
                                 ? CallerSignedText(m_peer->ephemeral, m_ephemeralPublic)
                                 : CalleeSignedText(m_ephemeralPublic);
    crypto_sign_detached(half.signature.data(), nullptr,
                         reinterpret_cast<const unsigned char*>(text.data()), text.size(),
                         m_identity.secretKey.data());
    return half;
}

bool KeyAgreement::TakePeerHalf(const KeyHalf& peer) {
    // The peer signed in the other role: a callee checks the caller's text and the reverse.
    const std::string text = m_role == Role::kCallee
                                 ? CallerSignedText(m_ephemeralPublic, peer.ephemeral)
                                 : CalleeSignedText(peer.ephemeral);
    if (crypto_sign_verify_detached(peer.signature.data(),
                                    reinterpret_cast<const unsigned char*>(text.data()),
                                    text.size(), peer.identity.data()) != 0) {
        return false;
    }
    return Derive(peer);
}

bool KeyAgreement::Derive(const KeyHalf& peer) {
    std::array<uint8_t, crypto_scalarmult_BYTES> shared{};
    if (crypto_scalarmult(shared.data(), m_ephemeralSecret.data(), peer.ephemeral.data()) != 0) {
        return false;  // a low-order point: no secret would come of it
    }
    const bool caller = m_role == Role::kCaller;
    const KeyHalf own{m_ephemeralPublic, m_identity.publicKey, {}};
    const KeyHalf& callerHalf = caller ? own : peer;
    const KeyHalf& calleeHalf = caller ? peer : own;
    std::string transcript = kTranscriptLabel;
    Append(&transcript, m_nonce.data(), m_nonce.size());
    for (const PublicKey* key : {&callerHalf.ephemeral, &calleeHalf.ephemeral, &callerHalf.identity,
                                 &calleeHalf.identity}) {
        Append(&transcript, key->data(), key->size());
    }
    std::array<uint8_t, 32> digest{};
    crypto_generichash(digest.data(), digest.size(),
                       reinterpret_cast<const unsigned char*>(transcript.data()), transcript.size(),
                       nullptr, 0);
    // Both directions' keys from the shared secret and the transcript; the caller sends with
    // the first half.
    std::array<uint8_t, 64> both{};
    crypto_generichash(both.data(), both.size(), digest.data(), digest.size(), shared.data(),
                       shared.size());
    sodium_memzero(shared.data(), shared.size());
    // The ephemeral secret has done its one job: nothing recorded can be decrypted with it later.
    sodium_memzero(m_ephemeralSecret.data(), m_ephemeralSecret.size());
    CallKeys keys;
    std::memcpy((caller ? keys.send : keys.receive).data(), both.data(), 32);
    std::memcpy((caller ? keys.receive : keys.send).data(), both.data() + 32, 32);
    sodium_memzero(both.data(), both.size());
    // The authentication string depends on the transcript only: a relay that put its own keys in
    // the middle leaves the two sides with different transcripts, and so different strings.
    std::string sasText = kSasLabel;
    Append(&sasText, digest.data(), digest.size());
    std::array<uint8_t, 8> sasHash{};
    crypto_generichash(sasHash.data(), sasHash.size(),
                       reinterpret_cast<const unsigned char*>(sasText.data()), sasText.size(),
                       nullptr, 0);
    const uint32_t number = GetU32(sasHash.data()) % kSasModulus;
    char sas[8];
    std::snprintf(sas, sizeof sas, "%03u %03u", number / 1000, number % 1000);
    keys.sas = sas;
    keys.peerIdentity = peer.identity;
    m_peer = peer;
    m_keys = keys;
    return true;
}

// --- records ---------------------------------------------------------------------------------

RecordCipher::RecordCipher(const CallKeys& keys) : m_send(keys.send), m_receive(keys.receive) {
    EnsureSodium();
}

RecordCipher::~RecordCipher() {
    sodium_memzero(m_send.data(), m_send.size());
    sodium_memzero(m_receive.data(), m_receive.size());
}

std::size_t RecordCipher::Seal(const uint8_t* record, std::size_t size, uint8_t* out,
                               std::size_t capacity) {
    const std::size_t length = kSealedCounterBytes + size + kSealedTagBytes;
    if (BuildRecord(out, capacity, MSG_SEALED, static_cast<uint32_t>(length)) == 0) {
        return 0;
    }
    const uint64_t counter = m_sent.fetch_add(1) + 1;
    uint8_t* payload = out + kHeaderSize;
    const auto nonce = CounterNonce(counter);
    std::memcpy(payload, nonce.data() + 4, kSealedCounterBytes);
    uint8_t* cipher = payload + kSealedCounterBytes;
    // The outer header and the counter are authenticated too.
    crypto_aead_chacha20poly1305_ietf_encrypt_detached(cipher, cipher + size, nullptr, record, size,
                                                       out, kHeaderSize + kSealedCounterBytes,
                                                       nullptr, nonce.data(), m_send.data());
    return kHeaderSize + length;
}

bool RecordCipher::Open(uint8_t* buffer, uint32_t* size) {
    const ZorvoMsg outer(buffer, *size);
    constexpr std::size_t kLeast = kSealedCounterBytes + kHeaderSize + kSealedTagBytes;
    if (!outer.IsWellFormed() || outer.Type() != MSG_SEALED || outer.Length() < kLeast ||
        outer.Length() != outer.DataSize()) {
        return Drop();
    }
    uint8_t* payload = buffer + kHeaderSize;
    const uint64_t counter = ReadCounter(payload);
    if (counter <= m_highestOpened) {
        return Drop();  // replayed, or overtaken by a later record
    }
    const std::size_t innerSize = outer.Length() - kSealedCounterBytes - kSealedTagBytes;
    uint8_t* cipher = payload + kSealedCounterBytes;
    const auto nonce = CounterNonce(counter);
    if (crypto_aead_chacha20poly1305_ietf_decrypt_detached(
            cipher, nullptr, cipher, innerSize, cipher + innerSize, buffer,
            kHeaderSize + kSealedCounterBytes, nonce.data(), m_receive.data()) != 0) {
        return Drop();
    }
    m_highestOpened = counter;
    std::memmove(buffer, cipher, innerSize);
    *size = static_cast<uint32_t>(innerSize);
    return true;
}
