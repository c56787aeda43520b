#include "directory/server/RendezvousHandler.h"

#include <algorithm>
#include <chrono>
#include <climits>

#include "directory/server/Directory.h"

namespace {

// The slot of an address: a multiplicative hash, so that neighbouring addresses spread out.
size_t SlotOf(uint32_t address, size_t slots) {
    return static_cast<size_t>((address * 2654435761u) >> 20) % slots;
}

void Refill(double* tokens, int64_t* lastMs, int64_t nowMs, double rate, double burst) {
    if (nowMs > *lastMs) {
        *tokens = std::min(burst, *tokens + static_cast<double>(nowMs - *lastMs) * rate / 1000.0);
        *lastMs = nowMs;
    }
}

std::string_view KeyView(const std::string& key) {
    return std::string_view(key.data(), key.size());
}

}  // namespace

bool TokenBucket::Take(int64_t nowMs) {
    Refill(&m_tokens, &m_lastMs, nowMs, m_rate, m_burst);
    if (m_tokens < 1.0) {
        return false;
    }
    m_tokens -= 1.0;
    return true;
}

bool SourceBudgets::Take(uint32_t address, int64_t nowMs) {
    Slot& s = m_slots[SlotOf(address, m_slots.size())];
    if (!s.used || s.address != address) {
        s.used = true;
        s.address = address;
        s.tokens = m_burst;
        s.lastMs = nowMs;
    }
    Refill(&s.tokens, &s.lastMs, nowMs, m_rate, m_burst);
    if (s.tokens < 1.0) {
        return false;
    }
    s.tokens -= 1.0;
    return true;
}

RendezvousHandler::RendezvousHandler(RendezvousRegistry& registry, RendezvousSettings settings)
    : m_registry(registry),
      m_settings(std::move(settings)),
      m_sources(m_settings.sourceRate, m_settings.sourceBurst),
      m_answers(m_settings.answerRate, m_settings.answerBurst) {}

int64_t RendezvousHandler::Now() const {
    if (m_settings.clock) {
        return m_settings.clock();
    }
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

void RendezvousHandler::OnDatagram(const uint8_t* data, size_t size, const sockaddr_in& from,
                                   int64_t nowMs, std::vector<OutDatagram>* out) {
    if (!m_sources.Take(from.sin_addr.s_addr, nowMs) || !stun::LooksLikeStun(data, size)) {
        return;
    }
    std::optional<stun::Message> m = stun::Message::Parse(data, size);
    if (!m) {
        return;
    }
    const bool plain = !m->HasIntegrity() && !m->Find(stun::kUsername).has_value();
    switch (m->Method()) {
        case stun::kBinding:
            if (m->Kind() == stun::Class::kRequest) {
                plain ? AnswerPlainBinding(*m, from, nowMs, out) : TakeKeepAlive(*m, from, out);
            }
            break;
        case stun::kCallNotice:
            if (m->Kind() == stun::Class::kSuccess && !plain) {
                TakeAcknowledgement(*m);
            }
            break;
        case stun::kRelayOffer:
            if (m->Kind() == stun::Class::kRequest && !plain) {
                TakeRelayOffer(*m, from, out);
            }
            break;
        default:
            break;
    }
}

void RendezvousHandler::AnswerPlainBinding(const stun::Message& m, const sockaddr_in& from,
                                           int64_t nowMs, std::vector<OutDatagram>* out) {
    if (!m_answers.Take(nowMs)) {
        return;
    }
    stun::Builder b(stun::kBinding, stun::Class::kSuccess, m.Transaction());
    b.XorAddress(stun::kXorMappedAddress, from).Fingerprint();
    out->push_back(OutDatagram{from, b.Bytes()});
}

bool RendezvousHandler::Authenticate(const stun::Message& m, std::string* name,
                                     RendezvousPeer* peer) const {
    std::optional<std::string_view> user = m.Find(stun::kUsername);
    if (!user || !m.HasIntegrity() || !Directory::NormalizeName(*user, name)) {
        return false;
    }
    if (m_registry.Find(*name, Now() - m_settings.onlineSeconds, peer) != StoreResult::Ok ||
        peer->key.size() != kRendezvousKeyBytes) {
        return false;
    }
    return m.CheckIntegrity(KeyView(peer->key)) && m.CheckFingerprint();
}

void RendezvousHandler::TakeKeepAlive(const stun::Message& m, const sockaddr_in& from,
                                      std::vector<OutDatagram>* out) {
    std::string name;
    RendezvousPeer peer;
    if (!Authenticate(m, &name, &peer)) {
        return;
    }
    // A keep-alive may move a live registration to another address only with a number above
    // every one taken before: a copy of an old one, sent from a forged address, moves nothing.
    const uint64_t sequence = m.U64(stun::kZorvoSequence).value_or(0);
    const bool live = peer.RegisteredSince(Now() - kRegistrationSeconds);
    const bool same = live && peer.source->sin_addr.s_addr == from.sin_addr.s_addr &&
                      peer.source->sin_port == from.sin_port;
    if (live && !same && sequence <= peer.sequence) {
        return;
    }
    const uint64_t highest = live ? std::max(sequence, peer.sequence) : sequence;
    if (m_registry.Register(name, from, Now(), highest) != StoreResult::Ok) {
        return;
    }
    stun::Builder b(stun::kBinding, stun::Class::kSuccess, m.Transaction());
    b.XorAddress(stun::kXorMappedAddress, from).Integrity(KeyView(peer.key)).Fingerprint();
    out->push_back(OutDatagram{from, b.Bytes()});
}

void RendezvousHandler::TakeAcknowledgement(const stun::Message& m) {
    for (auto it = m_pending.begin(); it != m_pending.end(); ++it) {
        if (it->transaction == m.Transaction()) {
            if (m.CheckIntegrity(KeyView(it->key)) && m.CheckFingerprint()) {
                m_pending.erase(it);
            }
            return;
        }
    }
}

void RendezvousHandler::TakeRelayOffer(const stun::Message& m, const sockaddr_in& from,
                                       std::vector<OutDatagram>* out) {
    std::string name;
    RendezvousPeer peer;
    if (!Authenticate(m, &name, &peer)) {
        return;
    }
    std::optional<std::string_view> token = m.Find(stun::kZorvoToken);
    std::vector<stun::Candidate> offered = m.Candidates();
    if (!token || token->size() != kTokenBytes || offered.size() != 1 ||
        offered.front().kind != stun::CandidateKind::kRelayed) {
        return;
    }
    CallToken t;
    bool fresh = false;
    if (m_registry.OfferRelay(std::string(*token), name, offered.front(), Now(), &t, &fresh) !=
        StoreResult::Ok) {
        return;
    }
    // The callee hears of the relay once; a repeated offer (its answer was lost) is answered
    // again without a second notice.
    if (fresh && m_registry.PostNotice(CallNoticeOrder{t.callee, t.token, name, offered}) !=
                     StoreResult::Ok) {
        return;
    }
    stun::Builder b(stun::kRelayOffer, stun::Class::kSuccess, m.Transaction());
    b.Integrity(KeyView(peer.key)).Fingerprint();
    out->push_back(OutDatagram{from, b.Bytes()});
}

void RendezvousHandler::Order(const CallNoticeOrder& order) {
    const bool relayed =
        std::any_of(order.candidates.begin(), order.candidates.end(),
                    [](const auto& c) { return c.kind == stun::CandidateKind::kRelayed; });
    ++(relayed ? m_relayedCalls : m_calls);
    std::lock_guard<std::mutex> lock(m_ordersLock);
    if (m_orders.size() < kMaxWaitingOrders) {
        m_orders.push_back(order);
    }
}

RendezvousHandler::Counts RendezvousHandler::TakeCounts() {
    return Counts{m_calls.exchange(0), m_relayedCalls.exchange(0)};
}

bool RendezvousHandler::Prepare(const CallNoticeOrder& order, int64_t nowMs, Pending* p) const {
    RendezvousPeer callee;
    const int64_t now = Now();
    if (m_registry.Find(order.callee, now - m_settings.onlineSeconds, &callee) != StoreResult::Ok ||
        !callee.RegisteredSince(now - kRegistrationSeconds) ||
        callee.key.size() != kRendezvousKeyBytes) {
        return false;
    }
    p->transaction = stun::NewTransactionId();
    p->key = callee.key;
    stun::Builder b(stun::kCallNotice, stun::Class::kRequest, p->transaction);
    b.Bytes(stun::kZorvoToken, order.token).Text(stun::kZorvoCaller, order.caller);
    for (const stun::Candidate& c : order.candidates) {
        b.AddCandidate(c);
    }
    b.Integrity(KeyView(callee.key)).Fingerprint();
    p->datagram = OutDatagram{*callee.source, b.Bytes()};
    p->dueMs = nowMs;
    return true;
}

void RendezvousHandler::OnTimer(int64_t nowMs, std::vector<OutDatagram>* out) {
    std::deque<CallNoticeOrder> orders;
    {
        std::lock_guard<std::mutex> lock(m_ordersLock);
        orders.swap(m_orders);
    }
    for (const CallNoticeOrder& order : orders) {
        Pending p;
        if (m_pending.size() < kMaxPendingNotices && Prepare(order, nowMs, &p)) {
            m_pending.push_back(std::move(p));
        }
    }
    for (Pending& p : m_pending) {
        if (p.dueMs <= nowMs) {
            out->push_back(p.datagram);
            ++p.sent;
            p.dueMs = nowMs + kNoticeIntervalMs;
        }
    }
    // After the last send a late acknowledgement changes nothing.
    m_pending.erase(std::remove_if(m_pending.begin(), m_pending.end(),
                                   [](const Pending& p) { return p.sent >= kNoticeSends; }),
                    m_pending.end());
}

int64_t RendezvousHandler::NextDue() const {
    int64_t due = INT64_MAX;
    for (const Pending& p : m_pending) {
        due = std::min(due, p.dueMs);
    }
    return due;
}
