// Finding and keeping a path across home routers: registration with the rendezvous, call notices,
// authenticated probes, the relay fall-back and keep-alives on the path.

#include "engine/PathAgent.h"

#include <arpa/inet.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "engine/RelayLeg.h"
#include "stun/Endpoint.h"
#include "wire/ZorvoMsg.h"

namespace {

constexpr std::size_t kTokenBytes = 16;
constexpr uint32_t kFindPathWaitMs = 20;  // the caller's receive wait while it probes
constexpr uint32_t kNever = 0xFFFFFFFF;

bool SameEndpoint(const sockaddr_in& a, const sockaddr_in& b) {
    return a.sin_addr.s_addr == b.sin_addr.s_addr && a.sin_port == b.sin_port;
}

uint32_t Until(uint64_t when, uint64_t now) {
    if (when <= now) {
        return 0;
    }
    return static_cast<uint32_t>(std::min<uint64_t>(when - now, kNever - 1));
}

std::vector<uint8_t> BindingRequest(std::string_view user, std::string_view key) {
    stun::Builder b(stun::kBinding, stun::Class::kRequest, stun::NewTransactionId());
    b.Text(stun::kUsername, user).Integrity(key).Fingerprint();
    return b.Bytes();
}

// The number of a keep-alive: the wall clock in microseconds, and above every earlier one of this
// process (engines come and go; the rendezvous moves a registration only for a higher number).
uint64_t NextKeepAliveNumber() {
    static std::atomic<uint64_t> last{0};
    const auto now = std::chrono::system_clock::now().time_since_epoch();
    const uint64_t clock =
        static_cast<uint64_t>(std::chrono::duration_cast<std::chrono::microseconds>(now).count());
    uint64_t previous = last.load();
    uint64_t next = 0;
    do {
        next = std::max(clock, previous + 1);
    } while (!last.compare_exchange_weak(previous, next));
    return next;
}

std::vector<uint8_t> KeepAlive(std::string_view user, std::string_view key) {
    stun::Builder b(stun::kBinding, stun::Class::kRequest, stun::NewTransactionId());
    b.Text(stun::kUsername, user)
        .U64(stun::kZorvoSequence, NextKeepAliveNumber())
        .Integrity(key)
        .Fingerprint();
    return b.Bytes();
}

}  // namespace

const char* PathKindName(int kind) {
    switch (static_cast<PathKind>(kind)) {
        case PathKind::kDirect:
            return "direct";
        case PathKind::kLocal:
            return "local";
        case PathKind::kMapped:
            return "mapped";
        case PathKind::kPunched:
            return "punched";
        case PathKind::kRelayed:
            return "relayed";
    }
    return nullptr;
}

PathAgent::PathAgent(EngineReport& report, const EngineTiming& timing)
    : m_report(report), m_timing(timing) {}

PathAgent::~PathAgent() = default;

void PathAgent::SetRendezvous(const RendezvousConfig& config) {
    m_rendezvous = config;
}

void PathAgent::SetPlan(const CallPlan& plan) {
    m_plan = plan;
}

std::optional<sockaddr_in> PathAgent::PublicAddress() const {
    const uint64_t shared = m_publicShared.load();
    if (shared == 0) {
        return std::nullopt;
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(static_cast<uint32_t>(shared >> 16));
    address.sin_port = htons(static_cast<uint16_t>(shared & 0xFFFF));
    return address;
}

// --- caller ----------------------------------------------------------------------------------

int PathAgent::FindPath(UdpLink& link, const CallState& state) {
    const uint64_t start = UdpLink::NowMs();
    m_probing.emplace();
    m_probing->token = m_plan->token;
    m_probing->key = m_plan->probeKey;
    m_probing->candidates = m_plan->candidates;
    m_probing->until = start + m_timing.probeTotalMs;
    m_report.Debug("Probing %zu candidates", m_probing->candidates.size());
    uint8_t buffer[zorvo::wire::kSetupBufferSize];
    while (!state.Stopping() && !m_probing->first) {
        const uint64_t now = UdpLink::NowMs();
        if (now >= m_probing->until) {
            break;
        }
        if (!m_relay && m_plan->relay && now - start >= m_timing.directPhaseMs) {
            m_report.Debug("No direct path yet: asking the relay");
            m_relay = std::make_unique<RelayLeg>(*m_plan->relay, m_report, m_timing);
            m_relay->Start(link, now);
        }
        uint32_t size = sizeof buffer;
        sockaddr_in from{};
        UdpLink::Fault fault;
        link.Receive(buffer, &size, kFindPathWaitMs, &from, &fault);  // records: not yet
    }
    if (state.Stopping() || !m_probing->first) {
        m_report.Debug("No path answered");
        return 0;
    }
    const int kind = _KindOf(*m_probing->first, m_probing->firstViaRelay);
    link.SetPeer(*m_probing->first);
    link.SetStrictPeer(true);
    m_relayed = m_probing->firstViaRelay;
    m_pathChosen = true;
    m_probing->until = 0;  // no more probes: the path is chosen
    if (m_relay && !m_relayed) {
        m_relay->Release(link);
    }
    m_report.Debug("Path %s to %s", PathKindName(kind),
                   stun::EndpointText(*m_probing->first).c_str());
    return kind;
}

void PathAgent::Release(UdpLink& link) {
    if (m_relay) {
        m_relay->Release(link);
    }
}

// --- datagrams -------------------------------------------------------------------------------

DatagramFilter::Verdict PathAgent::OnDatagram(UdpLink& link, uint8_t* buffer, uint32_t* size,
                                              uint32_t /*capacity*/, sockaddr_in* from) {
    bool viaRelay = false;
    if (m_relay && m_relay->IsServer(*from)) {
        const uint64_t now = UdpLink::NowMs();
        const bool wasAllocated = m_relay->Allocated();
        if (!m_relay->OnServerDatagram(link, buffer, size, from, now)) {
            if (!wasAllocated && m_relay->Allocated()) {
                _OnRelayAllocated(link, now);
            }
            return Verdict::kConsumed;
        }
        viaRelay = true;  // a peer's datagram, unwrapped in place
    }
    if (!stun::LooksLikeStun(buffer, *size)) {
        return Verdict::kPass;
    }
    const std::optional<stun::Message> msg = stun::Message::Parse(buffer, *size);
    if (!msg) {
        return Verdict::kConsumed;
    }
    if (!viaRelay && m_rendezvous && SameEndpoint(*from, m_rendezvous->server)) {
        _OnRendezvousMessage(link, *msg);
    } else {
        _OnPeerMessage(link, *msg, *from, viaRelay);
    }
    return Verdict::kConsumed;
}

void PathAgent::_OnRendezvousMessage(UdpLink& link, const stun::Message& msg) {
    if (!msg.CheckIntegrity(m_rendezvous->key)) {
        return;
    }
    if (msg.Method() == stun::kBinding && msg.Kind() == stun::Class::kSuccess) {
        const auto mapped = msg.XorAddress(stun::kXorMappedAddress);
        const uint64_t packed = mapped
                                    ? static_cast<uint64_t>(ntohl(mapped->sin_addr.s_addr)) << 16 |
                                          ntohs(mapped->sin_port)
                                    : 0;
        if (mapped && m_publicShared.exchange(packed) != packed) {
            m_report.Debug("Registered at the rendezvous as %s",
                           stun::EndpointText(*mapped).c_str());
            m_report.Status(STATUS_REGISTERED, 1);
        }
    } else if (msg.Method() == stun::kRelayOffer && msg.Kind() == stun::Class::kSuccess) {
        m_offerAcknowledged = true;
    } else if (msg.Method() == stun::kCallNotice && msg.Kind() == stun::Class::kRequest) {
        _OnCallNotice(link, msg);
    }
}

void PathAgent::_OnCallNotice(UdpLink& link, const stun::Message& msg) {
    stun::Builder ack(stun::kCallNotice, stun::Class::kSuccess, msg.Transaction());
    ack.Integrity(m_rendezvous->key).Fingerprint();
    link.SendTo(m_rendezvous->server, ack.Bytes().data(), ack.Bytes().size());
    const auto token = msg.Find(stun::kZorvoToken);
    if (!token || token->size() != kTokenBytes) {
        return;
    }
    const uint64_t now = UdpLink::NowMs();
    if (!m_probing || m_probing->token != *token) {
        if (m_probing && m_probing->until > now) {
            return;  // a call is being set up already
        }
        m_probing.emplace();
        m_probing->token = std::string(*token);
        m_probing->key = stun::HmacSha256(m_rendezvous->key, *token);
        m_pathChosen = false;
    }
    for (const stun::Candidate& candidate : msg.Candidates()) {
        const bool known = std::any_of(
            m_probing->candidates.begin(), m_probing->candidates.end(),
            [&](const stun::Candidate& c) { return SameEndpoint(c.address, candidate.address); });
        if (!known) {  // a notice sent again because its answer was lost
            m_probing->candidates.push_back(candidate);
        }
    }
    m_probing->until = now + m_timing.probeTotalMs;
    m_probing->next = now;
    const auto caller = msg.Find(stun::kZorvoCaller);
    m_report.Debug("Call notice from %.*s: probing %zu candidates",
                   static_cast<int>(caller ? std::min<std::size_t>(caller->size(), 63) : 0),
                   caller ? caller->data() : "", m_probing->candidates.size());
}

void PathAgent::_OnPeerMessage(UdpLink& link, const stun::Message& msg, const sockaddr_in& from,
                               bool viaRelay) {
    if (!m_probing || msg.Method() != stun::kBinding || !msg.CheckIntegrity(m_probing->key)) {
        return;  // keep-alives, strangers and wrong tokens alike
    }
    if (msg.Kind() == stun::Class::kRequest) {
        const auto user = msg.Find(stun::kUsername);
        if (!user || *user != stun::ToHex(m_probing->token)) {
            return;
        }
        stun::Builder answer(stun::kBinding, stun::Class::kSuccess, msg.Transaction());
        answer.XorAddress(stun::kXorMappedAddress, from).Integrity(m_probing->key).Fingerprint();
        _SendToPeer(link, from, answer.Bytes(), viaRelay);
        _Verified(from, viaRelay);
    } else if (msg.Kind() == stun::Class::kSuccess) {
        _Verified(from, viaRelay);
    }
}

void PathAgent::_Verified(const sockaddr_in& from, bool viaRelay) {
    if (!_IsVerified(from)) {
        m_probing->verified.push_back(from);
        m_report.Debug("Probe answered from %s%s", stun::EndpointText(from).c_str(),
                       viaRelay ? " through the relay" : "");
    }
    if (!m_probing->first) {
        m_probing->first = from;
        m_probing->firstViaRelay = viaRelay;
    }
}

bool PathAgent::_IsVerified(const sockaddr_in& address) const {
    if (!m_probing) {
        return false;
    }
    return std::any_of(m_probing->verified.begin(), m_probing->verified.end(),
                       [&](const sockaddr_in& v) { return SameEndpoint(v, address); });
}

void PathAgent::_SendToPeer(UdpLink& link, const sockaddr_in& to, const std::vector<uint8_t>& bytes,
                            bool viaRelay) {
    std::vector<uint8_t> wrapped;
    sockaddr_in server{};
    if (viaRelay && m_relay &&
        m_relay->WrapFor(to, bytes.data(), bytes.size(), &wrapped, &server)) {
        link.SendTo(server, wrapped.data(), wrapped.size());
    } else {
        link.SendTo(to, bytes.data(), bytes.size());
    }
}

void PathAgent::_OnRelayAllocated(UdpLink& link, uint64_t now) {
    for (const stun::Candidate& c : m_probing->candidates) {
        if (c.kind == stun::CandidateKind::kPublic || c.kind == stun::CandidateKind::kMapped) {
            m_relay->Permit(link, c.address, now);
        }
    }
    _SendRelayOffer(link);
}

void PathAgent::_SendRelayOffer(UdpLink& link) {
    if (!m_rendezvous || !m_relay || !m_relay->Relayed() || m_offerAcknowledged) {
        return;
    }
    stun::Builder offer(stun::kRelayOffer, stun::Class::kRequest, stun::NewTransactionId());
    offer.Text(stun::kUsername, m_rendezvous->user)
        .Bytes(stun::kZorvoToken, m_probing->token)
        .AddCandidate({stun::CandidateKind::kRelayed, *m_relay->Relayed()})
        .Integrity(m_rendezvous->key)
        .Fingerprint();
    link.SendTo(m_rendezvous->server, offer.Bytes().data(), offer.Bytes().size());
}

// --- callee ----------------------------------------------------------------------------------

int PathAgent::OnPeerChosen(UdpLink& link, const sockaddr_in& peer) {
    if (!_IsVerified(peer)) {
        return 0;  // an ordinary call by address: the rules of the call protocol alone
    }
    link.SetStrictPeer(true);
    m_pathChosen = true;
    m_probing->until = 0;
    const int kind = _KindOf(peer, false);
    m_report.Debug("Path %s from %s", PathKindName(kind), stun::EndpointText(peer).c_str());
    return kind;
}

int PathAgent::_KindOf(const sockaddr_in& address, bool viaRelay) const {
    if (viaRelay) {
        return static_cast<int>(PathKind::kRelayed);
    }
    const std::vector<stun::Candidate>& candidates = m_probing->candidates;
    auto local = std::find_if(candidates.begin(), candidates.end(), [](const stun::Candidate& c) {
        return c.kind == stun::CandidateKind::kLocal;
    });
    for (const stun::Candidate& c : candidates) {
        if (!SameEndpoint(c.address, address)) {
            continue;
        }
        switch (c.kind) {
            case stun::CandidateKind::kLocal:
                return static_cast<int>(PathKind::kLocal);
            case stun::CandidateKind::kMapped:
                return static_cast<int>(PathKind::kMapped);
            case stun::CandidateKind::kRelayed:
                return static_cast<int>(PathKind::kRelayed);
            case stun::CandidateKind::kPublic:
                // A public address that is the peer's own: no router in between.
                return static_cast<int>(local != candidates.end() &&
                                                SameEndpoint(local->address, address)
                                            ? PathKind::kDirect
                                            : PathKind::kPunched);
        }
    }
    return static_cast<int>(PathKind::kPunched);  // an address the peer's router chose
}

// --- timers ----------------------------------------------------------------------------------

uint32_t PathAgent::MsUntilDue(const UdpLink& link, uint64_t nowMs) {
    uint32_t due = kNever;
    if (m_rendezvous) {
        due = std::min(due, Until(m_nextKeepAlive, nowMs));
    }
    if (m_probing && m_probing->until > nowMs) {
        due = std::min(due, Until(m_probing->next, nowMs));
    }
    if (m_relay) {
        due = std::min(due, m_relay->MsUntilDue(nowMs));
    }
    if (m_pathChosen) {
        due = std::min(due, Until(link.LastSendMs() + m_timing.pathKeepAliveMs, nowMs));
    }
    return due;
}

void PathAgent::OnTimer(UdpLink& link, uint64_t nowMs) {
    if (m_rendezvous && nowMs >= m_nextKeepAlive) {
        const std::vector<uint8_t> request = KeepAlive(m_rendezvous->user, m_rendezvous->key);
        link.SendTo(m_rendezvous->server, request.data(), request.size());
        m_nextKeepAlive = nowMs + m_timing.rendezvousKeepAliveMs;
    }
    if (m_probing && m_probing->until > nowMs && nowMs >= m_probing->next) {
        _SendProbes(link, nowMs);
    }
    if (m_relay) {
        m_relay->OnTimer(link, nowMs);
    }
    if (m_pathChosen) {
        _SendKeepAlive(link, nowMs);
    }
}

void PathAgent::_SendProbes(UdpLink& link, uint64_t now) {
    const std::string user = stun::ToHex(m_probing->token);
    for (const stun::Candidate& candidate : m_probing->candidates) {
        const std::vector<uint8_t> probe = BindingRequest(user, m_probing->key);
        link.SendTo(candidate.address, probe.data(), probe.size());
    }
    _SendRelayOffer(link);  // again until the rendezvous has it
    m_probing->next = now + m_timing.probeIntervalMs;
}

void PathAgent::_SendKeepAlive(UdpLink& link, uint64_t now) {
    const uint64_t last = link.LastSendMs();
    if (last != 0 && now - last < m_timing.pathKeepAliveMs) {
        return;
    }
    stun::Builder b(stun::kBinding, stun::Class::kIndication, stun::NewTransactionId());
    b.Fingerprint();
    link.Send(b.Bytes().data(), b.Bytes().size());  // through the relay when the path uses it
}

bool PathAgent::Wrap(const uint8_t* bytes, std::size_t size, const sockaddr_in& peer,
                     std::vector<uint8_t>* out, sockaddr_in* to) const {
    return m_relayed && m_relay && m_relay->WrapFor(peer, bytes, size, out, to);
}
