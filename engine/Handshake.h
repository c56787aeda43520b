#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>

#include "engine/CallCrypto.h"
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
    // Offers the speech encrypted with `identity` (kept by the owner for the handshake's life);
    // `required`: a peer that cannot encrypt is refused. Set before the first call or listen.
    void SetEncryption(const IdentityKey* identity, bool required) {
        m_identity = identity;
        m_encryptionRequired = required;
    }
    // The keys of the call just set up; empty for a plain call.
    std::optional<CallKeys> Keys() const;
    // Caller, during the call: the callee accepted again, so it missed this side's key half.
    void ResendKeyHalf();

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

    // Encryption (HandshakeKeys.cpp).
    uint8_t _Capabilities();
    bool _TakeCalleeHalf(const ZorvoMsg& reply, bool accepted);
    bool _OfferKeys(const ZorvoMsg& request);
    std::size_t _BuildAnswer(uint8_t* buffer, std::size_t capacity, uint8_t type) const;
    bool _KeyPending() const;
    // Waits `milliseconds` for the caller's key half, answering its repeated connect requests;
    // false when Stop cut the wait short.
    bool _ListenForKey(uint32_t milliseconds);
    void _JudgeKeyRecord(const uint8_t* buffer, uint32_t size);
    // Callee, after accepting: repeats the answer until the caller's key half came; false when it
    // never did.
    bool _AwaitLateKey(const uint8_t* answer, std::size_t size);
    // Waits for the user's decision or between answers: listening for the key when one is due.
    bool _WaitAnswering(uint32_t milliseconds);

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
    const IdentityKey* m_identity = nullptr;
    bool m_encryptionRequired = false;
    std::unique_ptr<KeyAgreement> m_agreement;  // the call being set up, when encrypted
    uint8_t m_keyRecord[zorvo::wire::kHeaderSize + zorvo::wire::kKeyHalfPayload] = {};
    std::size_t m_keyRecordSize = 0;  // the caller's MSG_KEY, once built
};
