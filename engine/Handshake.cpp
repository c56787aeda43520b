// Call set-up: the caller's connect requests and the callee's listening server.

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "engine/Voxlane.h"
#include "util/MessageBox.h"

using namespace zorvo::wire;

namespace {

int NewUdpSocket() {
    return socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
}

}  // namespace

int Voxlane::Connect() {
    if (m_bBusy.load()) {
        _Debug("Already Connected");
        return 0;
    }
    m_sem.WaitOnSemaphore(INFINITE);
    m_bBusy.store(1);
    _Debug("Connecting...");
    m_socket.store(NewUdpSocket());
    _Debug("***SOCKET = %0X", m_socket.load());
    if (m_socket.load() == -1) {
        _Debug("Connect Failed");
        m_bBusy.store(0);
        m_sem.SignalSemaphore();
        return 0;
    }
    _DoConnect();
    if (m_bConnected.load()) {
        _StartCallThreads();
        m_pStats->NotifyStatus(STATUS_CONNECTED, 0);
        m_sem.SignalSemaphore();
        return 1;
    }
    _Debug("Connect Failed");
    m_bBusy.store(0);
    _CloseSocket();
    m_sem.SignalSemaphore();
    return 0;
}

int Voxlane::_DoConnect() {
    uint8_t buffer[kSetupBufferSize];
    for (uint32_t attempt = 0; attempt < m_timing.connectAttempts; ++attempt) {
        if (m_bStopIssued.load()) {
            return 0;
        }
        const std::size_t size = BuildConnectRequest(buffer, sizeof buffer, m_szUserName);
        if (!_SendZorvoMsg(ZorvoMsg(buffer, size))) {
            _Debug("Connect Failed Once");
            if (m_bStopIssued.load()) {
                return 0;
            }
            continue;
        }
        uint32_t waits = 0;
        while (waits < m_timing.callerWaitLimit) {
            if (m_bStopIssued.load()) {
                return 0;
            }
            uint32_t received = sizeof buffer;
            sockaddr_in from{};
            const int n = _ReceiveData(buffer, &received, m_timing.callerReceiveWaitMs, &from);
            if (m_bStopIssued.load()) {
                return 0;
            }
            if (n <= 0) {
                _Debug("Response timed out once");
                waits += 2;
                continue;
            }
            const ZorvoMsg reply(buffer, received);
            if (!reply.IsWellFormed()) {
                _Debug("Ignoring an invalid message");
                waits = 1;
                continue;
            }
            if (from.sin_addr.s_addr != m_remoteAddr.sin_addr.s_addr) {
                char sender[INET_ADDRSTRLEN], expected[INET_ADDRSTRLEN];
                inet_ntop(AF_INET, &from.sin_addr, sender, sizeof sender);
                inet_ntop(AF_INET, &m_remoteAddr.sin_addr, expected, sizeof expected);
                _Debug("Ignoring message from %s Expected only from %s", sender, expected);
                waits = 1;
                continue;
            }
            switch (reply.Type()) {
                case MSG_ACCEPT:
                    _Debug("Connected..");
                    m_pStats->NotifyStatus(STATUS_CONNECTED, 0);
                    m_bConnected.store(1);
                    return 1;
                case MSG_RINGING:
                    _Debug("Ringing now at remote..");
                    m_pStats->NotifyStatus(STATUS_RINGING, 0);
                    waits = 1;
                    break;
                case MSG_REJECT:
                    _Debug("Ringing stopped at remote..");
                    m_pStats->NotifyStatus(STATUS_CONNECT_FAILED, 0);
                    return 0;
                default:
                    waits = 1;
                    break;
            }
        }
    }
    _Debug("No response.. Failed to connect");
    m_pStats->NotifyStatus(STATUS_CONNECT_FAILED, 0);
    return 0;
}

int Voxlane::StartServer() {
    m_bBusy.store(1);
    // A server thread that exists but has not yet begun listening counts as running too.
    if (m_bServerRunning.load() || m_pServerThread) {
        _Debug("Server already running");
        return 0;
    }
    _Debug("Starting Server....");
    m_pServerThread = std::make_unique<Thread>(&Voxlane::_ServerThreadFunc, this);
    m_pServerThread->Resume();
    return 1;
}

uint32_t Voxlane::_ServerThreadFunc(void* engine) {
    auto* self = static_cast<Voxlane*>(engine);
    self->_Debug("Waiting for incoming connection");
    if (self->m_bStopIssued.load()) {
        return 0;
    }
    while (!self->m_bConnected.load()) {
        const int result = self->_WaitForConnection();
        if (self->m_bStopIssued.load()) {
            return 0;
        }
        if (result == 0) {
            self->_Debug("Error waiting for connection");
            self->m_bBusy.store(0);
            self->m_sem.WaitOnSemaphore(INFINITE);
            self->_CloseAllSockets();
            self->m_sem.SignalSemaphore();
            self->m_pStats->NotifyStatus(STATUS_SERVER_ERROR, 0);
            return 0;
        }
    }
    self->_StartCallThreads();
    self->_Debug("Recv- Play thread started");
    self->m_pStats->NotifyStatus(STATUS_CONNECTED, 0);
    return 0;
}

int Voxlane::_LeaveListening(const char* text) {
    _CloseSocket();
    m_sem.SignalSemaphore();
    if (text) {
        _Debug("%s", text);
    }
    return 0;
}

int Voxlane::_WaitForConnection() {
    if (m_socket.load() != -1) {
        _Debug("socket should be invalid at entry..!! WaitForConnection fails...");
        return 0;
    }
    _Debug("Server Started.");
    m_bServerRunning.store(1);
    m_sem.WaitOnSemaphore(INFINITE);
    if (m_bConnected.load()) {
        m_sem.SignalSemaphore();
        return 1;
    }
    const char* const kStopped = "Stop Issued detected in WaitForConnection.";
    uint8_t buffer[kSetupBufferSize];
    char text[160];
    while (!m_bConnected.load()) {
        const int s = NewUdpSocket();
        m_socket.store(s);
        _Debug("***SOCKET = %0X Thread = %0X", s, GetCurrentThreadId());
        if (s == -1) {
            m_sem.SignalSemaphore();
            _Debug("Socket creation failed.");
            return 0;
        }
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_ANY);
        local.sin_port = htons(static_cast<uint16_t>(m_nPort));
        if (bind(s, reinterpret_cast<const sockaddr*>(&local), sizeof local) != 0) {
            std::snprintf(text, sizeof text, "Bind Failed on socket %x , Error = %d", s, errno);
            MessageBox(text, "Bind Failed");
            _Debug("Bind failed");
            return _LeaveListening(nullptr);
        }
        _Debug("Bind Successful");
        if (m_bStopIssued.load()) {
            return _LeaveListening("Stop Issued detected when starting to wait for incoming data.");
        }

        int n = 0;
        uint32_t received = 0;
        for (uint32_t wait = 0; wait < m_timing.calleeWaitsPerSocket && n == 0; ++wait) {
            received = sizeof buffer;
            n = _ReceiveData(buffer, &received, m_timing.calleeReceiveWaitMs, &m_remoteAddr);
            if (m_bStopIssued.load()) {
                return _LeaveListening(kStopped);
            }
        }
        if (n == 0) {
            _Debug("No incoming calls.. Waiting again");
            _CloseSocket();
            continue;
        }
        if (n < 0) {
            const int error = errno;
            std::snprintf(text, sizeof text, "Recv Failed on socket %x , Error = %d", s, error);
            if (error != ECONNRESET && error != ECONNREFUSED) {
                MessageBox(text, "Helo");
            }
            _Debug("%s", text);
            _CloseSocket();
            _Pause(m_timing.listenErrorPauseMs);
            continue;
        }

        const ZorvoMsg request(buffer, received);
        if (!request.IsWellFormed()) {
            _Debug("An invalid packet received");
            _CloseSocket();
            continue;
        }
        if (request.Type() != MSG_CONNECT_REQUEST) {
            _SendRecord(MSG_HANGUP);
            _CloseSocket();
            _Debug("*******A message other than connect was recived and ignored");
            _Pause(m_timing.nonConnectPauseMs);
            continue;
        }

        _Debug("Connect Request received.");
        ConnectRequestName(request, m_szRemoteUserName);
        m_nCallDecision.store(DECISION_PENDING);
        m_pStats->NotifyStatus(STATUS_INCOMING_CALL, reinterpret_cast<uintptr_t>(&m_nCallDecision));
        _Pause(m_timing.ringPauseMs);
        if (!_SendRecord(MSG_RINGING)) {
            std::snprintf(text, sizeof text, "Send Failed on socket %x , Error = %d", s, errno);
            MessageBox(text, "Send Failed");
            _Debug("str");
            _Debug("Send falied");
            return _LeaveListening(nullptr);
        }
        while (m_nCallDecision.load() == DECISION_PENDING) {
            if (!_Pause(m_timing.decisionPollMs) || m_bStopIssued.load()) {
                return _LeaveListening(kStopped);
            }
        }
        const int decision = m_nCallDecision.load();
        const bool accepted = decision == DECISION_ACCEPT || decision == DECISION_ACCEPT_SILENT;
        // Any value other than accept is taken as a rejection.
        for (int copy = 0; copy < 2; ++copy) {
            if (!_SendRecord(accepted ? MSG_ACCEPT : MSG_REJECT)) {
                std::snprintf(text, sizeof text, "Send Failed on socket %x , Error = %d", s, errno);
                MessageBox(text, "Send Failed");
                _Debug("str");
                return _LeaveListening(nullptr);
            }
            _Pause(m_timing.answerPauseMs);
        }
        if (accepted) {
            m_bListenOnly.store(decision == DECISION_ACCEPT_SILENT ? 1 : 0);
            m_bConnected.store(1);
            m_sem.SignalSemaphore();
            return 1;
        }
        _CloseSocket();
        m_bConnected.store(0);
    }
    m_sem.SignalSemaphore();
    return 1;
}
