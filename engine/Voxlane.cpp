// The engine object: construction, public controls, socket I/O and shutdown.

#include "engine/Voxlane.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>

#include "util/MessageBox.h"
#include "util/TickCount.h"

Voxlane::Voxlane(unsigned port, int answerMode, Statistics* stats, const char* userName,
                 const EngineOptions& options)
    : m_timing(options.timing),
      m_nPort(port),
      m_sem(),
      m_recvPlayThread(&Voxlane::_ReceivePlayThreadFunc, this),
      m_recordSendThread(&Voxlane::_RecordSendThreadFunc, this),
      m_pStats(stats),
      m_player(1600, 8000, 1, 16),
      m_recorder(1600, 8000, 1, 16),
      m_bAnswerMode(answerMode) {
    m_stopEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    m_player.SetEndpoint(options.speaker);
    m_recorder.SetEndpoint(options.microphone);
    std::snprintf(m_szUserName, sizeof m_szUserName, "%s", userName ? userName : "");
}

Voxlane::~Voxlane() {
    // An engine deleted while its threads still run would leave them working on freed memory.
    if (!m_bStopIssued.load()) {
        Stop();
    }
    _Debug("destructing Voxlane()");
    if (m_stopEvent >= 0) {
        close(m_stopEvent);
    }
}

void Voxlane::_Debug(const char* format, ...) {
    if (!m_pStats) {
        return;
    }
    char text[1024];
    va_list args;
    va_start(args, format);
    std::vsnprintf(text, sizeof text, format, args);
    va_end(args);
    m_pStats->AddDebugMsg(text);
}

int Voxlane::InitConnect(in_addr address, unsigned port) {
    if (m_bBusy.load()) {
        _Debug("Already Connected");
        return 0;
    }
    m_remoteAddr = {};
    m_remoteAddr.sin_family = AF_INET;
    m_remoteAddr.sin_port = htons(static_cast<uint16_t>(port));
    m_remoteAddr.sin_addr = address;
    return 1;
}

uint32_t Voxlane::_Connect(void* engine) {
    static_cast<Voxlane*>(engine)->Connect();
    return 0;
}

const char* Voxlane::GetRemoteUserName() const {
    return m_bAnswerMode ? m_szRemoteUserName : nullptr;
}

int Voxlane::SetSensitivity(unsigned sensitivity) {
    m_nSensitivity.store(static_cast<int>(sensitivity));
    return 1;
}

int Voxlane::SetNoVoiceSenseThreshold(unsigned threshold) {
    m_nNoVoiceThreshold.store(threshold);
    return 1;
}

int Voxlane::CalculateRoundTripDelay() {
    if (!m_bConnected.load() || !m_recordSendThread.IsRunning()) {
        return 0;
    }
    return PostThreadMessage(m_recordSendThread.GetID(), WM_ENGINE_SEND_PROBE, 0, 0);
}

void Voxlane::WriteDecision(uintptr_t cell, int decision) {
    reinterpret_cast<std::atomic<int>*>(cell)->store(decision);
}

int Voxlane::Stop() {
    _Debug("Stop Issued");
    m_bStopIssued.store(1);
    if (m_stopEvent >= 0) {
        const uint64_t one = 1;
        (void)!write(m_stopEvent, &one, sizeof one);
    }
    _CloseAllThreads();
    // A Connect running on the program's thread holds the lock until it has closed its socket;
    // it sees the stop at once, so this wait is short. Waiting here keeps that thread from ever
    // touching a socket number that a later engine has been given.
    if (m_sem.WaitOnSemaphore(INFINITE)) {
        m_sem.SignalSemaphore();
    }
    _CloseAllSockets();
    return 1;
}

int Voxlane::_CloseAllSockets() {
    _Debug("CloseAllSockets()");
    _CloseSocket();
    return 1;
}

void Voxlane::_CloseSocket() {
    // Taking the number and marking the socket gone is one step, so it is closed exactly once.
    const int s = m_socket.exchange(-1);
    if (s != -1) {
        close(s);
    }
}

void Voxlane::_CloseSocketLocked() {
    m_sem.WaitOnSemaphore(INFINITE);
    _CloseSocket();
    m_sem.SignalSemaphore();
}

int Voxlane::_CloseAllThreads() {
    _Debug("CloseAllThreads()");
    if (m_pServerThread) {
        m_pServerThread->WaitForDeath(INFINITE);
        m_pServerThread.reset();
    }
    // The call threads are waited for whenever they were resumed, even if they have not yet
    // marked themselves running: a reset posted now waits in the thread's queue.
    if (m_bCallThreadsStarted.load()) {
        PostThreadMessage(m_recordSendThread.GetID(), WM_ENGINE_RESET, 0, 0);
        m_recordSendThread.WaitForDeath(INFINITE);
        m_recvPlayThread.WaitForDeath(INFINITE);
    }
    return 1;
}

void Voxlane::_StartCallThreads() {
    m_bCallThreadsStarted.store(1);
    _Debug("Starting Record-Send  thread");
    m_recordSendThread.Resume();
    _Debug("Starting Recv- Play thread");
    m_recvPlayThread.Resume();
}

bool Voxlane::_Pause(uint32_t milliseconds) {
    if (m_stopEvent < 0) {
        Sleep(milliseconds);
        return !m_bStopIssued.load();
    }
    pollfd fd{m_stopEvent, POLLIN, 0};
    const int rc = poll(&fd, 1, static_cast<int>(milliseconds));
    return rc == 0;
}

int Voxlane::_SendZorvoMsg(const ZorvoMsg& msg) {
    const std::size_t size = std::min(msg.WireSize(), msg.Size());
    const ssize_t sent =
        sendto(m_socket.load(), msg.Bytes(), size, 0,
               reinterpret_cast<const sockaddr*>(&m_remoteAddr), sizeof m_remoteAddr);
    return sent < 0 ? 0 : 1;
}

int Voxlane::_SendRecord(uint8_t type) {
    uint8_t buffer[zorvo::wire::kHeaderSize];
    zorvo::wire::BuildRecord(buffer, sizeof buffer, type);
    return _SendZorvoMsg(ZorvoMsg(buffer, sizeof buffer));
}

int Voxlane::_ReceiveData(uint8_t* buffer, uint32_t* size, uint32_t timeoutMs, sockaddr_in* from) {
    const int s = m_socket.load();
    if (s < 0) {
        return -1;  // the socket was closed: a receive error, as on a closed socket
    }
    pollfd fds[2] = {{s, POLLIN, 0}, {m_stopEvent, POLLIN, 0}};
    const int rc =
        poll(fds, m_stopEvent >= 0 ? 2 : 1, timeoutMs == 0 ? -1 : static_cast<int>(timeoutMs));
    if (rc == 0) {
        return 0;
    }
    if (rc < 0) {
        return errno == EINTR ? 0 : -1;
    }
    if (fds[1].revents != 0) {
        return 0;  // Stop has begun: every caller looks at the stop flag next
    }
    if (fds[0].revents & (POLLERR | POLLNVAL)) {
        return -1;
    }
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    const ssize_t n =
        recvfrom(s, buffer, *size, MSG_TRUNC, reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (n < 0) {
        return -1;
    }
    if (static_cast<std::size_t>(n) > *size) {
        // The datagram was larger than the buffer: it is lost.
        char text[160];
        std::snprintf(text, sizeof text,
                      "Recv [WSAEMSGSIZE] Failed on socket %x, bufsize=%d,  recvsize=%d", s,
                      static_cast<int>(*size), static_cast<int>(n));
        MessageBox(text, "MSGSIZE ERROR");
        return -1;
    }
    if (n == 0) {
        return 0;
    }
    if (from) {
        *from = sender;
    }
    *size = static_cast<uint32_t>(n);
    return static_cast<int>(n);
}
