#include "stun/TurnClient.h"

#include <algorithm>
#include <utility>

namespace stun {

namespace {

constexpr uint32_t kTransportUdp = 17u << 24;  // protocol number, then 3 reserved bytes
constexpr int kUnauthorized = 401;
constexpr int kStaleNonce = 438;
constexpr int kMaxStaleRetries = 3;

uint16_t MethodOf(int kind) {
    static constexpr uint16_t kMethods[] = {kAllocate, kCreatePermission, kRefresh};
    return kMethods[kind];
}

const char* NameOf(int kind) {
    static constexpr const char* kNames[] = {"Allocate", "CreatePermission", "Refresh"};
    return kNames[kind];
}

// A reason phrase from the network, cut short and reduced to printable ASCII for logs.
std::string Printable(std::string_view text) {
    std::string out;
    for (const char c : text.substr(0, 80)) {
        out.push_back(c >= 0x20 && c < 0x7F ? c : '?');
    }
    return out;
}

}  // namespace

TurnClient::TurnClient(const sockaddr_in& server, std::string user, std::string password)
    : m_server(server), m_user(std::move(user)), m_password(std::move(password)) {}

bool TurnClient::IsServer(const sockaddr_in& from) const {
    return from.sin_family == AF_INET && from.sin_addr.s_addr == m_server.sin_addr.s_addr &&
           from.sin_port == m_server.sin_port;
}

bool TurnClient::Allocate(int64_t nowMs) {
    if (m_state != State::kIdle) {
        return false;
    }
    m_state = State::kAllocating;
    Queue(Kind::kAllocate, sockaddr_in{}, 0, nowMs);
    return true;
}

bool TurnClient::Permit(const sockaddr_in& peer, int64_t nowMs) {
    if (m_state != State::kAllocated) {
        return false;
    }
    // A newer permission request for the same address replaces one still unanswered.
    std::erase_if(m_requests, [&](const Request& r) {
        return r.kind == Kind::kPermission && r.peer.sin_addr.s_addr == peer.sin_addr.s_addr;
    });
    SetPermission(peer.sin_addr.s_addr, Outcome::kPending);
    Queue(Kind::kPermission, peer, 0, nowMs);
    return true;
}

bool TurnClient::Refresh(uint32_t lifetimeSeconds, int64_t nowMs) {
    if (m_state != State::kAllocated) {
        return false;
    }
    std::erase_if(m_requests, [](const Request& r) { return r.kind == Kind::kRefresh; });
    m_refresh = Outcome::kPending;
    Queue(Kind::kRefresh, sockaddr_in{}, lifetimeSeconds, nowMs);
    return true;
}

void TurnClient::Queue(Kind kind, const sockaddr_in& peer, uint32_t lifetime, int64_t nowMs) {
    Request r{kind, NewTransactionId(), {}, nowMs};
    r.peer = peer;
    r.lifetime = lifetime;
    // Once the realm and nonce are known every request carries the credentials.
    r.authenticated = !m_key.empty();
    r.bytes = Build(r);
    m_requests.push_back(std::move(r));
}

std::vector<uint8_t> TurnClient::Build(const Request& request) const {
    Builder b(MethodOf(static_cast<int>(request.kind)), Class::kRequest, request.id);
    switch (request.kind) {
        case Kind::kAllocate:
            b.U32(kRequestedTransport, kTransportUdp);
            break;
        case Kind::kPermission:
            b.XorAddress(kXorPeerAddress, request.peer);
            break;
        case Kind::kRefresh:
            b.U32(kLifetime, request.lifetime);
            break;
    }
    if (request.authenticated) {
        b.Text(kUsername, m_user).Text(kRealm, m_realm).Text(kNonce, m_nonce).Integrity(m_key);
    }
    b.Fingerprint();
    return b.Bytes();
}

std::vector<std::vector<uint8_t>> TurnClient::Poll(int64_t nowMs) {
    std::vector<std::vector<uint8_t>> out;
    std::vector<Request> expired;
    for (auto it = m_requests.begin(); it != m_requests.end();) {
        if (it->nextAt > nowMs) {
            ++it;
        } else if (it->sends >= kMaxSends) {
            expired.push_back(std::move(*it));
            it = m_requests.erase(it);
        } else {
            out.push_back(it->bytes);
            ++it->sends;
            it->nextAt = nowMs + kRetransmitMs;
            ++it;
        }
    }
    for (const auto& r : expired) {
        Fail(r, std::string("no answer from the relay to ") + NameOf(static_cast<int>(r.kind)));
    }
    return out;
}

std::optional<int64_t> TurnClient::Due() const {
    std::optional<int64_t> due;
    for (const auto& r : m_requests) {
        if (!due || r.nextAt < *due) {
            due = r.nextAt;
        }
    }
    return due;
}

// Responses to the TURN methods from the server are the client's own, even late or forged
// ones, which it drops; only a response to a request still waiting changes anything.
bool TurnClient::Receive(const uint8_t* bytes, std::size_t size, const sockaddr_in& from,
                         int64_t nowMs) {
    if (!IsServer(from)) {
        return false;
    }
    const auto m = Message::Parse(bytes, size);
    if (!m || (m->Kind() != Class::kSuccess && m->Kind() != Class::kError) ||
        (m->Method() != kAllocate && m->Method() != kCreatePermission && m->Method() != kRefresh)) {
        return false;
    }
    const auto it = std::find_if(m_requests.begin(), m_requests.end(), [&](const Request& r) {
        return r.id == m->Transaction() && MethodOf(static_cast<int>(r.kind)) == m->Method();
    });
    if (it == m_requests.end() || (m->Find(kFingerprint) && !m->CheckFingerprint())) {
        return true;
    }
    // An answer to a request with credentials must prove the relay knows them too.
    const bool proven = !it->authenticated || m->CheckIntegrity(m_key);
    if (m->Kind() == Class::kSuccess) {
        if (proven) {
            const Request done = std::move(*it);
            m_requests.erase(it);
            HandleSuccess(done, *m);
        }
        return true;
    }
    if (Reauthenticate(*it, *m, nowMs)) {
        return true;
    }
    const Request failed = std::move(*it);
    m_requests.erase(it);
    Fail(failed, std::string(NameOf(static_cast<int>(failed.kind))) + " refused: " +
                     std::to_string(m->ErrorCode()) + " " + Printable(m->ErrorReason()));
    return true;
}

void TurnClient::HandleSuccess(const Request& request, const Message& m) {
    switch (request.kind) {
        case Kind::kAllocate:
            m_relayed = m.XorAddress(kXorRelayedAddress);
            m_mapped = m.XorAddress(kXorMappedAddress);
            m_lifetime = m.U32(kLifetime).value_or(0);
            if (!m_relayed) {
                Fail(request, "Allocate answered without an IPv4 relayed address");
                return;
            }
            m_state = State::kAllocated;
            break;
        case Kind::kPermission:
            SetPermission(request.peer.sin_addr.s_addr, Outcome::kDone);
            break;
        case Kind::kRefresh:
            m_lifetime = m.U32(kLifetime).value_or(request.lifetime);
            m_refresh = Outcome::kDone;
            if (request.lifetime == 0) {
                m_state = State::kReleased;
                m_requests.clear();
            }
            break;
    }
}

// 401 to a request without credentials brings the realm and nonce to send them with; 438 a
// fresh nonce. Either way the request goes out again as a new transaction. A 401 to a request
// that had credentials means they were refused.
bool TurnClient::Reauthenticate(Request& request, const Message& m, int64_t nowMs) {
    const int code = m.ErrorCode();
    const auto nonce = m.Find(kNonce);
    const auto realm = m.Find(kRealm);
    if (!nonce || (code != kUnauthorized && code != kStaleNonce)) {
        return false;
    }
    if (code == kUnauthorized) {
        if (request.authenticated || !realm) {
            return false;
        }
    } else if (!request.authenticated || ++request.staleRetries > kMaxStaleRetries) {
        return false;
    }
    if (realm && *realm != m_realm) {
        m_realm = std::string(*realm);
        m_key = LongTermKey(m_user, m_realm, m_password);
    }
    m_nonce = std::string(*nonce);
    request.authenticated = true;
    request.id = NewTransactionId();
    request.bytes = Build(request);
    request.sends = 0;
    request.nextAt = nowMs;
    return true;
}

void TurnClient::Fail(const Request& request, std::string reason) {
    m_reason = std::move(reason);
    switch (request.kind) {
        case Kind::kAllocate:
            m_state = State::kFailed;
            break;
        case Kind::kPermission:
            SetPermission(request.peer.sin_addr.s_addr, Outcome::kFailed);
            break;
        case Kind::kRefresh:
            m_refresh = Outcome::kFailed;
            break;
    }
}

void TurnClient::SetPermission(uint32_t address, Outcome outcome) {
    for (auto& p : m_permissions) {
        if (p.address == address) {
            p.outcome = outcome;
            return;
        }
    }
    m_permissions.push_back(Permission{address, outcome});
}

TurnClient::Outcome TurnClient::PermissionOutcome(const sockaddr_in& peer) const {
    for (const auto& p : m_permissions) {
        if (p.address == peer.sin_addr.s_addr) {
            return p.outcome;
        }
    }
    return Outcome::kNone;
}

std::vector<uint8_t> TurnClient::WrapSend(const sockaddr_in& peer, const uint8_t* payload,
                                          std::size_t size) {
    Builder b(kSend, Class::kIndication, NewTransactionId());
    b.XorAddress(kXorPeerAddress, peer)
        .Bytes(kData_, std::string_view(reinterpret_cast<const char*>(payload), size));
    return b.Bytes();
}

std::optional<TurnClient::Data> TurnClient::UnwrapData(const uint8_t* bytes, std::size_t size,
                                                       const sockaddr_in& from) const {
    if (!IsServer(from) || !LooksLikeStun(bytes, size)) {
        return std::nullopt;
    }
    const auto m = Message::Parse(bytes, size);
    if (!m || m->Method() != kData || m->Kind() != Class::kIndication) {
        return std::nullopt;
    }
    const auto peer = m->XorAddress(kXorPeerAddress);
    const auto data = m->Locate(kData_);
    if (!peer || !data) {
        return std::nullopt;
    }
    // Parse keeps the offsets of the received bytes, so the payload is a view of the caller's.
    return Data{*peer, bytes + data->first, data->second};
}

}  // namespace stun
