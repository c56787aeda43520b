#pragma once

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <vector>

#include "engine/CallPath.h"
#include "engine/EngineReport.h"
#include "engine/EngineTiming.h"
#include "engine/UdpLink.h"
#include "stun/TurnClient.h"

// A caller's allocation on a TURN relay, over the engine's call socket: allocation, permissions,
// refreshes and release through a TurnClient, and the wrapping of the call's datagrams in Send
// indications and the unwrapping of Data indications. Used by the PathAgent from the thread
// reading the link; WrapFor also from the record-send thread (it reads only the fixed server).
class RelayLeg {
  public:
    RelayLeg(const RelayServer& server, EngineReport& report, const EngineTiming& timing);

    void Start(UdpLink& link, uint64_t nowMs);
    bool IsServer(const sockaddr_in& from) const { return m_client.IsServer(from); }
    bool Allocated() const { return m_client.GetState() == stun::TurnClient::State::kAllocated; }
    std::optional<sockaddr_in> Relayed() const { return m_client.Relayed(); }

    // A datagram from the relay server. False: it was the relay's own (consumed). True: it
    // carried a peer's datagram, now moved to the front of `buffer` (`*size` bytes) with `*from`
    // the peer as the relay saw it.
    bool OnServerDatagram(UdpLink& link, uint8_t* buffer, uint32_t* size, sockaddr_in* from,
                          uint64_t nowMs);
    // Lets the peer's address send through the relay.
    void Permit(UdpLink& link, const sockaddr_in& peer, uint64_t nowMs);

    uint32_t MsUntilDue(uint64_t nowMs) const;
    // Retransmissions, and the refresh of the allocation and its permissions when due.
    void OnTimer(UdpLink& link, uint64_t nowMs);

    // A Send indication carrying the datagram to `peer`, to go to `*to` (the relay server).
    bool WrapFor(const sockaddr_in& peer, const uint8_t* bytes, std::size_t size,
                 std::vector<uint8_t>* out, sockaddr_in* to) const;
    // Gives the allocation back (no answer waited for).
    void Release(UdpLink& link);

  private:
    void _Flush(UdpLink& link, uint64_t nowMs);

    EngineReport& m_report;
    const EngineTiming& m_timing;
    stun::TurnClient m_client;
    std::vector<sockaddr_in> m_permitted;
    uint64_t m_nextRefresh = 0;
    bool m_reportedState = false;
};
