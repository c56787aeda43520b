#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "directory/server/Storage.h"
#include "stun/Endpoint.h"
#include "stun/StunMessage.h"

// What the rendezvous knows of the users whose clients have the extension: each user's
// rendezvous key, made for the user's presence and kept while it lasts; the address its
// keep-alives come from (its router's mapping) and when the last one came; the addresses it
// reported (its own, and a port mapping of its router); and the call tokens handed out by the
// call page. A service of one process keeps this in memory; several processes on one PostgreSQL
// database keep it there, so that any process can answer for any user.

inline constexpr int64_t kRegistrationSeconds = 60;  // a registration without keep-alive is gone
inline constexpr int64_t kTokenSeconds = 30;         // a call token is good this long
inline constexpr size_t kRendezvousKeyBytes = 16;
inline constexpr size_t kTokenBytes = 16;
inline constexpr int kTokensPerCaller = 8;  // unexpired tokens of one caller, at most

// "a.b.c.d:port" with a port from 1 to 65535, and back.
using stun::EndpointText;
using stun::ParseEndpoint;

// What a heartbeat of a client with the extension reports besides its presence.
struct Announcement {
    std::string caps;                   // the capability tokens, as given
    std::optional<sockaddr_in> local;   // the client's own address and call port
    std::optional<sockaddr_in> mapped;  // its router's port mapping to the call port
};

// A user's rendezvous state.
struct RendezvousPeer {
    std::string key;   // 16 raw bytes
    int64_t seen = 0;  // the last heartbeat that announced the extension
    std::string caps;
    std::optional<sockaddr_in> local;
    std::optional<sockaddr_in> mapped;
    std::optional<sockaddr_in> source;  // where its keep-alives come from, once registered
    int64_t registered = 0;             // the last keep-alive that checked out
    std::string holder;                 // the process that received that keep-alive
    uint64_t sequence = 0;              // the highest keep-alive number taken

    // Registered with a keep-alive at or after since.
    bool RegisteredSince(int64_t since) const { return source.has_value() && registered >= since; }
};

struct CallToken {
    std::string token;  // 16 raw bytes
    std::string caller;
    std::string callee;
    int64_t expires = 0;
    std::optional<stun::Candidate> relay;  // the relayed candidate the caller offered, once
};

// A call notice for the process that holds the callee's registration to send.
struct CallNoticeOrder {
    std::string callee;
    std::string token;  // 16 raw bytes
    std::string caller;
    std::vector<stun::Candidate> candidates;
};

// Every method may be called from many threads at once.
class RendezvousRegistry {
  public:
    using NoticeSink = std::function<void(const CallNoticeOrder&)>;
    virtual ~RendezvousRegistry() = default;

    // A heartbeat with the extension: keeps the user's key while the user has stayed present
    // (an announcement at or after keepSince), else makes a new one; stores the capabilities
    // and reported addresses. *key gets the key.
    virtual StoreResult Announce(const std::string& name, const Announcement& a, int64_t now,
                                 int64_t keepSince, std::string* key) = 0;
    // A login or a logoff: the user's key, registration and addresses go.
    virtual StoreResult Forget(const std::string& name) = 0;
    // The state of a user that announced the extension at or after since; NotFound otherwise.
    virtual StoreResult Find(const std::string& name, int64_t since, RendezvousPeer* out) = 0;
    // A keep-alive that checked out: source is the user's registration address from now on,
    // held by this process; sequence is the highest keep-alive number taken so far.
    virtual StoreResult Register(const std::string& name, const sockaddr_in& source, int64_t now,
                                 uint64_t sequence) = 0;
    // For each of names, whether it is registered with a keep-alive at or after since.
    virtual StoreResult Registered(const std::vector<std::string>& names, int64_t since,
                                   std::vector<bool>* out) = 0;

    // Keeps a new token; Throttled when its caller already has kTokensPerCaller unexpired ones.
    virtual StoreResult AddToken(const CallToken& token, int64_t now) = 0;
    // A relay offer of caller under token: NotFound unless the token was given to caller and has
    // not expired at now. The first offer is recorded (*fresh true); the same candidate again is
    // accepted (*fresh false); another candidate is refused with Exists. *out gets the token.
    virtual StoreResult OfferRelay(const std::string& token, const std::string& caller,
                                   const stun::Candidate& relay, int64_t now, CallToken* out,
                                   bool* fresh) = 0;

    // Has the process that holds the callee's registration send the notice; NotFound when no
    // process holds it.
    virtual StoreResult PostNotice(const CallNoticeOrder& order) = 0;
    // Where the notices for this process go: its rendezvous. Set before the service starts.
    virtual void SetNoticeSink(NoticeSink sink) = 0;
};

// The registry of a service of one process, in memory. Users whose last announcement is a day
// old and expired tokens are swept out now and then.
class MemoryRendezvousRegistry : public RendezvousRegistry {
  public:
    StoreResult Announce(const std::string& name, const Announcement& a, int64_t now,
                         int64_t keepSince, std::string* key) override;
    StoreResult Forget(const std::string& name) override;
    StoreResult Find(const std::string& name, int64_t since, RendezvousPeer* out) override;
    StoreResult Register(const std::string& name, const sockaddr_in& source, int64_t now,
                         uint64_t sequence) override;
    StoreResult Registered(const std::vector<std::string>& names, int64_t since,
                           std::vector<bool>* out) override;
    StoreResult AddToken(const CallToken& token, int64_t now) override;
    StoreResult OfferRelay(const std::string& token, const std::string& caller,
                           const stun::Candidate& relay, int64_t now, CallToken* out,
                           bool* fresh) override;
    StoreResult PostNotice(const CallNoticeOrder& order) override;
    void SetNoticeSink(NoticeSink sink) override;

  private:
    void Sweep(int64_t now);

    std::mutex m_lock;
    std::unordered_map<std::string, RendezvousPeer> m_peers;
    std::map<std::string, CallToken> m_tokens;
    int64_t m_lastSweep = 0;
    NoticeSink m_sink;
};

// A fresh random key or token of n bytes.
std::string RandomBytes(size_t n);
// True when two relayed candidates are the same.
bool SameCandidate(const stun::Candidate& a, const stun::Candidate& b);
