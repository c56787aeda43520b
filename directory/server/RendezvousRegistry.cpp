#include "directory/server/RendezvousRegistry.h"

#include <arpa/inet.h>
#include <sodium.h>

#include <iterator>

namespace {

constexpr int64_t kSweepSeconds = 60;
constexpr int64_t kForgottenAfter = 86400;  // a user silent this long is dropped from memory

}  // namespace

std::string RandomBytes(size_t n) {
    std::string bytes(n, '\0');
    randombytes_buf(bytes.data(), bytes.size());
    return bytes;
}

bool SameCandidate(const stun::Candidate& a, const stun::Candidate& b) {
    return a.kind == b.kind && a.address.sin_addr.s_addr == b.address.sin_addr.s_addr &&
           a.address.sin_port == b.address.sin_port;
}

StoreResult MemoryRendezvousRegistry::Announce(const std::string& name, const Announcement& a,
                                               int64_t now, int64_t keepSince, std::string* key) {
    std::lock_guard<std::mutex> lock(m_lock);
    Sweep(now);
    RendezvousPeer& p = m_peers[name];
    if (p.key.empty() || p.seen < keepSince) {
        // A new presence: a new key, and the old registration is not this presence's.
        p = RendezvousPeer{};
        p.key = RandomBytes(kRendezvousKeyBytes);
    }
    p.seen = now;
    p.caps = a.caps;
    p.local = a.local;
    p.mapped = a.mapped;
    *key = p.key;
    return StoreResult::Ok;
}

StoreResult MemoryRendezvousRegistry::Forget(const std::string& name) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_peers.erase(name);
    return StoreResult::Ok;
}

StoreResult MemoryRendezvousRegistry::Find(const std::string& name, int64_t since,
                                           RendezvousPeer* out) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_peers.find(name);
    if (it == m_peers.end() || it->second.seen < since) {
        return StoreResult::NotFound;
    }
    *out = it->second;
    return StoreResult::Ok;
}

StoreResult MemoryRendezvousRegistry::Register(const std::string& name, const sockaddr_in& source,
                                               int64_t now, uint64_t sequence) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_peers.find(name);
    if (it == m_peers.end()) {
        return StoreResult::NotFound;
    }
    it->second.source = source;
    it->second.registered = now;
    it->second.sequence = sequence;
    return StoreResult::Ok;
}

StoreResult MemoryRendezvousRegistry::Registered(const std::vector<std::string>& names,
                                                 int64_t since, std::vector<bool>* out) {
    std::lock_guard<std::mutex> lock(m_lock);
    out->clear();
    for (const std::string& name : names) {
        auto it = m_peers.find(name);
        out->push_back(it != m_peers.end() && it->second.RegisteredSince(since));
    }
    return StoreResult::Ok;
}

StoreResult MemoryRendezvousRegistry::AddToken(const CallToken& token, int64_t now) {
    std::lock_guard<std::mutex> lock(m_lock);
    Sweep(now);
    int live = 0;
    for (const auto& [bytes, t] : m_tokens) {
        live += t.caller == token.caller && t.expires > now ? 1 : 0;
    }
    if (live >= kTokensPerCaller) {
        return StoreResult::Throttled;
    }
    if (!m_tokens.emplace(token.token, token).second) {
        return StoreResult::Exists;
    }
    return StoreResult::Ok;
}

StoreResult MemoryRendezvousRegistry::OfferRelay(const std::string& token,
                                                 const std::string& caller,
                                                 const stun::Candidate& relay, int64_t now,
                                                 CallToken* out, bool* fresh) {
    std::lock_guard<std::mutex> lock(m_lock);
    auto it = m_tokens.find(token);
    if (it == m_tokens.end() || it->second.caller != caller || it->second.expires <= now) {
        return StoreResult::NotFound;
    }
    CallToken& t = it->second;
    *fresh = !t.relay.has_value();
    if (*fresh) {
        t.relay = relay;
    } else if (!SameCandidate(*t.relay, relay)) {
        return StoreResult::Exists;
    }
    *out = t;
    return StoreResult::Ok;
}

StoreResult MemoryRendezvousRegistry::PostNotice(const CallNoticeOrder& order) {
    NoticeSink sink;
    {
        std::lock_guard<std::mutex> lock(m_lock);
        auto it = m_peers.find(order.callee);
        if (it == m_peers.end() || !it->second.source.has_value()) {
            return StoreResult::NotFound;
        }
        sink = m_sink;
    }
    if (!sink) {
        return StoreResult::Unavailable;
    }
    sink(order);
    return StoreResult::Ok;
}

void MemoryRendezvousRegistry::SetNoticeSink(NoticeSink sink) {
    std::lock_guard<std::mutex> lock(m_lock);
    m_sink = std::move(sink);
}

// Called with the lock held.
void MemoryRendezvousRegistry::Sweep(int64_t now) {
    if (now - m_lastSweep < kSweepSeconds) {
        return;
    }
    m_lastSweep = now;
    for (auto it = m_tokens.begin(); it != m_tokens.end();) {
        it = it->second.expires <= now ? m_tokens.erase(it) : std::next(it);
    }
    for (auto it = m_peers.begin(); it != m_peers.end();) {
        it = it->second.seen < now - kForgottenAfter ? m_peers.erase(it) : std::next(it);
    }
}
