#include "directory/server/TlsCertificate.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <openssl/bio.h>
#include <openssl/bn.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/rand.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>

namespace {

template <typename T, void (*Free)(T*)>
struct Freer {
    void operator()(T* p) const { Free(p); }
};
using Bio = std::unique_ptr<BIO, Freer<BIO, BIO_free_all>>;
using Certificate = std::unique_ptr<X509, Freer<X509, X509_free>>;
using Key = std::unique_ptr<EVP_PKEY, Freer<EVP_PKEY, EVP_PKEY_free>>;
using Number = std::unique_ptr<BIGNUM, Freer<BIGNUM, BN_free>>;
using Extension = std::unique_ptr<X509_EXTENSION, Freer<X509_EXTENSION, X509_EXTENSION_free>>;

constexpr long kValiditySeconds = 10L * 365 * 24 * 3600;

// The reason OpenSSL gave for its last failure, or `fallback` when it queued none.
std::string OpenSslReason(const char* fallback) {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return fallback;
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

std::string HexPairs(const unsigned char* bytes, size_t n) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (size_t i = 0; i < n; ++i) {
        if (i != 0) {
            out += ':';
        }
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 0xF];
    }
    return out;
}

std::string Base64(const unsigned char* bytes, size_t n) {
    std::string out(4 * ((n + 2) / 3) + 1, '\0');
    int written =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes, static_cast<int>(n));
    out.resize(written > 0 ? static_cast<size_t>(written) : 0);
    return out;
}

// A random positive 127-bit serial number, so that two certificates made for one name differ.
bool SetSerial(X509* x) {
    unsigned char bytes[16];
    if (RAND_bytes(bytes, sizeof bytes) != 1) {
        return false;
    }
    bytes[0] &= 0x7F;
    bytes[0] |= 0x01;
    Number n(BN_bin2bn(bytes, sizeof bytes, nullptr));
    return n && BN_to_ASN1_INTEGER(n.get(), X509_get_serialNumber(x)) != nullptr;
}

bool AddExtension(X509* x, int nid, const std::string& value) {
    X509V3_CTX ctx;
    X509V3_set_ctx(&ctx, x, x, nullptr, nullptr, 0);
    Extension e(X509V3_EXT_conf_nid(nullptr, &ctx, nid, value.c_str()));
    return e && X509_add_ext(x, e.get(), -1) == 1;
}

// Name, validity, key and the extensions of a server certificate, signed with its own key.
bool FillCertificate(X509* x, EVP_PKEY* key, const std::string& host) {
    X509_NAME* name = X509_get_subject_name(x);
    in_addr a{};
    const std::string altName = (inet_pton(AF_INET, host.c_str(), &a) == 1 ? "IP:" : "DNS:") + host;
    return X509_set_version(x, 2) == 1 && SetSerial(x) &&
           X509_gmtime_adj(X509_getm_notBefore(x), -3600) != nullptr &&
           X509_gmtime_adj(X509_getm_notAfter(x), kValiditySeconds) != nullptr &&
           X509_set_pubkey(x, key) == 1 &&
           X509_NAME_add_entry_by_txt(name, "CN", MBSTRING_ASC,
                                      reinterpret_cast<const unsigned char*>(host.c_str()), -1, -1,
                                      0) == 1 &&
           X509_set_issuer_name(x, name) == 1 &&
           AddExtension(x, NID_basic_constraints, "critical,CA:FALSE") &&
           AddExtension(x, NID_key_usage, "critical,digitalSignature") &&
           AddExtension(x, NID_ext_key_usage, "serverAuth") &&
           AddExtension(x, NID_subject_key_identifier, "hash") &&
           AddExtension(x, NID_subject_alt_name, altName) && X509_sign(x, key, EVP_sha256()) > 0;
}

std::string BioText(BIO* bio) {
    char* data = nullptr;
    long n = BIO_get_mem_data(bio, &data);
    return n > 0 ? std::string(data, static_cast<size_t>(n)) : std::string();
}

bool Exists(const std::string& path) {
    struct stat st {};
    return stat(path.c_str(), &st) == 0;
}

// Writes text to path through a new file beside it that is renamed at the end, so that a start
// that dies half-way leaves no half-written file under the final name.
bool WriteFile(const std::string& path, const std::string& text, mode_t mode, std::string* error) {
    const std::string fresh = path + ".new";
    unlink(fresh.c_str());
    int fd = open(fresh.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, mode);
    if (fd < 0) {
        *error = "cannot create " + fresh + ": " + std::strerror(errno);
        return false;
    }
    size_t done = 0;
    while (done < text.size()) {
        ssize_t n = write(fd, text.data() + done, text.size() - done);
        if (n <= 0) {
            break;
        }
        done += static_cast<size_t>(n);
    }
    bool ok = done == text.size() && fsync(fd) == 0;
    ok = close(fd) == 0 && ok;
    if (!ok || rename(fresh.c_str(), path.c_str()) != 0) {
        *error = "cannot write " + path + ": " + std::strerror(errno);
        unlink(fresh.c_str());
        return false;
    }
    return true;
}

}  // namespace

bool IsPlainHostName(const std::string& host) {
    if (host.empty() || host.size() > 253) {
        return false;
    }
    for (char c : host) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-';
        if (!ok) {
            return false;
        }
    }
    return true;
}

bool CertificateFingerprints(std::string_view pem, TlsFingerprints* out, std::string* error) {
    Bio bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    Certificate x(bio ? PEM_read_bio_X509(bio.get(), nullptr, nullptr, nullptr) : nullptr);
    if (!x) {
        *error = "no PEM certificate: " + OpenSslReason("unreadable");
        return false;
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int mdLength = 0;
    if (X509_digest(x.get(), EVP_sha256(), md, &mdLength) != 1) {
        *error = "the certificate cannot be hashed: " + OpenSslReason("digest failed");
        return false;
    }
    out->certificate = HexPairs(md, mdLength);
    unsigned char* spki = nullptr;
    int spkiLength = i2d_PUBKEY(X509_get0_pubkey(x.get()), &spki);
    if (spkiLength <= 0) {
        *error = "the certificate's public key cannot be read: " + OpenSslReason("no key");
        return false;
    }
    unsigned char keyHash[32];
    bool hashed = EVP_Digest(spki, static_cast<size_t>(spkiLength), keyHash, nullptr, EVP_sha256(),
                             nullptr) == 1;
    OPENSSL_free(spki);
    if (!hashed) {
        *error = "the public key cannot be hashed: " + OpenSslReason("digest failed");
        return false;
    }
    out->publicKeyPin = "sha256//" + Base64(keyHash, sizeof keyHash);
    return true;
}

bool MakeSelfSigned(const std::string& host, TlsKeyPair* out, std::string* error) {
    if (!IsPlainHostName(host)) {
        *error = "a certificate's host name takes letters, digits, '.' and '-' only";
        return false;
    }
    Key key(EVP_EC_gen("P-256"));
    Certificate x(X509_new());
    if (!key || !x || !FillCertificate(x.get(), key.get(), host)) {
        *error = "cannot make a certificate: " + OpenSslReason("failed");
        return false;
    }
    Bio certPem(BIO_new(BIO_s_mem()));
    Bio keyPem(BIO_new(BIO_s_mem()));
    if (!certPem || !keyPem || PEM_write_bio_X509(certPem.get(), x.get()) != 1 ||
        PEM_write_bio_PrivateKey(keyPem.get(), key.get(), nullptr, nullptr, 0, nullptr, nullptr) !=
            1) {
        *error = "cannot write a certificate: " + OpenSslReason("failed");
        return false;
    }
    out->certificatePem = BioText(certPem.get());
    out->keyPem = BioText(keyPem.get());
    return true;
}

bool SelfSignedFiles(const std::string& dir, const std::string& host, TlsFiles* out,
                     std::string* error) {
    out->certificate = dir + "/" + kTlsCertificateFile;
    out->key = dir + "/" + kTlsKeyFile;
    out->made = false;
    const bool haveCertificate = Exists(out->certificate);
    const bool haveKey = Exists(out->key);
    if (haveCertificate && haveKey) {
        return true;
    }
    if (haveCertificate || haveKey) {
        *error = (haveKey ? out->key : out->certificate) + " is there without " +
                 (haveKey ? out->certificate : out->key) +
                 "; restore it, or remove both to have a new certificate made";
        return false;
    }
    TlsKeyPair pair;
    if (!MakeSelfSigned(host, &pair, error)) {
        return false;
    }
    // The key first: a certificate on disk always has its key beside it.
    bool ok = WriteFile(out->key, pair.keyPem, 0600, error);
    OPENSSL_cleanse(pair.keyPem.data(), pair.keyPem.size());
    if (ok && !WriteFile(out->certificate, pair.certificatePem, 0644, error)) {
        unlink(out->key.c_str());
        ok = false;
    }
    out->made = ok;
    return ok;
}
