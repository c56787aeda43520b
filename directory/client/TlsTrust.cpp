#include "directory/client/TlsTrust.h"

#include <curl/curl.h>
#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509_vfy.h>

#include <cstring>
#include <memory>

namespace {

constexpr char kPinPrefix[] = "sha256//";
constexpr size_t kPinBase64Length = 44;  // 32 bytes
constexpr size_t kMaxPem = 64 * 1024;

struct FreeX509 {
    void operator()(X509* cert) const { X509_free(cert); }
};
struct FreeOpenSsl {
    void operator()(unsigned char* p) const { OPENSSL_free(p); }
};
using DerBytes = std::unique_ptr<unsigned char, FreeOpenSsl>;

// SHA-256 of len bytes; false when the digest fails.
bool Sha256(const unsigned char* data, int len, unsigned char (&md)[32]) {
    unsigned int mdLength = 0;
    return len > 0 &&
           EVP_Digest(data, static_cast<size_t>(len), md, &mdLength, EVP_sha256(), nullptr) == 1 &&
           mdLength == sizeof md;
}

std::string Fingerprint(const unsigned char (&md)[32]) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string text;
    for (unsigned char byte : md) {
        if (!text.empty()) {
            text += ':';
        }
        text += kHex[byte >> 4];
        text += kHex[byte & 0x0F];
    }
    return text;
}

std::string Pin(const unsigned char (&md)[32]) {
    unsigned char out[kPinBase64Length + 1] = {};
    EVP_EncodeBlock(out, md, sizeof md);
    return kPinPrefix + std::string(reinterpret_cast<const char*>(out));
}

bool IsBase64Character(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' ||
           c == '/';
}

int OnProbeProgress(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(cancel)->load() ? 1 : 0;
}

// The PEM text of the server's own certificate (the first of the chain) in curl's report.
std::string LeafCertificate(CURL* curl) {
    curl_certinfo* info = nullptr;
    if (curl_easy_getinfo(curl, CURLINFO_CERTINFO, &info) != CURLE_OK || info == nullptr ||
        info->num_of_certs < 1) {
        return {};
    }
    for (curl_slist* item = info->certinfo[0]; item != nullptr; item = item->next) {
        if (std::strncmp(item->data, "Cert:", 5) == 0) {
            return item->data + 5;
        }
    }
    return {};
}

}  // namespace

std::optional<ServerKey> KeyOfPemCertificate(const std::string& pem) {
    if (pem.empty() || pem.size() > kMaxPem) {
        return std::nullopt;
    }
    BIO* bio = BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size()));
    if (bio == nullptr) {
        return std::nullopt;
    }
    std::unique_ptr<X509, FreeX509> cert(PEM_read_bio_X509(bio, nullptr, nullptr, nullptr));
    BIO_free(bio);
    if (!cert) {
        return std::nullopt;
    }
    unsigned char* der = nullptr;
    const int derLength = i2d_X509(cert.get(), &der);
    DerBytes derOwner(der);
    unsigned char* spki = nullptr;
    const int spkiLength = i2d_X509_PUBKEY(X509_get_X509_PUBKEY(cert.get()), &spki);
    DerBytes spkiOwner(spki);
    unsigned char certHash[32];
    unsigned char keyHash[32];
    if (!Sha256(der, derLength, certHash) || !Sha256(spki, spkiLength, keyHash)) {
        return std::nullopt;
    }
    return ServerKey{Fingerprint(certHash), Pin(keyHash)};
}

bool IsKeyPin(const std::string& text) {
    const size_t prefix = sizeof kPinPrefix - 1;
    if (text.size() != prefix + kPinBase64Length || text.compare(0, prefix, kPinPrefix) != 0 ||
        text.back() != '=') {
        return false;
    }
    for (size_t i = prefix; i + 1 < text.size(); ++i) {
        if (!IsBase64Character(text[i])) {
            return false;
        }
    }
    return true;
}

KeyVerdict JudgeKey(const std::string& known, const std::string& presented) {
    if (known.empty()) {
        return KeyVerdict::Unknown;
    }
    return known == presented ? KeyVerdict::Trusted : KeyVerdict::Changed;
}

bool IsUnvouchedCertificate(long verifyResult) {
    switch (verifyResult) {
        case X509_V_ERR_DEPTH_ZERO_SELF_SIGNED_CERT:
        case X509_V_ERR_SELF_SIGNED_CERT_IN_CHAIN:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT:
        case X509_V_ERR_UNABLE_TO_GET_ISSUER_CERT_LOCALLY:
        case X509_V_ERR_UNABLE_TO_VERIFY_LEAF_SIGNATURE:
            return true;
        default:
            return false;
    }
}

std::string KeyProblem::Message() const {
    return (verdict == KeyVerdict::Changed ? "changed key: " : "unknown key: ") + key.fingerprint;
}

std::optional<ServerKey> FetchServerKey(const std::string& hostPort, long timeoutMs,
                                        const std::atomic<bool>* cancel) {
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return std::nullopt;
    }
    const std::string url = "https://" + hostPort + "/";
    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, "https");
    curl_easy_setopt(curl, CURLOPT_CONNECT_ONLY, 1L);  // the handshake and nothing after it
    curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
    curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
    curl_easy_setopt(curl, CURLOPT_CERTINFO, 1L);
    curl_easy_setopt(curl, CURLOPT_PROXY, "");
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, timeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, timeoutMs);
    if (cancel != nullptr) {
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProbeProgress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA, const_cast<std::atomic<bool>*>(cancel));
    }
    std::optional<ServerKey> key;
    if (curl_easy_perform(curl) == CURLE_OK) {
        key = KeyOfPemCertificate(LeafCertificate(curl));
    }
    curl_easy_cleanup(curl);
    return key;
}

std::string MemoryPinStore::PinFor(const std::string& endpoint) const {
    if (!m_everyHost.empty()) {
        return m_everyHost;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    auto found = m_pins.find(endpoint);
    return found == m_pins.end() ? std::string() : found->second;
}

void MemoryPinStore::Trust(const std::string& endpoint, const std::string& pin) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_pins[endpoint] = pin;
}
