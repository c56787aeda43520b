#pragma once

#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "directory/server/Authentication.h"
#include "directory/server/Http.h"
#include "directory/server/PageSupport.h"
#include "directory/server/Query.h"
#include "directory/server/RendezvousRegistry.h"
#include "directory/server/Storage.h"

struct DirectoryOptions {
    std::string advertise;  // "CURRENT IP" published; empty: the Host header, else fallbackHost
    std::string fallbackHost = "127.0.0.1:8080";
    // The same for a request that came over HTTPS, scheme included ("https://host:port"); empty:
    // "https://" and the Host header, else tlsFallbackHost.
    std::string tlsAdvertise;
    std::string tlsFallbackHost;
    std::string pagePath = "/zorvo";  // "PATH" published: where the directory pages live
    int64_t onlineSeconds = 120;      // a user is online this long after a heartbeat
    int64_t callReopenSeconds = 10;   // a repeated opening report within this gets the same record
    HashCost hashCost = HashCost::Interactive;
    int slowHashes = 2;  // password hashes computed at the same time, at most
    // Password guessing (see Gate and docs/directory.md, "Throttling"), counted per pair of user
    // name and client address in windows of failureWindow seconds: a pair with failureLimit
    // failures is refused; so is a pair that has not logged in within knownSeconds while its
    // name has nameFailureLimit failures from all addresses, or its address has failures for
    // addressNameLimit names. A failureLimit of 0 turns all of it off; a name or address limit
    // of 0 turns that one off.
    int failureLimit = 10;
    int nameFailureLimit = 30;
    int addressNameLimit = 50;
    int64_t failureWindow = 60;
    int64_t knownSeconds = 90 * 86400;
    // A load balancer in front: requests from this address carry the client's address as the
    // last entry of X-Forwarded-For.
    std::string trustedProxy;
    std::function<int64_t()> clock;  // seconds since the epoch; default the system clock

    // The rendezvous of clients with the extension; null when it is off.
    RendezvousRegistry* rendezvous = nullptr;
    // The rendezvous address told to clients, "ADDR:PORT"; empty: the address of this end of the
    // heartbeat's connection (else the Host header's host) with rendezvousPort.
    std::string rendezvousAdvertise;
    int rendezvousPort = 0;
    // Relay credentials on the call page (coturn's shared secret); none when turnServer is empty.
    std::string turnServer;  // "HOST:PORT"
    std::string turnSecret;
    int64_t turnSeconds = 600;  // how long the credentials are good
};

// The service's pages: the directory requests of the client, the discovery text and the two
// pages for people in a browser. Handle may be called from many threads at once.
class Directory {
  public:
    Directory(Storage& storage, DirectoryOptions options);

    HttpReply Handle(const HttpRequest& request);

    // The buddy-name rule: trimmed, lower case, 1 to 63 bytes, no white space or control
    // bytes and none of * & ' ~ , " < > ? % ! @ : ; ` ( ) + = | \ /.
    static bool NormalizeName(std::string_view in, std::string* out);
    // "LAN" or a dotted IPv4 address (written back in its plain form).
    static bool NormalizeAddress(std::string_view in, std::string* out);
    // A decimal 32-bit number with an optional minus sign, nothing else.
    static bool ParseInt32(std::string_view in, int* out);

  private:
    // How a page that carries a password admits a request.
    struct Admission {
        Admission(Page onPage, bool slowHash = false,
                  const char* refusedText = "invalid user name or password")
            : page(onPage), slow(slowHash), refusal(refusedText) {}

        Page page;
        bool slow;  // the slow hash every time, not the digest of the last good one
        const char* refusal;
        // The page's own checks of its values, made before the password's: a problem, or "".
        std::function<std::string()> check;
        // The page's storage step passes the gate itself (the heartbeat and the online list:
        // one step each); otherwise the gate is checked before the password.
        bool gateInStorage = false;
    };
    // What a password check found, with the throttle in front of it.
    enum class Access { Ok, Refused, Throttled, Unavailable, Failed };
    // The preamble of every page that carries a password: the keys each given once, the page's
    // own checks, then the user name normalised into *name and the password checked. Empty when
    // the request is admitted, else the refusal to send.
    std::optional<HttpReply> Admit(const Params& p, const std::string& client,
                                   std::initializer_list<const char*> keys, const Admission& how,
                                   std::string* name, Gate* gate = nullptr);
    // The gate of a request: its user name (empty when not valid) and its client address.
    Gate GateOf(const std::string& name, const std::string& client) const;
    Access PassGate(const Gate& gate);
    // Checks a password behind the gate. A refused password counts against the gate's pair; a
    // password that passed makes the pair known, with gateInStorage once the page's storage
    // step has passed the gate too (the page calls NoteSuccess then).
    Access Authenticate(const std::string& name, const std::string& password, const Gate& gate,
                        bool slow, bool gateInStorage);
    Access Refusal(const Gate& gate, bool gatePassed);
    // Records that the gate's pair logged in: always, or when this process has not lately.
    void NoteSuccess(const Gate& gate, bool always);
    std::string ClientAddress(const HttpRequest& request) const;

    int64_t Now() const;
    std::string WebHost(const HttpRequest& request) const;
    // The same as a URL's start: "https://host:port", or "http://" and a plain host.
    std::string WebUrl(const HttpRequest& request) const;
    Page Route(const std::string& path) const;
    HttpReply Serve(Page page, const HttpRequest& request, std::string_view rawQuery);
    HttpReply Dispatch(Page page, const HttpRequest& request, const Params& params);

    HttpReply Discovery(const HttpRequest& request);
    HttpReply Login(const Params& p, const std::string& client);
    HttpReply Logoff(const Params& p, const std::string& client);
    HttpReply IamUp(const HttpRequest& request, const Params& p, const std::string& client);
    HttpReply UserList(const Params& p, const std::string& client);
    HttpReply CallBuddy(const Params& p, const std::string& client);
    HttpReply BuddyKey(const Params& p, const std::string& client);
    HttpReply CallReport(const Params& p);
    HttpReply SyncBuddies(const Params& p, const std::string& client);

    // The rendezvous extension: whether a request carries it (and the service has it on), the
    // words the heartbeat's reply gains, the online list's marks of registered buddies, and the
    // words of the call page's reply.
    bool WantsRendezvous(const Params& p) const;
    std::string RendezvousAddress(const HttpRequest& request) const;
    std::string RendezvousWords(const HttpRequest& request, const Params& p,
                                const std::string& name);
    std::vector<bool> RegisteredMarks(const Params& p, const std::vector<std::string>& names);
    std::string CallWords(const std::string& name, const std::string& token,
                          const RendezvousPeer& callee, int64_t now) const;
    // A login or logoff ends the rendezvous state of the user's last presence.
    void ForgetRendezvous(const std::string& name);
    // The encryption extension: a login or heartbeat that lists it stores the client's
    // identity key (always, or when this process has not stored that key for the user lately);
    // a value that is not a key is ignored.
    void PublishIdentityKey(const Params& p, const std::string& name, bool always);

    HttpReply Index();
    HttpReply Register(const Params& p);
    HttpReply CreateAccount(const std::string& name, const std::string& password);
    HttpReply MyAccount(const HttpRequest& request, const Params& p);
    std::string AccountPage(const HttpRequest& request, const std::string& name,
                            const std::vector<std::string>& buddies,
                            const std::vector<CallRecord>& calls);

    Storage& m_storage;
    DirectoryOptions m_options;
    PasswordCheck m_passwords;
    RecentWrites m_knownWrites{86400};  // known logins recorded by this process
    RecentWrites m_keyWrites{86400};    // identity keys stored by this process
};
