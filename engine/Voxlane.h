#pragma once

// The call engine.
//
// Data flow of a call and the threads that carry it (each box a thread, each arrow a hand-over):
//
//   microphone -> Recorder (capture thread) --MM_WIM_DATA--> record-send thread
//        record-send thread: voice detection, Compress, MSG_VOICE --> UDP socket --> peer
//   peer --> UDP socket --> receive-play thread: Decompress, Player::AddBuffer
//        Player (playing thread: adaptive playout buffer) -> speaker, --MM_WOM_DONE-->
//        play-callback thread; what the speaker played goes back to the Recorder's echo canceller
//   The receive-play thread starts reading the socket only once the play-callback thread has
//   opened the player (or failed to), so the first frame of a call is never lost to the opening.
//
//   Messages between them:
//     record-send thread   <- MM_WIM_DATA (recorder), WM_ENGINE_RESET (Stop),
//                             WM_ENGINE_SEND_PROBE (CalculateRoundTripDelay),
//                             WM_ENGINE_SEND_REPLY (receive-play thread, for a MSG_R_U_THERE)
//     play-callback thread <- MM_WOM_DONE (player), WM_ENGINE_RESET (receive-play thread)
//     window               <- WM_ENGINE_STATUS from every engine thread, through Statistics
//
// Before the call, one set-up thread drives the Handshake over the same socket: the program's
// connect thread (Connect, caller) or the engine's server thread (StartServer, callee). Once the
// call is up it resumes the record-send and receive-play threads and ends. CallState.h holds the
// phases of a call and their transitions.

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <optional>
#include <semaphore>
#include <string>

#include "engine/CallCrypto.h"
#include "engine/CallPath.h"
#include "engine/CallState.h"
#include "engine/EngineReport.h"
#include "engine/EngineTiming.h"
#include "engine/Export.h"
#include "engine/Handshake.h"
#include "engine/PathAgent.h"
#include "engine/UdpLink.h"
#include "engine/audio/Player.h"
#include "engine/audio/Recorder.h"
#include "util/CSem.h"
#include "util/Messages.h"
#include "util/Statistics.h"
#include "util/Thread.h"
#include "wire/ZorvoMsg.h"

class CIface;

// Thread messages of the engine's own threads.
constexpr uint32_t WM_ENGINE_RESET = WM_USER + 2;       // stop capture / playback and leave
constexpr uint32_t WM_ENGINE_SEND_PROBE = WM_USER + 3;  // send MSG_R_U_THERE
constexpr uint32_t WM_ENGINE_SEND_REPLY = WM_USER + 4;  // send MSG_I_AM_HERE, wParam = tick

constexpr unsigned kDefaultCallPort = 1720;

// What the program that makes an engine chooses besides the call itself.
struct EngineOptions {
    std::string microphone;  // capture endpoint: "" = sound card, "none", or a WAV path
    std::string speaker;     // playback endpoint, likewise
    EngineTiming timing;     // the protocol's waits; tests shorten them
    // Echo cancellation, noise suppression and automatic gain on sound-card capture. WAV and
    // "none" sources are never processed.
    bool processing = true;
    // Registered with a rendezvous (logged in to a directory that has one): a listening engine
    // keeps the registration alive and answers call notices; a caller with a CallPlan binds its
    // socket to the registered port.
    std::optional<RendezvousConfig> rendezvous;
    // The user's identity: with one, the engine offers to encrypt the speech end to end and
    // encrypts whenever the peer can (docs/encryption.md); without, its calls are plain.
    std::optional<IdentityKey> identity;
    // With an identity: refuse a peer that cannot encrypt instead of talking in clear.
    bool requireEncryption = false;
};

// How the current call is protected, as the engine reports it once the call is up.
struct CallSecurity {
    bool encrypted = false;
    std::string sas;           // the short authentication string both sides show ("123 456")
    PublicKey peerIdentity{};  // the identity key the peer proved it holds
    uint64_t dropped = 0;      // datagrams dropped as forged, replayed, late or plain
};

// The call engine: one object handles one call, as the caller (InitConnect, then Connect on a
// thread of the program's) or as the callee (StartServer). Everything it has to say reaches the
// window through its Statistics as WM_ENGINE_STATUS. After Stop the object is not reused.
class VOXLANE_API Voxlane {
  public:
    Voxlane(unsigned port, int answerMode, Statistics* stats, const char* userName,
            const EngineOptions& options = EngineOptions());
    // Stops the engine first if the owner has not.
    virtual ~Voxlane();

    Voxlane(const Voxlane&) = delete;
    Voxlane& operator=(const Voxlane&) = delete;

    // Caller: sets the callee's address and port. 0 ("Already Connected") while busy.
    int InitConnect(in_addr address, unsigned port);
    // Caller, for a call by name through the directory: the callee's candidates and the call's
    // token. Connect then finds a path first (probes, else the relay) and calls over it.
    int InitConnectVia(const CallPlan& plan);
    // Caller: sends the connect requests and waits for the answer; 1 when the call is up.
    int Connect();
    // Thread routine running Connect on the engine passed as argument.
    static uint32_t _Connect(void* engine);
    // Callee: starts the listening server thread; 0 when a server already runs.
    int StartServer();
    // Ends every thread of the engine and closes its socket; returns when all have ended.
    int Stop();

    // Where the rendezvous sees this engine's socket (the router's public address and port);
    // empty until a registration was answered.
    std::optional<sockaddr_in> GetPublicAddress() const;
    // The capabilities the caller announced in its connect request (callee).
    uint8_t GetRemoteCapabilities() const { return m_handshake.RemoteCapabilities(); }
    // The call's protection; valid from STATUS_SECURITY on (the dropped count keeps growing).
    CallSecurity GetCallSecurity() const;

    int IsConnected() const { return m_state.Connected() ? 1 : 0; }
    // The caller's name as the callee received it; null on a calling engine.
    const char* GetRemoteUserName() const;

    int SetSensitivity(unsigned sensitivity);
    int SetNoVoiceSenseThreshold(unsigned threshold);
    // Mutes or unmutes the microphone of the call: while muted, captured frames are held back as
    // silence suppression holds back silent ones, so nothing is sent and the wire carries no new
    // record type. Probes and their answers still go out. A new engine starts unmuted.
    void SetMuted(bool muted) { m_muted.store(muted); }
    bool IsMuted() const { return m_muted.load(); }
    // Asks the record-send thread to send a round-trip probe; 0 when no call is up.
    int CalculateRoundTripDelay();

    // The incoming call's decision cell, whose address STATUS_INCOMING_CALL carries. The window
    // stores DECISION_ACCEPT, DECISION_REJECT or DECISION_ACCEPT_SILENT into it.
    static void WriteDecision(uintptr_t cell, int decision);

  private:
    // Wire I/O.
    int _SendZorvoMsg(const ZorvoMsg& msg);
    int _SendRecord(uint8_t type);
    int _ReceiveData(uint8_t* buffer, uint32_t* size, uint32_t timeoutMs, sockaddr_in* from);
    void _CloseSocketLocked();  // close under m_sem
    int _CloseAllSockets();
    int _CloseAllThreads();
    // Enters Connected from `from` and resumes both call threads; false once Stop has begun.
    bool _StartCallThreads(CallPhase from, CallPhase alsoFrom);
    // Takes the keys the set-up agreed on (if any) and raises STATUS_SECURITY.
    void _ArmCipher();
    // An encrypted call's datagram from the peer: true with the inner record in place of the
    // sealed one; false for anything to drop.
    bool _Unseal(uint8_t* buffer, uint32_t* size);

    // Set-up, driven through m_handshake.
    int _DoConnect();
    // Binds the caller's socket to the registered port and finds the path of a call by name;
    // false when none answered.
    bool _FindPath();
    static uint32_t _ServerThreadFunc(void* engine);
    void _ServeCalls();
    int _WaitForConnection();

    // Send path.
    struct SendState;
    static uint32_t _RecordSendThreadFunc(void* engine);
    void _RecordSendLoop();
    void _OnSendThreadMessage(SendState& state, const ThreadMsg& msg);
    void _OnCapturedBuffer(SendState& state);
    bool _SendFrame(SendState& state, const char* samples);  // false after a send failure
    void _SendProbe(SendState& state, uint8_t type, uint32_t tick);
    int _HasVoice(const char* samples, unsigned count) const;
    bool _HoldBackMuted(SendState& state) const;  // true while muted: the frame is not sent
    void _HandleSendFailure();

    // Receive path.
    static uint32_t _ReceivePlayThreadFunc(void* engine);
    void _ReceivePlayLoop();
    // Handles one receive that is not a datagram; false when the loop is to end.
    bool _OnQuietReceive(int result, uint32_t* idleWaits);
    void _PlayVoice(ZorvoMsg& msg, CIface* codec, char* decoded, char* playback);
    int _ProcessMessage(const ZorvoMsg& msg, const sockaddr_in& from);
    static uint32_t _PlayThreadFunc(void* engine);
    void _PlayLoop();
    // Closes the socket, reports STATUS_CONNECTION_LOST and waits `pauseMs` (both paths).
    void _ConnectionLost(uint32_t pauseMs);

    const EngineTiming m_timing;
    unsigned m_nPort;
    UdpLink m_link;  // the socket, the peer (m_remoteAddr) and the stop signal
    CSem m_sem;      // held while a set-up thread makes, uses or closes the socket
    CallState m_state;
    EngineReport m_report;
    PathAgent m_pathAgent;  // shares the socket when the engine is registered or has a plan
    std::optional<IdentityKey> m_identity;  // before m_handshake, which refers to it
    Handshake m_handshake;
    // Set by the set-up thread before the call threads start, unchanged afterwards.
    std::optional<CallKeys> m_keys;
    std::unique_ptr<RecordCipher> m_cipher;
    std::unique_ptr<Thread> m_pServerThread;
    Thread m_recvPlayThread;
    Thread m_recordSendThread;
    Player m_player;
    Recorder m_recorder;
    // Released by the play-callback thread once the player's Start has returned, so that the
    // receive-play thread hands no frame to a player that is still opening.
    std::binary_semaphore m_playerSettled{0};
    int m_bAnswerMode;
    std::atomic<int> m_nSensitivity{20};
    std::atomic<unsigned> m_nNoVoiceThreshold{10};
    std::atomic<bool> m_muted{false};
};
