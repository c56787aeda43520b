// The engine object: construction, public controls, the set-up threads, socket I/O and shutdown.

#include "engine/Voxlane.h"

#include <arpa/inet.h>

#include <cstdio>
#include <vector>

#include "engine/SemGuard.h"
#include "engine/audio/VoiceProcessor.h"

Voxlane::Voxlane(unsigned port, int answerMode, Statistics* stats, const char* userName,
                 const EngineOptions& options)
    : m_timing(options.timing),
      m_nPort(port),
      m_sem(),
      m_report(stats),
      m_pathAgent(m_report, m_timing),
      m_identity(options.identity),
      m_handshake(m_link, m_state, m_report, m_timing, port, userName),
      m_recvPlayThread(&Voxlane::_ReceivePlayThreadFunc, this),
      m_recordSendThread(&Voxlane::_RecordSendThreadFunc, this),
      m_player(1600, 8000, 1, 16),
      m_recorder(1600, 8000, 1, 16),
      m_bAnswerMode(answerMode) {
    m_player.SetEndpoint(options.speaker);
    m_recorder.SetEndpoint(options.microphone);
    // The echo canceller hears what the speaker played.
    auto played = std::make_shared<zorvo::audio::PlayedSignal>(8000);
    m_player.SetPlayedSignal(played);
    m_recorder.SetPlayedSignal(played);
    m_recorder.SetProcessing(options.processing);
    if (m_identity) {
        m_handshake.SetEncryption(&*m_identity, options.requireEncryption);
    }
    if (options.rendezvous) {
        m_pathAgent.SetRendezvous(*options.rendezvous);
        // A caller's socket joins only for a call by name, when it is bound to the registered
        // port: registering from another port would move the registration.
        if (answerMode) {
            m_link.SetFilter(&m_pathAgent);
        }
    }
}

Voxlane::~Voxlane() {
    // An engine deleted while its threads still run would leave them working on freed memory.
    if (!m_state.Stopping()) {
        Stop();
    }
    m_report.Debug("destructing Voxlane()");
}

int Voxlane::InitConnect(in_addr address, unsigned port) {
    if (m_state.Busy()) {
        m_report.Debug("Already Connected");
        return 0;
    }
    sockaddr_in peer{};
    peer.sin_family = AF_INET;
    peer.sin_port = htons(static_cast<uint16_t>(port));
    peer.sin_addr = address;
    m_link.SetPeer(peer);
    return 1;
}

int Voxlane::InitConnectVia(const CallPlan& plan) {
    if (m_state.Busy() || m_bAnswerMode || plan.candidates.empty()) {
        m_report.Debug("Already Connected");
        return 0;
    }
    m_pathAgent.SetPlan(plan);
    m_link.SetFilter(&m_pathAgent);
    m_link.SetPeer(plan.candidates.front().address);
    m_handshake.SetCapabilities(zorvo::wire::kCapRendezvous);
    return 1;
}

std::optional<sockaddr_in> Voxlane::GetPublicAddress() const {
    return m_pathAgent.PublicAddress();
}

uint32_t Voxlane::_Connect(void* engine) {
    static_cast<Voxlane*>(engine)->Connect();
    return 0;
}

const char* Voxlane::GetRemoteUserName() const {
    return m_bAnswerMode ? m_handshake.RemoteUserName() : nullptr;
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
    if (!m_state.Connected() || !m_recordSendThread.IsRunning()) {
        return 0;
    }
    return PostThreadMessage(m_recordSendThread.GetID(), WM_ENGINE_SEND_PROBE, 0, 0);
}

void Voxlane::WriteDecision(uintptr_t cell, int decision) {
    reinterpret_cast<std::atomic<int>*>(cell)->store(decision);
}

// --- set-up ----------------------------------------------------------------------------------

int Voxlane::Connect() {
    if (!m_state.Move(CallPhase::kIdle, CallPhase::kCalling)) {
        m_report.Debug("Already Connected");
        return 0;
    }
    SemGuard guard(m_sem);
    m_report.Debug("Connecting...");
    const bool opened = m_link.Open();
    m_report.Debug("***SOCKET = %0X", m_link.Handle());
    if (!opened) {
        m_report.Debug("Connect Failed");
        m_state.Move(CallPhase::kCalling, CallPhase::kIdle);
        return 0;
    }
    if (_FindPath() && _DoConnect() &&
        _StartCallThreads(CallPhase::kCalling, CallPhase::kRinging)) {
        m_report.Status(STATUS_CONNECTED, 0);
        return 1;
    }
    m_report.Debug("Connect Failed");
    m_state.Move(CallPhase::kCalling, CallPhase::kRinging, CallPhase::kIdle);
    m_link.Close();
    return 0;
}

int Voxlane::_DoConnect() {
    return m_handshake.Call();
}

bool Voxlane::_FindPath() {
    if (!m_pathAgent.HasPlan()) {
        m_report.Status(STATUS_PATH, static_cast<uintptr_t>(PathKind::kDirect));
        return true;
    }
    const auto& rendezvous = m_pathAgent.Rendezvous();
    if (rendezvous && rendezvous->callPort != 0 && !m_link.Bind(rendezvous->callPort)) {
        m_report.Debug("Call port %u is taken: probing from another", rendezvous->callPort);
    }
    const int kind = m_pathAgent.FindPath(m_link, m_state);
    if (kind == 0) {
        if (!m_state.Stopping()) {
            m_report.Status(STATUS_CONNECT_FAILED, 0);
        }
        return false;
    }
    m_report.Status(STATUS_PATH, static_cast<uintptr_t>(kind));
    return true;
}

int Voxlane::StartServer() {
    // Refused or not, the engine counts as busy from here on.
    m_state.Move(CallPhase::kIdle, CallPhase::kListening);
    // A server thread that exists but has not yet begun listening counts as running too.
    if (m_pServerThread) {
        m_report.Debug("Server already running");
        return 0;
    }
    m_report.Debug("Starting Server....");
    m_pServerThread = std::make_unique<Thread>(&Voxlane::_ServerThreadFunc, this);
    m_pServerThread->Resume();
    return 1;
}

uint32_t Voxlane::_ServerThreadFunc(void* engine) {
    static_cast<Voxlane*>(engine)->_ServeCalls();
    return 0;
}

void Voxlane::_ServeCalls() {
    m_report.Debug("Waiting for incoming connection");
    if (m_state.Stopping()) {
        return;
    }
    const int accepted = _WaitForConnection();
    if (m_state.Stopping()) {
        return;
    }
    if (!accepted) {
        m_report.Debug("Error waiting for connection");
        m_state.Move(CallPhase::kListening, CallPhase::kAwaitingDecision, CallPhase::kIdle);
        {
            SemGuard guard(m_sem);
            _CloseAllSockets();
        }
        m_report.Status(STATUS_SERVER_ERROR, 0);
        return;
    }
    if (_StartCallThreads(CallPhase::kAwaitingDecision, CallPhase::kAwaitingDecision)) {
        m_report.Debug("Recv- Play thread started");
        m_report.Status(STATUS_CONNECTED, 0);
    }
}

int Voxlane::_WaitForConnection() {
    if (m_link.IsOpen()) {
        m_report.Debug("socket should be invalid at entry..!! WaitForConnection fails...");
        return 0;
    }
    m_report.Debug("Server Started.");
    // The lock is held for the whole listening period, the user's decision included.
    SemGuard guard(m_sem);
    return m_handshake.Listen();
}

bool Voxlane::_StartCallThreads(CallPhase from, CallPhase alsoFrom) {
    if (!m_state.Move(from, alsoFrom, CallPhase::kConnected)) {
        return false;
    }
    _ArmCipher();
    // From here Stop waits for both threads; a reset it posts before they run waits in the queue.
    m_report.Debug("Starting Record-Send  thread");
    m_recordSendThread.Resume();
    m_report.Debug("Starting Recv- Play thread");
    m_recvPlayThread.Resume();
    return true;
}

void Voxlane::_ArmCipher() {
    m_keys = m_handshake.Keys();
    if (m_keys) {
        m_cipher = std::make_unique<RecordCipher>(*m_keys);
        m_report.Debug("The call is encrypted end to end");
    }
    m_report.Status(STATUS_SECURITY, m_keys ? 1 : 0);
}

CallSecurity Voxlane::GetCallSecurity() const {
    CallSecurity security;
    if (m_keys) {
        security.encrypted = true;
        security.sas = m_keys->sas;
        security.peerIdentity = m_keys->peerIdentity;
    }
    security.dropped = m_cipher ? m_cipher->Dropped() : 0;
    return security;
}

// --- shutdown --------------------------------------------------------------------------------

int Voxlane::Stop() {
    m_report.Debug("Stop Issued");
    m_state.BeginStop();
    m_link.SignalStop();
    _CloseAllThreads();
    // A Connect running on the program's thread holds the lock until it has closed its socket;
    // it sees the stop at once, so this wait is short. Waiting here keeps that thread from ever
    // touching a socket number that a later engine has been given.
    { SemGuard guard(m_sem); }
    m_pathAgent.Release(m_link);  // every thread has ended: no one else uses the link now
    _CloseAllSockets();
    return 1;
}

int Voxlane::_CloseAllSockets() {
    m_report.Debug("CloseAllSockets()");
    m_link.Close();
    return 1;
}

void Voxlane::_CloseSocketLocked() {
    SemGuard guard(m_sem);
    m_link.Close();
}

int Voxlane::_CloseAllThreads() {
    m_report.Debug("CloseAllThreads()");
    if (m_pServerThread) {
        m_pServerThread->WaitForDeath(INFINITE);
        m_pServerThread.reset();
    }
    if (m_state.CallThreadsStarted()) {
        PostThreadMessage(m_recordSendThread.GetID(), WM_ENGINE_RESET, 0, 0);
        m_recordSendThread.WaitForDeath(INFINITE);
        m_recvPlayThread.WaitForDeath(INFINITE);
    }
    return 1;
}

// --- wire I/O --------------------------------------------------------------------------------

int Voxlane::_SendZorvoMsg(const ZorvoMsg& msg) {
    const std::size_t size = std::min(msg.WireSize(), msg.Size());
    if (!m_cipher) {
        return m_link.Send(msg.Bytes(), size);
    }
    // Reused by each sending thread: a call sends a few records a second.
    thread_local std::vector<uint8_t> sealed;
    sealed.resize(size + zorvo::wire::kSealedOverhead);
    const std::size_t n = m_cipher->Seal(msg.Bytes(), size, sealed.data(), sealed.size());
    return n != 0 ? m_link.Send(sealed.data(), n) : 0;
}

int Voxlane::_SendRecord(uint8_t type) {
    uint8_t buffer[zorvo::wire::kHeaderSize];
    const std::size_t size = zorvo::wire::BuildRecord(buffer, sizeof buffer, type);
    return _SendZorvoMsg(ZorvoMsg(buffer, size));
}

int Voxlane::_ReceiveData(uint8_t* buffer, uint32_t* size, uint32_t timeoutMs, sockaddr_in* from) {
    UdpLink::Fault fault;
    const int n = m_link.Receive(buffer, size, timeoutMs, from, &fault);
    m_report.Oversized(fault, m_link.Handle(), m_state.Connected());
    return n;
}
