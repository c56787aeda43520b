#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "engine/CallPath.h"
#include "engine/CallState.h"
#include "engine/EngineReport.h"
#include "engine/EngineTiming.h"
#include "engine/UdpLink.h"
#include "stun/StunMessage.h"

class RelayLeg;

// One call's probing by a PathAgent, on either side.
struct PathProbing {
    std::string token;
    std::string key;
    std::vector<stun::Candidate> candidates;  // the other side's
    uint64_t until = 0;                       // probes go out until then
    uint64_t next = 0;                        // the next round of probes
    std::vector<sockaddr_in> verified;        // sources that authenticated
    std::optional<sockaddr_in> first;         // the first of them ...
    bool firstViaRelay = false;               // ... and whether it came through the relay
};

// Finds a path to a peer behind a home router and keeps it open, sharing the engine's call socket
// with the call protocol (docs/nat-traversal.md). It keeps this program registered with the
// rendezvous, answers call notices by probing the caller, answers authenticated probes, and for
// a caller probes the callee's candidates and falls back to a relay. Once a path is chosen it
// sends a keep-alive on it whenever the call has been quiet, so a silent side's router keeps its
// mapping.
//
// Threads: every datagram and timer call comes from the thread reading the link at the time (the
// set-up thread, then the receive-play thread: one at a time), so the agent's state needs no lock.
// Wrap runs on the record-send thread and reads only what is fixed before the call threads start.
class PathAgent final : public DatagramFilter {
  public:
    PathAgent(EngineReport& report, const EngineTiming& timing);
    ~PathAgent() override;

    // Both are set before any thread uses the engine.
    void SetRendezvous(const RendezvousConfig& config);
    void SetPlan(const CallPlan& plan);
    bool HasPlan() const { return m_plan.has_value(); }
    const std::optional<RendezvousConfig>& Rendezvous() const { return m_rendezvous; }

    // Where the rendezvous last saw this socket (the router's mapping); empty until it answered.
    // Safe from any thread.
    std::optional<sockaddr_in> PublicAddress() const;

    // Caller: probes the plan's candidates from the link's socket, and after the direct phase
    // tries the relay too. On success the link's peer is the path's far end, the link accepts only
    // that address and port, and the result is the path's kind; 0 when nothing answered or Stop
    // began.
    int FindPath(UdpLink& link, const CallState& state);
    // Ends a relay allocation, if there is one (the engine is stopping).
    void Release(UdpLink& link);

    Verdict OnDatagram(UdpLink& link, uint8_t* buffer, uint32_t* size, uint32_t capacity,
                       sockaddr_in* from) override;
    uint32_t MsUntilDue(const UdpLink& link, uint64_t nowMs) override;
    void OnTimer(UdpLink& link, uint64_t nowMs) override;
    bool Wrap(const uint8_t* bytes, std::size_t size, const sockaddr_in& peer,
              std::vector<uint8_t>* out, sockaddr_in* to) const override;
    int OnPeerChosen(UdpLink& link, const sockaddr_in& peer) override;

  private:
    void _OnRendezvousMessage(UdpLink& link, const stun::Message& msg);
    void _OnCallNotice(UdpLink& link, const stun::Message& msg);
    void _OnPeerMessage(UdpLink& link, const stun::Message& msg, const sockaddr_in& from,
                        bool viaRelay);
    void _Verified(const sockaddr_in& from, bool viaRelay);
    void _OnRelayAllocated(UdpLink& link, uint64_t now);
    void _SendRelayOffer(UdpLink& link);
    void _SendProbes(UdpLink& link, uint64_t now);
    void _SendKeepAlive(UdpLink& link, uint64_t now);
    // Sends a message to a peer, through the relay when `viaRelay`.
    void _SendToPeer(UdpLink& link, const sockaddr_in& to, const std::vector<uint8_t>& bytes,
                     bool viaRelay);
    int _KindOf(const sockaddr_in& address, bool viaRelay) const;
    bool _IsVerified(const sockaddr_in& address) const;

    EngineReport& m_report;
    const EngineTiming& m_timing;
    std::optional<RendezvousConfig> m_rendezvous;
    std::optional<CallPlan> m_plan;
    std::optional<PathProbing> m_probing;
    std::unique_ptr<RelayLeg> m_relay;
    uint64_t m_nextKeepAlive = 0;
    // Where the rendezvous last saw this socket, for any thread: address << 16 | port.
    std::atomic<uint64_t> m_publicShared{0};
    bool m_offerAcknowledged = false;
    bool m_pathChosen = false;  // keep-alives go out on the path
    // The path goes through the relay: fixed before the call threads start, read by Wrap.
    bool m_relayed = false;
};
