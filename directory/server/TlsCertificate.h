#pragma once

#include <string>
#include <string_view>

// The directory's TLS certificate: the two fingerprints clients check it by, and the self-signed
// certificate the service makes for itself when the operator gives none.

struct TlsFingerprints {
    // SHA-256 of the DER certificate as colon-separated upper-case hex pairs ("AB:01:...").
    std::string certificate;
    // SHA-256 of the DER public key (SubjectPublicKeyInfo) in base64, in the form libcurl's
    // CURLOPT_PINNEDPUBLICKEY takes: "sha256//BASE64".
    std::string publicKeyPin;
};

// The fingerprints of the first certificate of a PEM text; false with *error set when the text
// holds none.
bool CertificateFingerprints(std::string_view pem, TlsFingerprints* out, std::string* error);

struct TlsKeyPair {
    std::string certificatePem;
    std::string keyPem;  // PKCS#8, not encrypted
};

// A name or dotted address made of letters, digits, '.' and '-' only, as a certificate takes it.
bool IsPlainHostName(const std::string& host);

// A new self-signed certificate for host with a new EC P-256 key, good for ten years: host is its
// common name and its subject alternative name (an IP address entry for a dotted address, a DNS
// entry for anything else). host must be a plain host name.
bool MakeSelfSigned(const std::string& host, TlsKeyPair* out, std::string* error);

// The self-signed pair kept in a folder (the certificate readable by all, the key by its owner
// only). When neither file is there, a new pair for host is made and written first (*made tells).
// One file without the other is an error: a certificate that clients pin is never replaced
// behind the operator's back.
struct TlsFiles {
    std::string certificate;  // the paths
    std::string key;
    bool made = false;
};
bool SelfSignedFiles(const std::string& dir, const std::string& host, TlsFiles* out,
                     std::string* error);

inline constexpr const char* kTlsCertificateFile = "directory-tls.crt";
inline constexpr const char* kTlsKeyFile = "directory-tls.key";
