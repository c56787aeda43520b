#pragma once

#include <atomic>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "directory/client/ServiceHost.h"
#include "directory/client/TlsTrust.h"

// Where the directory server's pages live, as the last successful discovery found it.
struct ServerInfo {
    std::string host;  // "CURRENT IP": host name or dotted address, optionally with ":port"
    std::string path;  // "PATH": put in front of every page name in a request target
};

// Escapes a text value for a query: ASCII letters and digits stay, every other byte becomes
// "%" and two upper-case hexadecimal digits.
std::string UrlEncode(std::string value);

// Windows private-profile lookup over an INI text: section and key names match without regard
// to case, the value is the rest of the line without surrounding blanks (one pair of enclosing
// quotes is dropped) and at most bufferSize - 1 bytes long. Gives def when the section or key
// is missing.
std::string ReadProfileString(const std::string& text, const std::string& section,
                              const std::string& key, const std::string& def,
                              size_t bufferSize = 256);

// The discovery file: beside the program when its folder is writable, otherwise in the settings
// folder ($XDG_CONFIG_HOME/Mervane/), since an installed program's folder is not.
std::string DiscoveryFilePath();

// One GET request at a time to the directory service. Every Get opens and closes its own
// connection, so one object may be used by two threads at once.
//
// A server named "https://host[:port]" is reached over TLS only (never over plain http, not even
// through a redirect), its certificate checked against the system's authorities, or, for a host
// whose key a PinStore keeps, its key checked against that pin. A certificate that no authority
// vouches for ends the request before anything is sent, and LastKeyProblem() names the key.
class CWebClient {
  public:
    CWebClient();
    virtual ~CWebClient();

    CWebClient(const CWebClient&) = delete;
    CWebClient& operator=(const CWebClient&) = delete;

    // GETs object from server ("host[:port]", "http://host[:port]" or "https://host[:port]").
    // Returns 1 when a body was read (any HTTP status; a redirect is not followed; stored in
    // *reply, cut to 4095 bytes and at its first NUL), 0 otherwise with *reply untouched.
    int Get(std::string server, std::string object, std::string* reply);

    // Downloads "ZorvoServer.txt" from the service web host, writes it to the discovery file
    // (empty when the download failed) and reads "CURRENT IP" and "PATH" of section "ZORVO".
    // Returns 1 when both were found; on 0, info->host may already hold a new value. A bare
    // "CURRENT IP" found over https means https; an "http://" one found over https is refused.
    int DiscoverServer(ServerInfo* info);

    // The service web host for this object; default ServiceHost().
    void SetServiceHost(std::string host) { m_strServiceHost = std::move(host); }
    // The discovery file for this object; default DiscoveryFilePath().
    void SetDiscoveryFile(std::string path) { m_strDiscoveryFile = std::move(path); }
    // A flag that ends this object's requests when set (the program is closing): a request under
    // way stops within about a second and gives 0, a new one gives 0 without connecting.
    void SetCancel(std::shared_ptr<const std::atomic<bool>> cancel) {
        m_cancel = std::move(cancel);
    }
    // Upper bounds for making the connection and for the whole exchange.
    void SetTimeouts(long connectMs, long totalMs) {
        m_nConnectTimeoutMs = connectMs;
        m_nTotalTimeoutMs = totalMs;
    }

    // The kept keys of directories that no authority vouches for; none by default.
    void SetPinStore(std::shared_ptr<PinStore> pins) { m_pins = std::move(pins); }
    // A file of authorities to check https servers against instead of the system's (tests,
    // private deployments); "" for the system's.
    void SetAuthorityFile(std::string path) { m_strAuthorityFile = std::move(path); }
    // The key the last https request of this object refused: one no authority vouches for and no
    // pin names (Unknown), or another than the pinned one (Changed). Empty after an https request
    // that met no such key.
    std::optional<KeyProblem> LastKeyProblem() const;

    static constexpr size_t kMaxReply = 4095;

  private:
    struct Outcome;
    Outcome Perform(const std::string& url, bool tls, const std::string& pin) const;
    void SetTlsOptions(void* curl, bool tls, const std::string& pin) const;
    void NoteKey(const ServiceAddress& address, const std::string& pin, const Outcome& outcome);

    std::string m_strAgent;
    std::string m_strServiceHost;
    std::string m_strDiscoveryFile;
    long m_nConnectTimeoutMs = 5000;
    long m_nTotalTimeoutMs = 15000;
    std::shared_ptr<const std::atomic<bool>> m_cancel;
    std::shared_ptr<PinStore> m_pins;
    std::string m_strAuthorityFile;
    mutable std::mutex m_keyLock;
    std::optional<KeyProblem> m_keyProblem;
};
