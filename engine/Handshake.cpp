// Call set-up: the caller's connect requests and the callee's listening server.

#include "engine/Handshake.h"

#include <cerrno>
#include <cstdio>

#include "engine/CallPath.h"
#include "util/Messages.h"
#include "util/Statistics.h"

using namespace zorvo::wire;

namespace {

constexpr const char* kStopped = "Stop Issued detected in WaitForConnection.";

}  // namespace

Handshake::Handshake(UdpLink& link, CallState& state, EngineReport& report,
                     const EngineTiming& timing, unsigned port, const char* userName)
    : m_link(link), m_state(state), m_report(report), m_timing(timing), m_nPort(port) {
    std::snprintf(m_szUserName, sizeof m_szUserName, "%s", userName ? userName : "");
}

// --- caller ----------------------------------------------------------------------------------

int Handshake::Call() {
    uint8_t buffer[kSetupBufferSize];
    const uint8_t capabilities = _Capabilities();
    for (uint32_t attempt = 0; attempt < m_timing.connectAttempts; ++attempt) {
        if (m_state.Stopping()) {
            return 0;
        }
        const std::size_t size =
            BuildConnectRequest(buffer, sizeof buffer, m_szUserName, capabilities,
                                m_agreement ? m_agreement->Nonce().data() : nullptr);
        if (!m_link.Send(buffer, size)) {
            m_report.Debug("Connect Failed Once");
            if (m_state.Stopping()) {
                return 0;
            }
            continue;
        }
        uint32_t waits = 0;
        while (waits < m_timing.callerWaitLimit) {
            switch (_AwaitAnswer(buffer, &waits)) {
                case Answer::kAccepted:
                    return 1;
                case Answer::kRejected:
                case Answer::kStopped:
                    return 0;
                case Answer::kWaiting:
                    break;
            }
        }
    }
    m_report.Debug("No response.. Failed to connect");
    m_report.Status(STATUS_CONNECT_FAILED, 0);
    return 0;
}

Handshake::Answer Handshake::_AwaitAnswer(uint8_t* buffer, uint32_t* waits) {
    if (m_state.Stopping()) {
        return Answer::kStopped;
    }
    uint32_t received = kSetupBufferSize;
    sockaddr_in from{};
    UdpLink::Fault fault;
    const int n = m_link.Receive(buffer, &received, m_timing.callerReceiveWaitMs, &from, &fault);
    if (m_state.Stopping()) {
        return Answer::kStopped;
    }
    if (n <= 0) {
        m_report.Oversized(fault, m_link.Handle(), false);
        m_report.Debug("Response timed out once");
        *waits += 2;
        return Answer::kWaiting;
    }
    return _JudgeAnswer(buffer, received, from, waits);
}

Handshake::Answer Handshake::_JudgeAnswer(uint8_t* buffer, uint32_t received,
                                          const sockaddr_in& from, uint32_t* waits) {
    const ZorvoMsg reply(buffer, received);
    *waits = 1;  // anything that does not settle the call
    if (!reply.IsWellFormed()) {
        m_report.Debug("Ignoring an invalid message");
        return Answer::kWaiting;
    }
    if (!m_report.SenderIsPeer(m_link, from, "Ignoring")) {
        return Answer::kWaiting;
    }
    switch (reply.Type()) {
        case MSG_ACCEPT:
            if (!_TakeCalleeHalf(reply, true)) {
                return Answer::kRejected;
            }
            m_report.Debug("Connected..");
            m_report.Status(STATUS_CONNECTED, 0);
            return Answer::kAccepted;
        case MSG_RINGING:
            _TakeCalleeHalf(reply, false);
            m_report.Debug("Ringing now at remote..");
            m_report.Status(STATUS_RINGING, 0);
            m_state.Move(CallPhase::kCalling, CallPhase::kRinging);
            return Answer::kWaiting;
        case MSG_REJECT:
            m_report.Debug("Ringing stopped at remote..");
            m_report.Status(STATUS_CONNECT_FAILED, 0);
            return Answer::kRejected;
        default:
            return Answer::kWaiting;
    }
}

// --- callee ----------------------------------------------------------------------------------

int Handshake::Listen() {
    for (;;) {
        switch (_ListenCycle()) {
            case Cycle::kAgain:
                continue;
            case Cycle::kAccepted:
                return 1;
            case Cycle::kFailed:
                return 0;
        }
    }
}

Handshake::Cycle Handshake::_Leave(const char* text) {
    m_link.Close();
    if (text) {
        m_report.Debug("%s", text);
    }
    return Cycle::kFailed;
}

Handshake::Cycle Handshake::_ListenCycle() {
    const bool opened = m_link.Open();
    const int s = m_link.Handle();
    m_report.Debug("***SOCKET = %0X Thread = %0X", s, GetCurrentThreadId());
    if (!opened) {
        m_report.Debug("Socket creation failed.");
        return Cycle::kFailed;
    }
    if (!m_link.Bind(m_nPort)) {
        m_report.Box(EngineReport::SocketFailure("Bind", s, errno).c_str(), "Bind Failed");
        m_report.Debug("Bind failed");
        return _Leave(nullptr);
    }
    m_report.Debug("Bind Successful");
    if (m_state.Stopping()) {
        return _Leave("Stop Issued detected when starting to wait for incoming data.");
    }
    uint8_t buffer[kSetupBufferSize];
    uint32_t received = 0;
    const int n = _ReceiveRequest(buffer, &received);
    if (n == -2) {
        return _Leave(kStopped);
    }
    if (n <= 0) {
        m_link.Close();
        if (n < 0) {
            m_link.Pause(m_timing.listenErrorPauseMs);
        }
        return Cycle::kAgain;
    }
    const ZorvoMsg request(buffer, received);
    if (!request.IsWellFormed()) {
        m_report.Debug("An invalid packet received");
        m_link.Close();
        return Cycle::kAgain;
    }
    if (request.Type() != MSG_CONNECT_REQUEST) {
        uint8_t hangup[kHeaderSize];
        m_link.Send(hangup, BuildRecord(hangup, sizeof hangup, MSG_HANGUP));
        m_link.Close();
        m_report.Debug("*******A message other than connect was recived and ignored");
        m_link.Pause(m_timing.nonConnectPauseMs);
        return Cycle::kAgain;
    }
    return _Ring(request);
}

int Handshake::_ReceiveRequest(uint8_t* buffer, uint32_t* received) {
    int n = 0;
    UdpLink::Fault fault;
    for (uint32_t wait = 0; wait < m_timing.calleeWaitsPerSocket && n == 0; ++wait) {
        *received = kSetupBufferSize;
        n = m_link.Receive(buffer, received, m_timing.calleeReceiveWaitMs, m_link.PeerRecord(),
                           &fault);
        if (m_state.Stopping()) {
            return -2;
        }
    }
    if (n == 0) {
        m_report.Debug("No incoming calls.. Waiting again");
    } else if (n < 0) {
        // Whoever can reach the port can cause these: while no call is up they are debug text.
        m_report.Oversized(fault, m_link.Handle(), false);
        m_report.ReceiveFailure(
            EngineReport::SocketFailure("Recv", m_link.Handle(), fault.error).c_str(), "Helo",
            false);
    }
    return n;
}

Handshake::Cycle Handshake::_Ring(const ZorvoMsg& request) {
    m_report.Debug("Connect Request received.");
    ConnectRequestName(request, m_szRemoteUserName);
    m_remoteCapabilities.store(ConnectRequestCapabilities(request));
    if (!_OfferKeys(request)) {
        uint8_t reject[kHeaderSize];
        m_link.Send(reject, BuildRecord(reject, sizeof reject, MSG_REJECT));
        m_link.Close();
        m_report.Debug("Refused a call that cannot be encrypted");
        return Cycle::kAgain;
    }
    const int path = m_link.ChoosePeer();
    m_report.Status(STATUS_PATH,
                    static_cast<uintptr_t>(path != 0 ? path : static_cast<int>(PathKind::kDirect)));
    m_state.Move(CallPhase::kListening, CallPhase::kAwaitingDecision);
    m_nCallDecision.store(DECISION_PENDING);
    m_report.Status(STATUS_INCOMING_CALL, reinterpret_cast<uintptr_t>(&m_nCallDecision));
    m_link.Pause(m_timing.ringPauseMs);
    uint8_t ringing[kHeaderSize + kKeyHalfPayload];
    if (!m_link.Send(ringing, _BuildAnswer(ringing, sizeof ringing, MSG_RINGING))) {
        return _SendFailed(true);
    }
    while (m_nCallDecision.load() == DECISION_PENDING) {
        if (!_WaitAnswering(m_timing.decisionPollMs) || m_state.Stopping()) {
            return _Leave(kStopped);
        }
    }
    return _Answer(m_nCallDecision.load());
}

Handshake::Cycle Handshake::_Answer(int decision) {
    // Any value other than accept is taken as a rejection.
    const bool accepted = decision == DECISION_ACCEPT || decision == DECISION_ACCEPT_SILENT;
    uint8_t answer[kHeaderSize + kKeyHalfPayload];
    const std::size_t size =
        _BuildAnswer(answer, sizeof answer, accepted ? MSG_ACCEPT : MSG_REJECT);
    for (int copy = 0; copy < 2; ++copy) {
        if (!m_link.Send(answer, size)) {
            return _SendFailed(false);
        }
        _WaitAnswering(m_timing.answerPauseMs);
    }
    if (accepted && _AwaitLateKey(answer, size)) {
        m_bListenOnly.store(decision == DECISION_ACCEPT_SILENT ? 1 : 0);
        return Cycle::kAccepted;
    }
    if (accepted) {
        // The caller announced encryption and took the answer, but its key half never came.
        uint8_t hangup[kHeaderSize];
        m_link.Send(hangup, BuildRecord(hangup, sizeof hangup, MSG_HANGUP));
        m_report.Debug("The caller's key never came: call ended");
        m_report.Status(STATUS_CONNECTION_LOST, 0);
    }
    m_link.Close();
    m_state.Move(CallPhase::kAwaitingDecision, CallPhase::kListening);
    return Cycle::kAgain;
}

Handshake::Cycle Handshake::_SendFailed(bool ringing) {
    m_report.SendFailure(m_link.Handle(), errno);
    m_report.Debug("str");
    if (ringing) {
        m_report.Debug("Send falied");
    }
    return _Leave(nullptr);
}
