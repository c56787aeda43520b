#pragma once

// A TURN client (RFC 8656) for one UDP allocation on a relay server with long-term credentials,
// that owns no socket: the caller sends what Poll returns to Server() from its own socket and
// offers every datagram it receives from Server() to Receive. Time is passed in as milliseconds
// of a steady clock, so the client never sleeps or reads a clock itself.
//
// Threads: everything except WrapSend and UnwrapData is used from one thread at a time. WrapSend
// is static and UnwrapData only reads the server address fixed at construction, so a call
// thread may wrap sends while another unwraps receives, concurrently with each other and with
// the rest of the client.
//
// Buffers: datagrams returned by Poll and WrapSend belong to the caller. Receive and UnwrapData
// read the caller's buffer only during the call, except that the payload UnwrapData returns is a
// view into that same buffer, valid as long as the caller keeps it.

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "stun/StunMessage.h"

namespace stun {

class TurnClient {
  public:
    // Requests unanswered are sent again every kRetransmitMs, kMaxSends times in all; the
    // request fails kRetransmitMs after its last sending.
    static constexpr int64_t kRetransmitMs = 250;
    static constexpr int kMaxSends = 6;

    enum class State { kIdle, kAllocating, kAllocated, kReleased, kFailed };
    // The outcome of a CreatePermission or a Refresh.
    enum class Outcome { kNone, kPending, kDone, kFailed };

    // user and password as the relay knows them (coturn's shared-secret scheme: user =
    // "expiry:name", password = SharedSecretPassword(secret, user)).
    TurnClient(const sockaddr_in& server, std::string user, std::string password);

    const sockaddr_in& Server() const { return m_server; }
    // True when from is the relay server (address and port).
    bool IsServer(const sockaddr_in& from) const;

    // Starts the allocation: an Allocate without credentials goes out on the next Poll, the
    // 401 it gets brings the realm and nonce for the authenticated one. Only from kIdle.
    bool Allocate(int64_t nowMs);
    // Installs (or renews) a permission for the peer's IPv4 address; the port does not matter
    // to the relay. Only while kAllocated.
    bool Permit(const sockaddr_in& peer, int64_t nowMs);
    // Refreshes the allocation for lifetimeSeconds; 0 releases it (state kReleased once the
    // relay agrees). Only while kAllocated; replaces a refresh still unanswered.
    bool Refresh(uint32_t lifetimeSeconds, int64_t nowMs);

    // The datagrams to send to Server() now: new requests and retransmissions. Also fails the
    // requests that ran out of retransmissions.
    std::vector<std::vector<uint8_t>> Poll(int64_t nowMs);
    // When Poll next has something to do; empty when nothing is waiting for an answer.
    std::optional<int64_t> Due() const;

    // Offers a received datagram. True when it was consumed: a response from the server to one
    // of this client's requests (the caller then drops it). Everything else, Data indications
    // included, is left to the caller (false).
    bool Receive(const uint8_t* bytes, std::size_t size, const sockaddr_in& from, int64_t nowMs);

    State GetState() const { return m_state; }
    // Why the allocation or the last failed request failed, for logs; empty when none did.
    const std::string& FailureReason() const { return m_reason; }
    // The relayed address and the address the relay saw us at; set once kAllocated.
    std::optional<sockaddr_in> Relayed() const { return m_relayed; }
    std::optional<sockaddr_in> Mapped() const { return m_mapped; }
    // The lifetime in seconds the relay granted by the last Allocate or Refresh.
    uint32_t Lifetime() const { return m_lifetime; }
    // The outcome of the last CreatePermission for that peer's IPv4 address.
    Outcome PermissionOutcome(const sockaddr_in& peer) const;
    Outcome RefreshOutcome() const { return m_refresh; }

    // A Send indication carrying payload to peer through the relay. Thread-safe.
    static std::vector<uint8_t> WrapSend(const sockaddr_in& peer, const uint8_t* payload,
                                         std::size_t size);

    struct Data {
        sockaddr_in peer{};
        const uint8_t* payload = nullptr;  // points into the buffer given to UnwrapData
        std::size_t size = 0;
    };
    // The peer and payload of a Data indication received from the server; empty for anything
    // else (other sources, other messages, malformed ones). Safe concurrently with WrapSend and
    // with the other members.
    std::optional<Data> UnwrapData(const uint8_t* bytes, std::size_t size,
                                   const sockaddr_in& from) const;

  private:
    enum class Kind { kAllocate, kPermission, kRefresh };
    struct Request {
        Kind kind;
        TransactionId id;
        std::vector<uint8_t> bytes;
        int64_t nextAt;  // when to send (again), or when it fails after the last sending
        int sends = 0;
        bool authenticated = false;
        int staleRetries = 0;
        sockaddr_in peer{};     // kPermission
        uint32_t lifetime = 0;  // kRefresh
    };
    struct Permission {
        uint32_t address;  // network order
        Outcome outcome;
    };

    void Queue(Kind kind, const sockaddr_in& peer, uint32_t lifetime, int64_t nowMs);
    std::vector<uint8_t> Build(const Request& request) const;
    void HandleSuccess(const Request& request, const Message& m);
    // True when the request goes out again (authenticated, or with the new nonce).
    bool Reauthenticate(Request& request, const Message& m, int64_t nowMs);
    void Fail(const Request& request, std::string reason);
    void SetPermission(uint32_t address, Outcome outcome);

    const sockaddr_in m_server;
    const std::string m_user;
    const std::string m_password;
    std::string m_realm;
    std::string m_nonce;
    std::string m_key;  // LongTermKey(user, realm, password) once the realm is known

    State m_state = State::kIdle;
    std::string m_reason;
    std::optional<sockaddr_in> m_relayed;
    std::optional<sockaddr_in> m_mapped;
    uint32_t m_lifetime = 0;
    Outcome m_refresh = Outcome::kNone;
    std::vector<Permission> m_permissions;
    std::vector<Request> m_requests;
};

}  // namespace stun
