// The caller's relay allocation over the call socket.

#include "engine/RelayLeg.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstring>

namespace {

constexpr uint32_t kNever = 0xFFFFFFFF;
constexpr uint32_t kRefreshLifetimeSeconds = 600;

}  // namespace

RelayLeg::RelayLeg(const RelayServer& server, EngineReport& report, const EngineTiming& timing)
    : m_report(report), m_timing(timing), m_client(server.server, server.user, server.password) {}

void RelayLeg::Start(UdpLink& link, uint64_t nowMs) {
    m_client.Allocate(static_cast<int64_t>(nowMs));
    _Flush(link, nowMs);
}

void RelayLeg::_Flush(UdpLink& link, uint64_t nowMs) {
    for (const std::vector<uint8_t>& datagram : m_client.Poll(static_cast<int64_t>(nowMs))) {
        link.SendTo(m_client.Server(), datagram.data(), datagram.size());
    }
}

bool RelayLeg::OnServerDatagram(UdpLink& link, uint8_t* buffer, uint32_t* size, sockaddr_in* from,
                                uint64_t nowMs) {
    if (const auto data = m_client.UnwrapData(buffer, *size, *from)) {
        std::memmove(buffer, data->payload, data->size);
        *size = static_cast<uint32_t>(data->size);
        *from = data->peer;
        return true;
    }
    m_client.Receive(buffer, *size, *from, static_cast<int64_t>(nowMs));
    if (!m_reportedState && m_client.GetState() == stun::TurnClient::State::kAllocated) {
        m_reportedState = true;
        char text[INET_ADDRSTRLEN] = {};
        const sockaddr_in relayed = *m_client.Relayed();
        inet_ntop(AF_INET, &relayed.sin_addr, text, sizeof text);
        m_report.Debug("Relay allocated at %s:%u", text, ntohs(relayed.sin_port));
        m_nextRefresh = nowMs + m_timing.relayRefreshMs;
    } else if (!m_reportedState && m_client.GetState() == stun::TurnClient::State::kFailed) {
        m_reportedState = true;
        m_report.Debug("Relay refused: %s", m_client.FailureReason().c_str());
    }
    _Flush(link, nowMs);  // an authenticated retry after the first answer
    return false;
}

void RelayLeg::Permit(UdpLink& link, const sockaddr_in& peer, uint64_t nowMs) {
    const bool known = std::any_of(m_permitted.begin(), m_permitted.end(), [&](const auto& p) {
        return p.sin_addr.s_addr == peer.sin_addr.s_addr;
    });
    if (!known) {
        m_permitted.push_back(peer);
    }
    m_client.Permit(peer, static_cast<int64_t>(nowMs));
    _Flush(link, nowMs);
}

uint32_t RelayLeg::MsUntilDue(uint64_t nowMs) const {
    uint32_t due = kNever;
    if (const auto at = m_client.Due()) {
        due = *at <= static_cast<int64_t>(nowMs) ? 0 : static_cast<uint32_t>(*at - nowMs);
    }
    if (Allocated() && m_nextRefresh != 0) {
        due = std::min<uint32_t>(
            due, m_nextRefresh <= nowMs ? 0 : static_cast<uint32_t>(m_nextRefresh - nowMs));
    }
    return due;
}

void RelayLeg::OnTimer(UdpLink& link, uint64_t nowMs) {
    if (Allocated() && m_nextRefresh != 0 && nowMs >= m_nextRefresh) {
        m_client.Refresh(kRefreshLifetimeSeconds, static_cast<int64_t>(nowMs));
        for (const sockaddr_in& peer : m_permitted) {
            m_client.Permit(peer, static_cast<int64_t>(nowMs));
        }
        m_nextRefresh = nowMs + m_timing.relayRefreshMs;
    }
    _Flush(link, nowMs);
}

bool RelayLeg::WrapFor(const sockaddr_in& peer, const uint8_t* bytes, std::size_t size,
                       std::vector<uint8_t>* out, sockaddr_in* to) const {
    *out = stun::TurnClient::WrapSend(peer, bytes, size);
    *to = m_client.Server();
    return true;
}

void RelayLeg::Release(UdpLink& link) {
    if (Allocated() && m_client.Refresh(0, static_cast<int64_t>(UdpLink::NowMs()))) {
        _Flush(link, UdpLink::NowMs());
    }
}
