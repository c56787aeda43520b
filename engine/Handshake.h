#pragma once

#include <atomic>
#include <cstdint>

#include "engine/CallState.h"
#include "engine/EngineReport.h"
#include "engine/EngineTiming.h"
#include "engine/UdpLink.h"
#include "wire/ZorvoMsg.h"

// Call set-up over the engine's link: the caller's connect requests and the callee's listening
// cycles with the user's decision. The engine drives it from the thread that runs the set-up and
// holds its socket lock meanwhile; the handshake moves the call state up to the point where the
// call threads take over, and no further.
class Handshake {
  public:
    Handshake(UdpLink& link, CallState& state, EngineReport& report, const EngineTiming& timing,
              unsigned port, const char* userName);

    // Caller: sends up to the configured number of connect requests to the link's peer and waits
    // for the answer; 1 when the callee accepted.
    int Call();
    // Callee: listens on the port until a call is accepted (1), or until a failure or Stop (0);
    // the socket is closed on every way out but acceptance.
    int Listen();

    // Caller: the capabilities announced in the connect request (0: none, as a plain call).
    void SetCapabilities(uint8_t capabilities) { m_capabilities = capabilities; }
    // Callee: what the caller's connect request announced.
    uint8_t RemoteCapabilities() const { return m_remoteCapabilities.load(); }

    // The caller's name from the connect request; empty until one arrived.
    const char* RemoteUserName() const { return m_szRemoteUserName; }
    // The decision cell whose address STATUS_INCOMING_CALL carries.
    std::atomic<int>* DecisionCell() { return &m_nCallDecision; }
    // The callee accepted without sending audio.
    bool ListenOnly() const { return m_bListenOnly.load() != 0; }

  private:
    enum class Cycle { kAgain, kAccepted, kFailed };

    // One receive while waiting for the answer to a request; kWaiting while the attempt goes on
    // (the wait counter is updated).
    enum class Answer { kWaiting, kAccepted, kRejected, kStopped };
    Answer _AwaitAnswer(uint8_t* buffer, uint32_t* waits);
    Answer _JudgeAnswer(uint8_t* buffer, uint32_t received, const sockaddr_in& from,
                        uint32_t* waits);

    Cycle _ListenCycle();
    // Receives up to the configured number of waits; the byte count, 0 for none, -1 for an error,
    // -2 when Stop was seen.
    int _ReceiveRequest(uint8_t* buffer, uint32_t* received);
    Cycle _Ring(const ZorvoMsg& request);
    Cycle _Answer(int decision);
    Cycle _Leave(const char* text);
    Cycle _SendFailed(bool ringing);

    UdpLink& m_link;
    CallState& m_state;
    EngineReport& m_report;
    const EngineTiming& m_timing;
    const unsigned m_nPort;
    char m_szUserName[zorvo::wire::kMaxUserName + 1] = {};
    char m_szRemoteUserName[zorvo::wire::kRemoteNameBytes] = {};
    std::atomic<int> m_nCallDecision{0};
    std::atomic<int> m_bListenOnly{0};
    uint8_t m_capabilities = 0;
    std::atomic<uint8_t> m_remoteCapabilities{0};
};
