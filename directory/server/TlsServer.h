#pragma once

#include <httplib.h>

#include <memory>
#include <string>

#include "directory/server/TlsCertificate.h"

// The HTTPS listener's certificate and its TLS settings.

struct TlsIdentity {
    std::string certificate;  // PEM file: the certificate, then any intermediate ones
    std::string key;          // PEM file of its private key, not encrypted
    bool made = false;        // a self-signed pair was made at this start
    TlsFingerprints fingerprints;
};

// The files given (certificate and key), or with both empty the self-signed pair kept in
// stateDir (made for host when it is not there yet); with the fingerprints of the certificate.
bool LoadTlsIdentity(const std::string& certificate, const std::string& key,
                     const std::string& stateDir, const std::string& host, TlsIdentity* out,
                     std::string* error);

// An HTTPS server with that identity: TLS 1.2 or later, without compression or renegotiation.
// Null with *error set when the files cannot be used (unreadable, an encrypted key, a key that
// does not belong to the certificate).
std::unique_ptr<httplib::SSLServer> MakeTlsServer(const TlsIdentity& identity, std::string* error);
