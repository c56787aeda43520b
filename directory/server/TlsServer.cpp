#include "directory/server/TlsServer.h"

#include <openssl/err.h>
#include <openssl/ssl.h>

#include <fstream>
#include <sstream>

namespace {

std::string LastTlsError() {
    unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code == 0) {
        return "unusable";
    }
    char text[256];
    ERR_error_string_n(code, text, sizeof text);
    return text;
}

// An encrypted key is refused at once instead of asking for its passphrase on the terminal.
int NoPassphrase(char*, int, int, void*) {
    return 0;
}

// The context's settings, certificate chain and key; *error names what failed.
bool SetUpContext(SSL_CTX& ctx, const TlsIdentity& identity, std::string* error) {
    SSL_CTX_set_min_proto_version(&ctx, TLS1_2_VERSION);
    SSL_CTX_set_options(&ctx, SSL_OP_NO_COMPRESSION | SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_default_passwd_cb(&ctx, NoPassphrase);
    if (SSL_CTX_use_certificate_chain_file(&ctx, identity.certificate.c_str()) != 1) {
        *error = "cannot use the TLS certificate " + identity.certificate + ": " + LastTlsError();
        return false;
    }
    if (SSL_CTX_use_PrivateKey_file(&ctx, identity.key.c_str(), SSL_FILETYPE_PEM) != 1) {
        *error =
            "cannot use the TLS key " + identity.key + " (PEM, not encrypted): " + LastTlsError();
        return false;
    }
    if (SSL_CTX_check_private_key(&ctx) != 1) {
        *error = "the TLS key " + identity.key + " does not belong to the certificate " +
                 identity.certificate;
        ERR_clear_error();
        return false;
    }
    return true;
}

}  // namespace

bool LoadTlsIdentity(const std::string& certificate, const std::string& key,
                     const std::string& stateDir, const std::string& host, TlsIdentity* out,
                     std::string* error) {
    out->certificate = certificate;
    out->key = key;
    out->made = false;
    if (certificate.empty()) {
        TlsFiles files;
        if (!SelfSignedFiles(stateDir, host, &files, error)) {
            return false;
        }
        out->certificate = files.certificate;
        out->key = files.key;
        out->made = files.made;
    }
    std::ifstream in(out->certificate);
    std::stringstream pem;
    pem << in.rdbuf();
    if (!in) {
        *error = "cannot read the TLS certificate " + out->certificate;
        return false;
    }
    std::string problem;
    if (!CertificateFingerprints(pem.str(), &out->fingerprints, &problem)) {
        *error = out->certificate + ": " + problem;
        return false;
    }
    return true;
}

std::unique_ptr<httplib::SSLServer> MakeTlsServer(const TlsIdentity& identity, std::string* error) {
    auto server = std::make_unique<httplib::SSLServer>(
        [&identity, error](SSL_CTX& ctx) { return SetUpContext(ctx, identity, error); });
    if (!server->is_valid()) {
        if (error->empty()) {
            *error = "the HTTPS server cannot be set up: " + LastTlsError();
        }
        return nullptr;
    }
    return server;
}
