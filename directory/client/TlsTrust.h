#pragma once

// Trust in a directory's TLS key. An https directory whose certificate the system's authorities
// vouch for is used as it is. One with a self-signed certificate is trusted on first use: the
// client reports the key's fingerprint without sending anything, and once the user (or the
// operator) trusts it, its pin is kept for that host. Every later connection to the host must
// then present that very key (the certificate chain is no longer asked for); the key is checked
// during the handshake, before the first byte of a request goes out.

#include <atomic>
#include <map>
#include <mutex>
#include <optional>
#include <string>

// The identity of the key a server showed in its handshake.
struct ServerKey {
    std::string fingerprint;  // SHA-256 of the DER certificate: "AA:BB:..." (32 pairs)
    std::string pin;          // "sha256//" and the base64 SHA-256 of the public key (SPKI DER)
};

// The key of the first certificate in a PEM text; empty when none reads.
std::optional<ServerKey> KeyOfPemCertificate(const std::string& pem);

// True for "sha256//" followed by the base64 text of 32 bytes, as CURLOPT_PINNEDPUBLICKEY takes it.
bool IsKeyPin(const std::string& text);

// What a key a server presents is to this client.
enum class KeyVerdict {
    Trusted,  // the pin kept for the host
    Unknown,  // no pin kept for the host
    Changed   // another key than the one kept
};

// known: the pin kept for the host ("" when none); presented: the pin of the key shown.
KeyVerdict JudgeKey(const std::string& known, const std::string& presented);

// True when a failed certificate check (OpenSSL's verify result) means only that no authority
// vouches for the certificate (self-signed, or issued by an unknown authority): the case in which
// the user may trust the key itself. An expired or otherwise broken certificate is not offered.
bool IsUnvouchedCertificate(long verifyResult);

// A key the client would not use. Nothing was sent to its server.
struct KeyProblem {
    KeyVerdict verdict = KeyVerdict::Unknown;  // Unknown or Changed
    std::string host;                          // "host:port" the key belongs to
    ServerKey key;
    // "unknown key: AA:BB:..." or "changed key: AA:BB:...".
    std::string Message() const;
};

// Connects to an https host, completes the handshake without checking the certificate, takes the
// server's certificate and closes the connection: no request is sent. Empty when that fails.
std::optional<ServerKey> FetchServerKey(const std::string& hostPort, long timeoutMs,
                                        const std::atomic<bool>* cancel = nullptr);

// Where kept pins live: the desktop client's settings, zorvo-call's --trust-key, tests.
class PinStore {
  public:
    virtual ~PinStore() = default;
    // The pin kept for endpoint ("host:port"), "" when none.
    virtual std::string PinFor(const std::string& endpoint) const = 0;
    // Keeps pin for endpoint from now on.
    virtual void Trust(const std::string& endpoint, const std::string& pin) = 0;
};

// Pins held in memory. Made with one pin, it gives that pin for every host: an operator who
// vouches for the directory's key expects every https host of the run to present it.
class MemoryPinStore : public PinStore {
  public:
    MemoryPinStore() = default;
    explicit MemoryPinStore(std::string everyHost) : m_everyHost(std::move(everyHost)) {}

    std::string PinFor(const std::string& endpoint) const override;
    void Trust(const std::string& endpoint, const std::string& pin) override;

  private:
    mutable std::mutex m_lock;
    const std::string m_everyHost;
    std::map<std::string, std::string> m_pins;
};
