#include "app/call/CallController.h"

#include "app/call/EngineSetup.h"
#include "app/call/InCallDisplay.h"
#include "app/call/KeyPinning.h"
#include "app/settings/ProgramSettings.h"
#include "app/sounds/SoundPlayer.h"
#include "util/Thread.h"

namespace {

// Posted by the connect thread to the engine's window handle as its last act, behind every
// notification the set-up raised, so that the attempt is judged only after all of them.
constexpr uint32_t kConnectDone = WM_USER + 10;

constexpr int kProbeEveryTicks = 10;
constexpr int kReportEveryTicks = 300;
constexpr int kRingToneCheckMs = 100;

}  // namespace

// An outgoing call set-up running on its own thread around Voxlane::_Connect.
struct CallController::OutgoingAttempt {
    OutgoingAttempt(Voxlane* engine, HWND window)
        : engine(engine), window(window), thread(&CallController::ConnectThreadFunc, this) {}

    Voxlane* const engine;
    const HWND window;
    Thread thread;
    AttemptState state = AttemptState::kConnecting;
    // The call came up and ended before the connect thread returned: the engine is released
    // once the thread is done with it.
    bool callEnded = false;
};

unsigned CallController::s_tickCount = 0;

CallController::CallController(QObject* parent)
    : QObject(parent), m_options(enginesetup::OptionsFromEnvironment()) {
    connect(&m_route, &AudioRoute::resolved, this, &CallController::OnAudioRouted);
    m_ringTone.setInterval(kRingToneCheckMs);
    connect(&m_ringTone, &QTimer::timeout, this,
            [this] { PlaySound("phonering.wav", SoundPlayer::kAsync | SoundPlayer::kNoStop); });
}

CallController::~CallController() {
    m_shutDown = true;
    DestroyEngine();
}

uint32_t CallController::ConnectThreadFunc(void* argument) {
    auto* attempt = static_cast<OutgoingAttempt*>(argument);
    Voxlane::_Connect(attempt->engine);
    PostMessage(attempt->window, kConnectDone, 0, 0);
    return 0;
}

AttemptState CallController::Attempt() const {
    if (m_awaitingPage) {
        return AttemptState::kConnecting;
    }
    return m_attempt ? m_attempt->state : AttemptState::kFailed;
}

void CallController::SetUserName(const QString& name) {
    m_userName = name;
}

void CallController::PlaySound(const QString& name, unsigned flags) {
    emit soundRequested(name, flags);
    SoundPlayer::Instance().PlaySound(name, flags);
}

// --- devices ---------------------------------------------------------------------------------

void CallController::RefreshAudioRoute() {
    m_route.Refresh();
}

void CallController::OnAudioRouted(const AudioRoute::Endpoints& endpoints) {
    SetAudioEndpoints(endpoints.microphone.endpoint, endpoints.speaker.endpoint);
    // The ringing sounds follow the chosen speaker unless the environment sends them elsewhere.
    if (!qEnvironmentVariableIsSet("ZORVO_SOUND_OUT") &&
        !qEnvironmentVariableIsSet("ZORVO_SPEAKER")) {
        SoundPlayer::Instance().SetEndpoint(endpoints.speaker.endpoint);
    }
    emit audioRouted(AudioRoute::StatusText(endpoints));
}

void CallController::SetAudioEndpoints(const std::string& microphone, const std::string& speaker) {
    if (microphone == m_options.microphone && speaker == m_options.speaker) {
        return;
    }
    m_options.microphone = microphone;
    m_options.speaker = speaker;
    // The listening engine took its devices when it was made: one that only waits is replaced.
    if (Idle() && !m_shutDown) {
        DestroyEngine();
        StartListening();
    }
}

bool CallController::Idle() const {
    return m_engine && !m_engine->IsConnected() && !m_attempt && m_decisionCell == 0;
}

// --- engine ownership ---------------------------------------------------------------------------

void CallController::CreateEngine(int answerMode) {
    // Each engine reports through a handle of its own, which goes away with the engine: whatever
    // an engine still had queued is then dropped instead of reaching its successor.
    m_hWnd = RegisterWindow([this](uint32_t message, uintptr_t code, intptr_t value) {
        if (message == WM_ENGINE_STATUS) {
            OnEngineStatus(static_cast<unsigned>(code), static_cast<uintptr_t>(value));
        } else if (message == kConnectDone) {
            FinishAttempt();
        }
    });
    m_statistics = std::make_unique<Statistics>(m_hWnd);
    const QByteArray user = (m_userName.isEmpty() ? QString("UNKNOWN") : m_userName).toUtf8();
    // Read for every engine, so that a change in the settings applies from the next call on.
    m_options.processing = ProgramSettings::VoiceProcessing();
    m_engine = std::make_unique<Voxlane>(enginesetup::CallPort(), answerMode, m_statistics.get(),
                                         user.constData(), m_options);
    m_engineListens = answerMode != 0;
    m_pathKind = 0;
    m_securityKnown = false;
    m_security = CallSecurity();
}

void CallController::DestroyEngine() {
    AbortAttempt();
    if (m_engine) {
        m_engine->Stop();
        m_engine.reset();
    }
    m_statistics.reset();
    if (m_muted) {
        // Muting belongs to one call: the next starts with the microphone on.
        m_muted = false;
        emit mutedChanged(false);
    }
    if (m_hWnd) {
        UnregisterWindow(m_hWnd);
        m_hWnd = 0;
    }
    if (m_decisionCell) {
        // The decision cell went with the engine: the ringing dialog has nothing to answer.
        m_decisionCell = 0;
        emit incomingCallWithdrawn();
    }
}

void CallController::AbortAttempt() {
    if (m_awaitingPage) {
        // The call page's answer finds nothing to call any more.
        m_awaitingPage = false;
        emit attemptEnded(false);
    }
    if (!m_attempt) {
        return;
    }
    // The set-up ends soon after Stop; the engine must outlive the thread that uses it.
    m_attempt->engine->Stop();
    m_attempt->thread.WaitForDeath(INFINITE);
    m_attempt.reset();
    m_ringTone.stop();
    PlaySound(QString(), 0);
    emit attemptEnded(false);
}

void CallController::StartListening() {
    if (m_engine) {
        emit boxRequested("Server Already started");
        return;
    }
    if (m_shutDown) {
        return;
    }
    CreateEngine(1);
    m_engine->StartServer();
    emit buttonsChanged(false);
    emit listening();
}

bool CallController::ReleaseEngine(bool confirmed) {
    const bool inCall = InCall();
    if (inCall && !confirmed) {
        return false;
    }
    if (inCall) {
        emit callFinished();
        emit callReportDue(CallReportKind::kHangUp);
    }
    DestroyEngine();
    emit buttonsChanged(false);
    return true;
}

void CallController::HangUp() {
    if (!m_engine || !ReleaseEngine(true)) {
        return;
    }
    PlaySound("hangup.wav", SoundPlayer::kAsync | SoundPlayer::kNoStop);
    StartListening();
}

void CallController::Shutdown() {
    m_shutDown = true;
    DestroyEngine();
}

bool CallController::SetMuted(bool muted) {
    if (!InCall()) {
        return false;
    }
    m_engine->SetMuted(muted);
    if (m_muted != muted) {
        m_muted = muted;
        emit mutedChanged(muted);
    }
    return true;
}

// --- outgoing call ------------------------------------------------------------------------------

bool CallController::PlaceCall(in_addr address, unsigned port, const QString& remoteUser,
                               bool named) {
    if (Attempting() || InCall()) {
        return false;
    }
    m_remoteUser = remoteUser;
    m_peerName = named ? keypin::PeerName(remoteUser) : QString();
    emit attemptStarted("Connecting..");
    return LaunchAttempt(
        [address, port](Voxlane& engine) { return engine.InitConnect(address, port); });
}

bool CallController::LaunchAttempt(const std::function<int(Voxlane&)>& init) {
    ReleaseEngine(false);
    CreateEngine(0);
    if (!init(*m_engine)) {
        // The engine stays until the next Talk releases it; nothing listens meanwhile.
        emit boxRequested("Cannot initialize connection");
        emit attemptEnded(false);
        emit callFinished();
        return false;
    }
    m_attempt = std::make_unique<OutgoingAttempt>(m_engine.get(), m_hWnd);
    m_attempt->thread.Resume();
    return true;
}

void CallController::CancelCall() {
    if (m_awaitingPage) {
        m_awaitingPage = false;
        emit attemptEnded(false);
        return;
    }
    if (!m_attempt || m_attempt->state == AttemptState::kCancelling) {
        return;
    }
    m_attempt->state = AttemptState::kCancelling;
    m_ringTone.stop();
    m_engine->Stop();
    emit attemptChanged(AttemptState::kCancelling, "Cancelling.. Please Wait");
}

void CallController::OnRinging() {
    if (!m_attempt || m_attempt->state != AttemptState::kConnecting) {
        return;
    }
    m_attempt->state = AttemptState::kRinging;
    PlaySound("phonering.wav", SoundPlayer::kAsync | SoundPlayer::kNoStop);
    m_ringTone.start();
    emit attemptChanged(AttemptState::kRinging, "Ringing at the other end");
}

void CallController::OnConnectFailed() {
    m_ringTone.stop();
    PlaySound(QString(), 0);
    if (m_attempt && m_attempt->state == AttemptState::kCancelling) {
        return;  // the user ended the attempt: nothing to tell
    }
    if (m_attempt) {
        m_attempt->state = AttemptState::kFailed;
        emit attemptChanged(AttemptState::kFailed, QString());
    }
    emit boxRequested(kConnectFailedBox);
}

void CallController::FinishAttempt() {
    if (!m_attempt) {
        return;
    }
    m_attempt->thread.WaitForDeath(INFINITE);  // it posted this as its last act
    const bool callEnded = m_attempt->callEnded;
    m_attempt.reset();
    m_ringTone.stop();
    PlaySound(QString(), 0);
    const bool connected = !callEnded && InCall();
    emit attemptEnded(connected);
    if (callEnded) {
        OnCallEnded();
    } else if (connected) {
        emit debugLine("Connected...");
        emit buttonsChanged(true);
    } else {
        emit debugLine("Connect failed..Please Retry");
        DestroyEngine();
        StartListening();
    }
}

// --- engine notifications -----------------------------------------------------------------------

int CallController::OnEngineStatus(unsigned code, uintptr_t value) {
    if (code == STATUS_PATH) {
        OnPathFound(static_cast<int>(value));
        return 0;
    }
    if (code == STATUS_SECURITY) {
        OnSecurityFound();
        return 0;
    }
    if (code == STATUS_REGISTERED) {
        CheckRegistration();
        return 0;
    }
    if (code < kFirstEngineStatus || code > kLastEngineStatus) {
        return 0;
    }
    const bool connected = InCall();
    switch (code) {
        case STATUS_BYTES_SENT:
        case STATUS_BYTES_RECEIVED:
            if (connected && code == STATUS_BYTES_SENT) {
                emit bytesSent(static_cast<qint64>(value));
            } else if (connected) {
                emit bytesReceived(static_cast<qint64>(value));
            }
            break;
        case STATUS_DEBUG_TEXT:
            emit debugLine(QString::fromUtf8(reinterpret_cast<const char*>(value)));
            break;
        case STATUS_MIC_FRAME:
        case STATUS_NET_FRAME:
            if (connected) {
                OnFrame(code);
            }
            break;
        case STATUS_REMOTE_HANGUP:
        case STATUS_CONNECTION_LOST:
            if (m_attempt) {
                m_attempt->callEnded = true;  // the connect thread still uses the engine
            } else {
                OnCallEnded();
            }
            break;
        case STATUS_CONNECTED:
            OnCallStarted();
            break;
        case STATUS_SERVER_ERROR:
            emit buttonsChanged(false);
            emit serverFailed();
            break;
        case STATUS_INCOMING_CALL:
            OnIncomingCall(value);
            break;
        case STATUS_CONNECT_FAILED:
            OnConnectFailed();
            break;
        case STATUS_RINGING:
            OnRinging();
            break;
        case STATUS_ROUND_TRIP:
            if (connected) {
                OnRoundTrip(static_cast<unsigned>(value));
            }
            break;
        default:
            break;
    }
    emit statusHandled(code);
    return 0;
}

void CallController::OnFrame(unsigned code) {
    // The engine refills the shared frame five times a second: hand on a copy.
    int16_t samples[Statistics::kFrameBytes / 2];
    if (code == STATUS_MIC_FRAME) {
        Statistics::CopyLastFromMic(samples);
    } else {
        Statistics::CopyLastFromNet(samples);
    }
    emit frame(code, samples);
}

void CallController::OnRoundTrip(unsigned ms) {
    m_lastDelay = ms;
    incall::DelayMean mean{m_avgDelay, m_delaySamples};
    mean.Add(ms);
    m_avgDelay = mean.mean;
    m_delaySamples = mean.samples;
}

void CallController::OnCallStarted() {
    m_callStart = std::time(nullptr);
    m_lastDelay = 0;
    m_delayRequested = 0;
    m_avgDelay = 0;
    m_delaySamples = 0;
    emit buttonsChanged(true);
    emit callStarted();
    emit callReportDue(CallReportKind::kCallUp);
}

void CallController::OnCallEnded() {
    DestroyEngine();
    emit buttonsChanged(false);
    PlaySound("hangup.wav", SoundPlayer::kAsync | SoundPlayer::kNoStop);
    emit callFinished();
    StartListening();
}

// --- incoming call ------------------------------------------------------------------------------

void CallController::OnIncomingCall(uintptr_t decisionCell) {
    if (!m_engine || m_decisionCell) {
        return;
    }
    m_decisionCell = decisionCell;
    PlaySound("phonering.wav", SoundPlayer::kAsync | SoundPlayer::kLoop);
    const char* caller = m_engine->GetRemoteUserName();
    m_remoteUser = caller ? QString::fromUtf8(caller) : QString();
    m_peerName = keypin::PeerName(m_remoteUser);
    emit incomingCall(m_remoteUser, ProgramSettings::RingTime());
}

void CallController::AnswerIncoming(bool accept, bool missed) {
    if (m_decisionCell) {
        Voxlane::WriteDecision(m_decisionCell, accept ? DECISION_ACCEPT : DECISION_REJECT);
        m_decisionCell = 0;
    }
    PlaySound(QString(), 0);
    if (missed && !m_shutDown) {
        emit missedCall(m_remoteUser);
    }
}

// --- in-call figures ----------------------------------------------------------------------------

void CallController::OnClockTick() {
    ++s_tickCount;
    if (!InCall()) {
        return;
    }
    const auto elapsed = static_cast<int64_t>(std::time(nullptr) - m_callStart);
    if (m_lastDelay == 0 && m_delayRequested == 0) {
        // The first probe is asked for every second until the engine takes it.
        m_delayRequested = m_engine->CalculateRoundTripDelay();
    }
    emit callClock(incall::ClockText(elapsed, m_lastDelay),
                   m_lastDelay != 0 ? incall::DelayColour(m_lastDelay) : 0);
    if (s_tickCount % kProbeEveryTicks == 0) {
        m_engine->CalculateRoundTripDelay();
    }
    if (s_tickCount % kReportEveryTicks == 0) {
        emit callReportDue(CallReportKind::kPeriodic);
    }
}
