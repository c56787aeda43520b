#pragma once

#include <QObject>
#include <QString>
#include <QTimer>

#include <netinet/in.h>

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <optional>

#include "app/call/AudioRoute.h"
#include "engine/Voxlane.h"
#include "util/Messages.h"
#include "util/Statistics.h"

// Why the directory service is to hear about the call now.
enum class CallReportKind {
    kCallUp,   // the call became connected (the caller hears that twice): a new record
    kHangUp,   // the user ended the connected call; the engine is released right after
    kPeriodic  // a 300-tick boundary of the clock during the call
};

// Where an outgoing call attempt stands, as its progress window shows it.
enum class AttemptState { kConnecting = 0, kRinging = 1, kCancelling = 2, kFailed = 3 };

// The client's calls: owns the engine of the moment with its Statistics channel, turns the
// engine's notifications into the incoming and outgoing call flows, probes the round trip and
// keeps the in-call figures. It never waits for the user or the network: the outcome of every
// step comes back as a signal, and the window shows it.
//
// While idle it keeps a listening engine; an outgoing call replaces it by a calling engine whose
// set-up runs on a thread of its own, and every call or attempt ends with a new listening
// engine. A call by name to a buddy behind a home router first waits for the directory's call
// page (asked for by the session, off this thread) and then calls with its plan.
//
// Logged in to a directory with a rendezvous, every new engine carries that rendezvous: the
// listening engine keeps this computer registered there, so that callers reach it through the
// directory even behind a router. Every engine carries the user's identity key, so that calls
// are encrypted end to end whenever the peer can; once a call is up the controller says how it
// is protected (securityFound).
class CallController : public QObject {
    Q_OBJECT

  public:
    // Texts the window shows as they are.
    static constexpr const char* kReady = "Ready to receive calls";
    static constexpr const char* kServerError = "Error in Server";
    static constexpr const char* kConnectFailedBox =
        "Cannot Complete the connection. Either your buddy is away from the computer or the "
        "connection timed out.";
    static constexpr const char* kHangUpQuestion =
        "Do you want to disconnect the current connection?";

    explicit CallController(QObject* parent = nullptr);
    ~CallController() override;

    // The name every new engine carries: the logged-in user's, or "UNKNOWN" when empty.
    void SetUserName(const QString& name);

    // Checks the chosen microphone and speaker again (at start-up and after the settings
    // changed); the outcome arrives as audioRouted.
    void RefreshAudioRoute();
    // The microphone and speaker for the next engine (and the ringing sounds). A listening engine
    // that waits for a call is replaced at once by one on the new devices.
    void SetAudioEndpoints(const std::string& microphone, const std::string& speaker);
    // What the next engine is made with.
    const EngineOptions& NextEngineOptions() const { return m_options; }

    // The rendezvous the directory named for the logged-in user; nothing when logged off or when
    // the service has none. Every new engine gets it (with the call port as the registered
    // port); a listening engine that only waits is replaced at once when it changes.
    void SetRendezvous(const std::optional<RendezvousConfig>& rendezvous);
    // A listening engine has been registered with the current rendezvous (its registration was
    // answered): buddies can call this computer through the directory.
    bool Registered() const { return m_registered; }

    // A new listening engine; says "Server Already started" when an engine exists.
    void StartListening();
    // Replaces the engine by a calling one and starts the call set-up. False when an attempt or
    // a call is already running, or when the engine refused the address. `named`: remoteUser is
    // a buddy's name (picked from the online list), not an address typed in; an encrypted call
    // then judges the buddy's identity key by it.
    bool PlaceCall(in_addr address, unsigned port, const QString& remoteUser, bool named = false);
    // A call by name through the directory: the attempt is shown ("Connecting..") while the
    // call page is asked for; the listening engine goes on meanwhile. False when an attempt or
    // a call is already running.
    bool BeginCallByName(const QString& remoteUser);
    // The call page's plan arrived: the listening engine is replaced by a calling one that finds
    // the path and calls over it. False (and the attempt ends) when the attempt was cancelled
    // meanwhile, a call is up or the engine refused the plan.
    bool PlaceCallVia(const CallPlan& plan);
    // The call page was refused: the attempt ends, the box tells `reason`, and the listening
    // engine goes on.
    void AbandonCallByName(const QString& reason);
    // The attempt waits for the call page.
    bool AwaitingCallPage() const { return m_awaitingPage; }
    // The progress window's Cancel: stops the attempt (once).
    void CancelCall();
    // The user's answer to the ringing call; `missed` when the ring time ran out.
    void AnswerIncoming(bool accept, bool missed);
    // Stops and releases the engine. A call that is up is only ended when `confirmed`; false,
    // with nothing changed, otherwise.
    bool ReleaseEngine(bool confirmed);
    // Hang Up, confirmed: release the engine, play the hang-up sound and listen again.
    void HangUp();
    // Exit: the engine stops, a ringing call is withdrawn and nothing listens any more.
    void Shutdown();
    // Mutes or unmutes the microphone of the call that is up: while muted the engine sends
    // nothing. Refused (false) without a call; the call's end unmutes.
    bool SetMuted(bool muted);
    bool Muted() const { return m_muted; }

    // One tick of the call clock (every second).
    void OnClockTick();
    // One engine notification. STATUS_PATH is taken as pathFound, STATUS_SECURITY as
    // securityFound, STATUS_REGISTERED as registrationChanged (the listening engine's); other
    // codes outside 1 to 13 are ignored. Returns 0.
    int OnEngineStatus(unsigned code, uintptr_t value);
    // How the engine of the moment reached its peer (a PathKind value, 0 before it said).
    int CallPath() const { return m_pathKind; }
    // How the call of the moment is protected, once the engine said (SecurityKnown).
    bool SecurityKnown() const { return m_securityKnown; }
    const CallSecurity& Security() const { return m_security; }
    // The peer's name to judge its identity key by: the buddy called by name, or the caller's
    // name (keypin::PeerName); empty for a call by address or a caller without a name.
    const QString& PeerName() const { return m_peerName; }

    Voxlane* Engine() const { return m_engine.get(); }
    bool InCall() const { return m_engine && m_engine->IsConnected(); }
    bool Attempting() const { return m_attempt != nullptr || m_awaitingPage; }
    // An incoming call rings and the user's answer is still wanted.
    bool AwaitingAnswer() const { return m_decisionCell != 0; }
    AttemptState Attempt() const;
    const QString& RemoteUser() const { return m_remoteUser; }
    unsigned LastDelay() const { return m_lastDelay; }
    float AverageDelay() const { return m_avgDelay; }
    unsigned DelaySamples() const { return m_delaySamples; }
    std::time_t CallStart() const { return m_callStart; }
    static unsigned TickCount() { return s_tickCount; }

  signals:
    // A new listening engine is up: pane 2 reads "Ready to receive calls".
    void listening();
    // The listening engine's server gave up: pane 2 reads "Error in Server".
    void serverFailed();
    // Talk or Hang Up is the button to show.
    void buttonsChanged(bool inCall);
    // The call is up (also when the engine says so twice): the in-call display starts.
    void callStarted();
    // The call is over: the in-call display goes away.
    void callFinished();
    // Muted() changed: by the user, or back to false because the call ended.
    void mutedChanged(bool muted);
    // Each second of a call: the clock text and the indicator's second colour (0 before the
    // first round trip has been measured).
    void callClock(const QString& text, uint32_t delayColour);
    // The directory service wants to hear about the call now. The figures (CallStart,
    // AverageDelay, RemoteUser) are those of the call at the moment of the signal.
    void callReportDue(CallReportKind kind);

    // Somebody calls: the window comes forward and asks the user.
    void incomingCall(const QString& caller, int ringSeconds);
    // The engine that rang is gone (Exit, or Talk during the ringing): no answer is wanted.
    void incomingCallWithdrawn();
    void missedCall(const QString& caller);

    // An outgoing attempt began, changed its state, or is over (`connected`: the call is up).
    void attemptStarted(const QString& text);
    void attemptChanged(AttemptState state, const QString& text);
    void attemptEnded(bool connected);

    void boxRequested(const QString& text);
    void soundRequested(const QString& name, unsigned flags);
    void debugLine(const QString& text);
    void bytesSent(qint64 bytes);
    void bytesReceived(qint64 bytes);
    // A new microphone or network frame during a call; `samples` (1600) is valid during the
    // emission only.
    void frame(unsigned code, const int16_t* samples);
    // The devices were checked: the next engine uses them. `status` tells of a chosen device
    // that is gone (the default one is used instead); empty when all is well.
    void audioRouted(const QString& status);
    // Emitted after every notification in 1 to 13 has been handled.
    void statusHandled(unsigned code);
    // The engine found how it reaches its peer (a PathKind value); comes before callStarted.
    void pathFound(int kind);
    // The call is up and the engine said how it is protected: `encrypted` end to end with the
    // short authentication string `sas` and the identity key the peer proved (64 hex digits),
    // or plain (both empty). May come before callStarted or after it.
    void securityFound(bool encrypted, const QString& sas, const QString& peerKeyHex);
    // Registered() changed.
    void registrationChanged(bool registered);

  private:
    struct OutgoingAttempt;

    void CreateEngine(int answerMode);
    // Replaces the engine by a calling one, lets `init` give it the callee and starts the
    // set-up thread; false when `init` refused.
    bool LaunchAttempt(const std::function<int(Voxlane&)>& init);
    void CheckRegistration();
    // The listening engine waits for a call and nothing else is under way.
    bool Idle() const;
    void DestroyEngine();
    void AbortAttempt();
    void FinishAttempt();
    void OnCallStarted();
    void OnCallEnded();
    void OnIncomingCall(uintptr_t decisionCell);
    void OnRinging();
    void OnConnectFailed();
    void OnRoundTrip(unsigned ms);
    void OnFrame(unsigned code);
    void OnPathFound(int kind);
    void OnSecurityFound();
    void PlaySound(const QString& name, unsigned flags);
    void OnAudioRouted(const AudioRoute::Endpoints& endpoints);
    static uint32_t ConnectThreadFunc(void* attempt);

    std::unique_ptr<Statistics> m_statistics;  // declared first: outlives the engine
    std::unique_ptr<Voxlane> m_engine;
    HWND m_hWnd = 0;  // the engine's reports arrive here; one handle per engine
    std::unique_ptr<OutgoingAttempt> m_attempt;
    uintptr_t m_decisionCell = 0;  // the ringing engine's decision cell, until answered
    bool m_shutDown = false;
    QString m_userName;
    QString m_remoteUser;
    QTimer m_ringTone;  // restarts the ringing tone while the callee rings
    EngineOptions m_options;
    AudioRoute m_route;
    bool m_engineListens = false;  // the engine of the moment was made to listen
    bool m_registered = false;
    bool m_awaitingPage = false;
    bool m_muted = false;
    int m_pathKind = 0;
    bool m_securityKnown = false;
    CallSecurity m_security;
    QString m_peerName;

    std::time_t m_callStart = 0;
    unsigned m_lastDelay = 0;
    int m_delayRequested = 0;
    float m_avgDelay = 0;
    unsigned m_delaySamples = 0;
    static unsigned s_tickCount;  // clock ticks since the program started
};
