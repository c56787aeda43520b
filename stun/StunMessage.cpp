#include "stun/StunMessage.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <zlib.h>

#include "util/AsciiText.h"

#include <algorithm>
#include <random>

namespace stun {

namespace {

constexpr std::size_t kIntegritySize = 20;   // HMAC-SHA1
constexpr std::size_t kFingerprintSize = 4;  // CRC-32
constexpr uint32_t kFingerprintXor = 0x5354554E;
constexpr uint8_t kFamilyIpv4 = 0x01;
constexpr std::size_t kMaxMessageLength = 0xFFFC;  // the largest multiple of 4 in the length field

uint16_t Read16(const uint8_t* p) {
    return static_cast<uint16_t>((p[0] << 8) | p[1]);
}

uint32_t Read32(const uint8_t* p) {
    return (static_cast<uint32_t>(p[0]) << 24) | (static_cast<uint32_t>(p[1]) << 16) |
           (static_cast<uint32_t>(p[2]) << 8) | static_cast<uint32_t>(p[3]);
}

void Put16(std::vector<uint8_t>& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void Put32(std::vector<uint8_t>& out, uint32_t v) {
    Put16(out, static_cast<uint16_t>(v >> 16));
    Put16(out, static_cast<uint16_t>(v));
}

void Write16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}

std::size_t Padded(std::size_t n) {
    return (n + 3) & ~static_cast<std::size_t>(3);
}

// The message type interleaves the 12 method bits with the two class bits: M0-M3, C0, M4-M6,
// C1, M7-M11 from the lowest bit up.
uint16_t EncodeType(uint16_t method, Class kind) {
    const auto c = static_cast<uint16_t>(kind);
    return static_cast<uint16_t>((method & 0x000F) | ((method & 0x0070) << 1) |
                                 ((method & 0x0F80) << 2) | ((c & 0x1) << 4) | ((c & 0x2) << 7));
}

uint16_t DecodeMethod(uint16_t type) {
    return static_cast<uint16_t>((type & 0x000F) | ((type & 0x00E0) >> 1) | ((type & 0x3E00) >> 2));
}

Class DecodeClass(uint16_t type) {
    return static_cast<Class>(((type >> 4) & 0x1) | ((type >> 7) & 0x2));
}

// Port and IPv4 address XOR-ed with the magic cookie, as XOR-MAPPED-ADDRESS carries them.
void PutXorPortAddress(std::vector<uint8_t>& out, const sockaddr_in& address) {
    Put16(out, static_cast<uint16_t>(ntohs(address.sin_port) ^ (kMagicCookie >> 16)));
    Put32(out, ntohl(address.sin_addr.s_addr) ^ kMagicCookie);
}

sockaddr_in ReadXorPortAddress(const uint8_t* p) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<uint16_t>(Read16(p) ^ (kMagicCookie >> 16)));
    address.sin_addr.s_addr = htonl(Read32(p + 2) ^ kMagicCookie);
    return address;
}

std::string HmacWith(const EVP_MD* md, std::string_view key, const uint8_t* data,
                     std::size_t size) {
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outSize = 0;
    // An empty key or message still needs a valid pointer.
    static const unsigned char kEmpty = 0;
    const void* keyBytes = key.empty() ? static_cast<const void*>(&kEmpty) : key.data();
    const unsigned char* dataBytes = size == 0 ? &kEmpty : data;
    if (HMAC(md, keyBytes, static_cast<int>(key.size()), dataBytes, size, out, &outSize) ==
        nullptr) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(out), outSize);
}

uint32_t Crc32(const uint8_t* data, std::size_t size) {
    return static_cast<uint32_t>(crc32(0L, data, static_cast<uInt>(size)));
}

}  // namespace

TransactionId NewTransactionId() {
    TransactionId id{};
    if (RAND_bytes(id.data(), static_cast<int>(id.size())) != 1) {
        // OpenSSL's generator failing is next to impossible; the id only has to be unpredictable
        // enough to match answers, so the system's entropy source is a fine stand-in.
        std::random_device device;
        for (auto& b : id) {
            b = static_cast<uint8_t>(device());
        }
    }
    return id;
}

bool LooksLikeStun(const uint8_t* bytes, std::size_t size) {
    if (bytes == nullptr || size < kHeaderSize) {
        return false;
    }
    if ((bytes[0] & 0xC0) != 0 || Read32(bytes + 4) != kMagicCookie) {
        return false;
    }
    const std::size_t length = Read16(bytes + 2);
    return length % 4 == 0 && kHeaderSize + length == size;
}

// Walks the attributes: each must lie inside the message with its padding. Only FINGERPRINT may
// follow MESSAGE-INTEGRITY, nothing may follow FINGERPRINT, and both have their fixed sizes.
std::optional<Message> Message::Parse(const uint8_t* bytes, std::size_t size) {
    if (!LooksLikeStun(bytes, size)) {
        return std::nullopt;
    }
    Message m;
    m.m_bytes.assign(bytes, bytes + size);
    const uint16_t type = Read16(bytes);
    m.m_method = DecodeMethod(type);
    m.m_class = DecodeClass(type);
    std::copy(bytes + 8, bytes + kHeaderSize, m.m_transaction.begin());

    std::size_t at = kHeaderSize;
    while (at < size) {
        if (size - at < 4 || m.m_fingerprintAt) {
            return std::nullopt;
        }
        const uint16_t attrType = Read16(bytes + at);
        const uint16_t length = Read16(bytes + at + 2);
        if (Padded(length) > size - at - 4) {
            return std::nullopt;
        }
        if (attrType == kFingerprint) {
            if (length != kFingerprintSize) {
                return std::nullopt;
            }
            m.m_fingerprintAt = at;
        } else if (attrType == kMessageIntegrity && !m.m_integrityAt) {
            if (length != kIntegritySize) {
                return std::nullopt;
            }
            m.m_integrityAt = at;
        }
        // Attributes after MESSAGE-INTEGRITY are not covered by it and are ignored.
        if (!m.m_integrityAt || at == *m.m_integrityAt || attrType == kFingerprint) {
            m.m_attrs.push_back(Attr{attrType, at + 4, length});
        }
        at += 4 + Padded(length);
    }
    return m;
}

std::optional<std::string_view> Message::Find(uint16_t type) const {
    for (const auto& a : m_attrs) {
        if (a.type == type) {
            return std::string_view(reinterpret_cast<const char*>(m_bytes.data() + a.offset),
                                    a.length);
        }
    }
    return std::nullopt;
}

std::optional<std::pair<std::size_t, std::size_t>> Message::Locate(uint16_t type) const {
    for (const auto& a : m_attrs) {
        if (a.type == type) {
            return std::make_pair(a.offset, static_cast<std::size_t>(a.length));
        }
    }
    return std::nullopt;
}

std::vector<std::string_view> Message::FindAll(uint16_t type) const {
    std::vector<std::string_view> values;
    for (const auto& a : m_attrs) {
        if (a.type == type) {
            values.emplace_back(reinterpret_cast<const char*>(m_bytes.data() + a.offset), a.length);
        }
    }
    return values;
}

std::optional<sockaddr_in> Message::XorAddress(uint16_t type) const {
    const auto value = Find(type);
    if (!value || value->size() != 8) {
        return std::nullopt;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(value->data());
    if (p[1] != kFamilyIpv4) {
        return std::nullopt;
    }
    return ReadXorPortAddress(p + 2);
}

std::vector<Candidate> Message::Candidates() const {
    std::vector<Candidate> candidates;
    for (const auto value : FindAll(kZorvoCandidate)) {
        if (value.size() != 8) {
            continue;
        }
        const auto* p = reinterpret_cast<const uint8_t*>(value.data());
        if (p[0] < static_cast<uint8_t>(CandidateKind::kLocal) ||
            p[0] > static_cast<uint8_t>(CandidateKind::kRelayed) || p[1] != kFamilyIpv4) {
            continue;
        }
        candidates.push_back(
            Candidate{static_cast<CandidateKind>(p[0]), ReadXorPortAddress(p + 2)});
    }
    return candidates;
}

std::optional<uint32_t> Message::U32(uint16_t type) const {
    const auto value = Find(type);
    if (!value || value->size() != 4) {
        return std::nullopt;
    }
    return Read32(reinterpret_cast<const uint8_t*>(value->data()));
}

std::optional<uint64_t> Message::U64(uint16_t type) const {
    const auto value = Find(type);
    if (!value || value->size() != 8) {
        return std::nullopt;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(value->data());
    return static_cast<uint64_t>(Read32(p)) << 32 | Read32(p + 4);
}

int Message::ErrorCode() const {
    const auto value = Find(kErrorCode);
    if (!value || value->size() < 4) {
        return 0;
    }
    const auto* p = reinterpret_cast<const uint8_t*>(value->data());
    return (p[2] & 0x07) * 100 + p[3];
}

std::string_view Message::ErrorReason() const {
    const auto value = Find(kErrorCode);
    if (!value || value->size() < 4) {
        return {};
    }
    return value->substr(4);
}

bool Message::HasIntegrity() const {
    return m_integrityAt.has_value();
}

// The HMAC covers the message up to MESSAGE-INTEGRITY, with the header length set as if the
// message ended right after it (so a FINGERPRINT after it does not count).
bool Message::CheckIntegrity(std::string_view key) const {
    if (!m_integrityAt) {
        return false;
    }
    const std::size_t at = *m_integrityAt;
    std::vector<uint8_t> covered(m_bytes.begin(), m_bytes.begin() + static_cast<long>(at));
    Write16(covered.data() + 2, static_cast<uint16_t>(at + 4 + kIntegritySize - kHeaderSize));
    const std::string mac = HmacWith(EVP_sha1(), key, covered.data(), covered.size());
    return mac.size() == kIntegritySize &&
           CRYPTO_memcmp(mac.data(), m_bytes.data() + at + 4, kIntegritySize) == 0;
}

bool Message::CheckFingerprint() const {
    if (!m_fingerprintAt) {
        return false;
    }
    const std::size_t at = *m_fingerprintAt;
    const uint32_t expected = Crc32(m_bytes.data(), at) ^ kFingerprintXor;
    return Read32(m_bytes.data() + at + 4) == expected;
}

Builder::Builder(uint16_t method, Class kind, const TransactionId& transaction) {
    m_bytes.reserve(128);
    Put16(m_bytes, EncodeType(method, kind));
    Put16(m_bytes, 0);
    Put32(m_bytes, kMagicCookie);
    m_bytes.insert(m_bytes.end(), transaction.begin(), transaction.end());
}

void Builder::SetLength() {
    Write16(m_bytes.data() + 2, static_cast<uint16_t>(m_bytes.size() - kHeaderSize));
}

Builder& Builder::Bytes(uint16_t type, std::string_view value) {
    if (m_bytes.size() - kHeaderSize + 4 + Padded(value.size()) > kMaxMessageLength) {
        SetLength();  // would not fit in the length field: left out
        return *this;
    }
    Put16(m_bytes, type);
    Put16(m_bytes, static_cast<uint16_t>(value.size()));
    m_bytes.insert(m_bytes.end(), value.begin(), value.end());
    m_bytes.resize(kHeaderSize + Padded(m_bytes.size() - kHeaderSize), 0);
    SetLength();
    return *this;
}

Builder& Builder::U32(uint16_t type, uint32_t value) {
    std::vector<uint8_t> v;
    Put32(v, value);
    return Bytes(type, std::string_view(reinterpret_cast<const char*>(v.data()), v.size()));
}

Builder& Builder::U64(uint16_t type, uint64_t value) {
    std::vector<uint8_t> v;
    Put32(v, static_cast<uint32_t>(value >> 32));
    Put32(v, static_cast<uint32_t>(value));
    return Bytes(type, std::string_view(reinterpret_cast<const char*>(v.data()), v.size()));
}

Builder& Builder::XorAddress(uint16_t type, const sockaddr_in& address) {
    std::vector<uint8_t> v{0, kFamilyIpv4};
    PutXorPortAddress(v, address);
    return Bytes(type, std::string_view(reinterpret_cast<const char*>(v.data()), v.size()));
}

Builder& Builder::AddCandidate(const Candidate& candidate) {
    std::vector<uint8_t> v{static_cast<uint8_t>(candidate.kind), kFamilyIpv4};
    PutXorPortAddress(v, candidate.address);
    return Bytes(kZorvoCandidate,
                 std::string_view(reinterpret_cast<const char*>(v.data()), v.size()));
}

Builder& Builder::Error(int code, std::string_view reason) {
    const int clamped = std::clamp(code, 300, 699);
    std::string v;
    v.push_back(0);
    v.push_back(0);
    v.push_back(static_cast<char>(clamped / 100));
    v.push_back(static_cast<char>(clamped % 100));
    v.append(reason.substr(0, 763));  // RFC 8489 bounds the reason phrase to 763 bytes
    return Bytes(kErrorCode, v);
}

Builder& Builder::Integrity(std::string_view key) {
    const std::size_t at = m_bytes.size();
    Write16(m_bytes.data() + 2, static_cast<uint16_t>(at + 4 + kIntegritySize - kHeaderSize));
    std::string mac = HmacWith(EVP_sha1(), key, m_bytes.data(), m_bytes.size());
    mac.resize(kIntegritySize, '\0');
    return Bytes(kMessageIntegrity, mac);
}

Builder& Builder::Fingerprint() {
    const std::size_t at = m_bytes.size();
    Write16(m_bytes.data() + 2, static_cast<uint16_t>(at + 4 + kFingerprintSize - kHeaderSize));
    const uint32_t crc = Crc32(m_bytes.data(), m_bytes.size()) ^ kFingerprintXor;
    return U32(kFingerprint, crc);
}

std::string LongTermKey(std::string_view user, std::string_view realm, std::string_view password) {
    std::string input;
    input.reserve(user.size() + realm.size() + password.size() + 2);
    input.append(user).append(":").append(realm).append(":").append(password);
    unsigned char out[EVP_MAX_MD_SIZE];
    unsigned int outSize = 0;
    if (EVP_Digest(input.data(), input.size(), out, &outSize, EVP_md5(), nullptr) != 1) {
        return {};
    }
    return std::string(reinterpret_cast<const char*>(out), outSize);
}

std::string SharedSecretPassword(std::string_view secret, std::string_view user) {
    const std::string mac =
        HmacWith(EVP_sha1(), secret, reinterpret_cast<const uint8_t*>(user.data()), user.size());
    std::string encoded(4 * ((mac.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(encoded.data()),
                                  reinterpret_cast<const unsigned char*>(mac.data()),
                                  static_cast<int>(mac.size()));
    encoded.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return encoded;
}

std::string HmacSha256(std::string_view key, std::string_view data) {
    return HmacWith(EVP_sha256(), key, reinterpret_cast<const uint8_t*>(data.data()), data.size());
}

std::string ToHex(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789abcdef";
    std::string hex;
    hex.reserve(bytes.size() * 2);
    for (const char c : bytes) {
        const auto b = static_cast<uint8_t>(c);
        hex.push_back(kDigits[b >> 4]);
        hex.push_back(kDigits[b & 0x0F]);
    }
    return hex;
}

std::optional<std::string> FromHex(std::string_view hex) {
    if (hex.size() % 2 != 0) {
        return std::nullopt;
    }
    std::string bytes;
    bytes.reserve(hex.size() / 2);
    for (std::size_t i = 0; i < hex.size(); i += 2) {
        const int hi = AsciiHexValue(hex[i]);
        const int lo = AsciiHexValue(hex[i + 1]);
        if (hi < 0 || lo < 0) {
            return std::nullopt;
        }
        bytes.push_back(static_cast<char>(hi * 16 + lo));
    }
    return bytes;
}

}  // namespace stun
