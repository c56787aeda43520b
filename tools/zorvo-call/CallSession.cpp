#include "CallSession.h"

#include <arpa/inet.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <thread>

#include "IdentityFile.h"
#include "engine/audio/AudioEndpoint.h"
#include "util/TickCount.h"

namespace {

constexpr double kProbeInterval = 10.0;  // seconds between round-trip probes during a call
constexpr double kFirstProbe = 1.0;      // the first probe, after the call came up
constexpr uint32_t kLoopWaitMs = 50;

// Checks that a listening port can be bound, so that a taken port is a setup failure.
bool PortIsFree(unsigned port) {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<uint16_t>(port));
    const bool free = bind(s, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
    close(s);
    return free;
}

// A WAV microphone must be readable before any call is made.
bool CheckEndpoints(const CallOptions& o, std::string* error) {
    AudioFormat format;
    if (!o.mic.empty() && o.mic != "none" && o.mic != "default") {
        if (!OpenCaptureEndpoint(o.mic, format, error)) {
            return false;
        }
    }
    if (!o.speaker.empty() && o.speaker != "none" && o.speaker != "default") {
        FILE* probe = std::fopen(o.speaker.c_str(), "ab");
        if (!probe) {
            *error = o.speaker + ": " + std::strerror(errno);
            return false;
        }
        std::fclose(probe);
    }
    return true;
}

int DecisionFor(CallOptions::Answer answer) {
    switch (answer) {
        case CallOptions::Answer::Accept:
            return DECISION_ACCEPT;
        case CallOptions::Answer::Reject:
            return DECISION_REJECT;
        case CallOptions::Answer::Silent:
            return DECISION_ACCEPT_SILENT;
        case CallOptions::Answer::Ignore:
            break;
    }
    return 0;
}

}  // namespace

CallSession::CallSession(const CallOptions& options) : m_options(options) {
    m_window = RegisterWindow([this](uint32_t message, uintptr_t code, intptr_t value) {
        if (message == WM_ENGINE_STATUS) {
            OnEngineStatus(static_cast<unsigned>(code), static_cast<uintptr_t>(value));
        }
    });
    m_stats = std::make_unique<Statistics>(m_window);
}

CallSession::~CallSession() {
    if (m_engine) {
        m_engine->Stop();
    }
    if (m_connectThread) {
        m_connectThread->WaitForDeath(INFINITE);
    }
    m_engine.reset();
    UnregisterWindow(m_window);
    PumpMessages();  // frees whatever is still queued
}

double CallSession::Now() const {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void CallSession::PrintLine(const char* name, const std::string& value) {
    std::printf("%s %s\n", name, value.c_str());
    std::fflush(stdout);
}

bool CallSession::StartEngine(std::string* error) {
    if (!CheckEndpoints(m_options, error)) {
        return false;
    }
    EngineOptions engineOptions;
    engineOptions.microphone = m_options.mic;
    engineOptions.speaker = m_options.speaker;
    engineOptions.processing = m_options.processing;
    if (!SetIdentity(&engineOptions, error)) {
        return false;
    }
    if (m_options.mode == CallOptions::Mode::Listen && !PortIsFree(m_options.port)) {
        *error = "port " + std::to_string(m_options.port) + " is in use";
        return false;
    }
    if (m_options.ByName()) {
        m_directory = std::make_unique<DirectorySession>(m_options.service, m_options.user,
                                                         m_options.password, m_options.port,
                                                         m_options.portMapping);
        m_directory->TrustKey(m_options.trustKey);
        if (engineOptions.identity) {
            m_directory->PublishIdentity(KeyHex(engineOptions.identity->publicKey));
        }
        if (!m_directory->LogIn(error)) {
            return false;
        }
        engineOptions.rendezvous = m_directory->Rendezvous();
    }
    if (m_options.mode == CallOptions::Mode::Listen) {
        m_engine = std::make_unique<Voxlane>(m_options.port, 1, m_stats.get(),
                                             m_options.user.c_str(), engineOptions);
        m_engine->StartServer();
        return true;
    }
    return StartCall(engineOptions, error);
}

bool CallSession::SetIdentity(EngineOptions* engineOptions, std::string* error) {
    if (m_options.encryption == CallOptions::Encryption::Off) {
        return true;
    }
    const std::string path =
        m_options.identityFile.empty() ? identity_file::DefaultPath() : m_options.identityFile;
    engineOptions->identity = identity_file::LoadOrCreate(path, error);
    engineOptions->requireEncryption = m_options.encryption == CallOptions::Encryption::Required;
    return engineOptions->identity.has_value();
}

void CallSession::PrintSecurity(uintptr_t encrypted) {
    if (!m_engine) {
        return;
    }
    PrintLine("ENCRYPTED", encrypted ? "yes" : "no");
    const CallSecurity security = m_engine->GetCallSecurity();
    if (security.encrypted) {
        PrintLine("SAS", security.sas);
        PrintLine("PEER-IDENTITY", KeyHex(security.peerIdentity));
    }
}

bool CallSession::StartCall(const EngineOptions& engineOptions, std::string* error) {
    in_addr address{};
    std::optional<CallPlan> plan;
    if (inet_pton(AF_INET, m_options.address.c_str(), &address) != 1 &&
        !ResolveBuddy(engineOptions, &address, &plan, error)) {
        return false;
    }
    m_remote = m_options.address;
    m_engine = std::make_unique<Voxlane>(m_options.port, 0, m_stats.get(), m_options.user.c_str(),
                                         engineOptions);
    if (plan) {
        m_engine->InitConnectVia(*plan);
    } else {
        m_engine->InitConnect(address, m_options.port);
    }
    m_connectThread = std::make_unique<Thread>(&Voxlane::_Connect, m_engine.get());
    m_connectThread->Resume();
    return true;
}

bool CallSession::ResolveBuddy(const EngineOptions& engineOptions, in_addr* address,
                               std::optional<CallPlan>* plan, std::string* error) {
    if (engineOptions.rendezvous) {
        Register(engineOptions);
    }
    std::string listed;
    std::string why;
    *plan = m_directory->PlanCall(m_options.address, &listed, &why);
    if (*plan || inet_pton(AF_INET, listed.c_str(), address) == 1) {
        return true;
    }
    if (listed == "LAN") {
        *error = "Cannot connect to " + m_options.address +
                 "'s computer since it is behind a firewall (the directory says: " + why + ")";
    } else {
        *error = m_options.address + " is not online (" + why + ")";
    }
    return false;
}

void CallSession::Register(const EngineOptions& engineOptions) {
    constexpr double kRegisterWait = 3.0;
    Voxlane listener(engineOptions.rendezvous->callPort, 1, m_stats.get(), m_options.user.c_str(),
                     engineOptions);
    listener.StartServer();
    const double until = Now() + kRegisterWait;
    while (!listener.GetPublicAddress() && Now() < until) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    listener.Stop();
}

void CallSession::OnCallUp() {
    if (m_options.mode == CallOptions::Mode::Listen && m_engine) {
        const char* caller = m_engine->GetRemoteUserName();
        m_remote = caller ? caller : "";
    }
    if (m_directory) {
        m_directory->NewCall();
        m_directory->ReportCall(m_remote, 0, 0);
    }
}

void CallSession::Report() {
    if (m_directory && m_callUp) {
        const int minutes = static_cast<int>((Now() - m_callUpAt) / 60);
        m_directory->ReportCall(m_remote, minutes, static_cast<int>(m_meanDelay));
    }
}

void CallSession::EndCall(int exitStatus) {
    if (m_done) {
        return;
    }
    m_done = true;
    m_exit = exitStatus;
    if (m_engine) {
        m_engine->Stop();  // sends MSG_HANGUP when the call is still up
        const CallSecurity security = m_engine->GetCallSecurity();
        if (security.encrypted) {
            PrintLine("DROPPED", std::to_string(security.dropped));
        }
    }
}

void CallSession::OnEngineStatus(unsigned code, uintptr_t value) {
    if (code == STATUS_PATH) {
        const char* path = PathKindName(static_cast<int>(value));
        PrintLine("PATH", path ? path : std::to_string(value));
        return;
    }
    if (code == STATUS_SECURITY) {
        PrintSecurity(value);
        return;
    }
    const char* name = EngineStatusName(code);
    if (!name) {
        return;
    }
    switch (code) {
        case STATUS_DEBUG_TEXT:
            PrintLine(name, reinterpret_cast<const char*>(value));
            return;
        case STATUS_MIC_FRAME:
        case STATUS_NET_FRAME:
            PrintLine(name, "1600");
            return;
        case STATUS_INCOMING_CALL: {
            const char* caller = m_engine ? m_engine->GetRemoteUserName() : nullptr;
            PrintLine(name, caller ? caller : "");
            if (m_options.answer != CallOptions::Answer::Ignore && !m_done) {
                m_pendingDecisionCell = value;
                m_decideAt = Now() + m_options.answerDelay;
            }
            return;
        }
        default:
            PrintLine(name, std::to_string(value));
            break;
    }
    if (m_done) {
        return;
    }
    switch (code) {
        case STATUS_CONNECTED:
            if (!m_callUp) {
                m_callUp = true;
                m_callUpAt = Now();
                m_nextProbe = m_callUpAt + kFirstProbe;
                OnCallUp();
            }
            break;
        case STATUS_ROUND_TRIP:
            m_meanDelay =
                (m_meanDelay * m_delaySamples + static_cast<double>(value)) / (m_delaySamples + 1);
            ++m_delaySamples;
            break;
        case STATUS_REMOTE_HANGUP:
        case STATUS_CONNECTION_LOST:
            // Only a call's own threads raise these, so a call did come up, even when its
            // STATUS_CONNECTED is still on the way (the threads start before it is raised).
            EndCall(kCallEnded);
            break;
        case STATUS_CONNECT_FAILED:
            if (m_options.mode == CallOptions::Mode::Call) {
                EndCall(kNoCall);
            }
            break;
        case STATUS_SERVER_ERROR:
            std::fprintf(stderr, "zorvo-call: listening on port %u failed\n", m_options.port);
            EndCall(kSetupFailed);
            break;
        default:
            break;
    }
}

int CallSession::Run(const std::atomic<int>& stopRequested) {
    std::string error;
    if (!StartEngine(&error)) {
        std::fprintf(stderr, "zorvo-call: %s\n", error.c_str());
        return kSetupFailed;
    }
    m_started = Now();
    while (!m_done) {
        ThreadMsg msg;
        if (GetMessageTimeout(msg, kLoopWaitMs)) {
            DispatchMessage(msg);
            continue;  // handle everything queued before looking at the clocks
        }
        const double now = Now();
        if (stopRequested.load()) {
            Report();
            EndCall(m_callUp ? kCallEnded : kNoCall);
        } else if (m_pendingDecisionCell && now >= m_decideAt) {
            Voxlane::WriteDecision(m_pendingDecisionCell, DecisionFor(m_options.answer));
            m_pendingDecisionCell = 0;
        } else if (m_callUp && m_options.hangupAfter &&
                   now - m_callUpAt >= *m_options.hangupAfter) {
            Report();  // the closing report of a call this side hangs up
            EndCall(kCallEnded);
        } else if (!m_callUp && m_options.timeout && now - m_started >= *m_options.timeout) {
            std::fprintf(stderr, "zorvo-call: no call came up within %g s\n", *m_options.timeout);
            EndCall(kNoCall);
        } else if (m_callUp && now >= m_nextProbe) {
            m_engine->CalculateRoundTripDelay();
            m_nextProbe = now + kProbeInterval;
        }
    }
    // Print what the engine said while it stopped.
    if (m_connectThread) {
        m_connectThread->WaitForDeath(INFINITE);
    }
    PumpMessages();
    return m_exit;
}
