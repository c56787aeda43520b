#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/EngineTiming.h"
#include "engine/Export.h"
#include "engine/audio/Player.h"
#include "engine/audio/Recorder.h"
#include "util/CSem.h"
#include "util/Messages.h"
#include "util/Statistics.h"
#include "util/Thread.h"
#include "wire/ZorvoMsg.h"

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
    // Caller: sends the connect requests and waits for the answer; 1 when the call is up.
    int Connect();
    // Thread routine running Connect on the engine passed as argument.
    static uint32_t _Connect(void* engine);
    // Callee: starts the listening server thread; 0 when a server already runs.
    int StartServer();
    // Ends every thread of the engine and closes its socket; returns when all have ended.
    int Stop();

    int IsConnected() const { return m_bConnected.load(); }
    // The caller's name as the callee received it; null on a calling engine.
    const char* GetRemoteUserName() const;

    int SetSensitivity(unsigned sensitivity);
    int SetNoVoiceSenseThreshold(unsigned threshold);
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
    bool _Pause(uint32_t milliseconds);  // false when cut short by Stop
    void _CloseSocket();                 // close and mark -1, exactly once
    void _CloseSocketLocked();           // the same under m_sem
    int _CloseAllSockets();
    int _CloseAllThreads();
    void _StartCallThreads();
    void _Debug(const char* format, ...) __attribute__((format(printf, 2, 3)));

    // Set-up.
    int _DoConnect();
    static uint32_t _ServerThreadFunc(void* engine);
    int _WaitForConnection();
    int _LeaveListening(const char* text);

    // Send path.
    static uint32_t _RecordSendThreadFunc(void* engine);
    void _RecordSendLoop();
    int _HasVoice(const char* samples, unsigned count) const;
    void _HandleSendFailure();

    // Receive path.
    static uint32_t _ReceivePlayThreadFunc(void* engine);
    void _ReceivePlayLoop();
    int _ProcessMessage(const ZorvoMsg& msg, const sockaddr_in& from);
    static uint32_t _PlayThreadFunc(void* engine);
    void _PlayLoop();
    void _ConnectionLost();

    const EngineTiming m_timing;
    unsigned m_nPort;
    std::atomic<int> m_socket{-1};
    sockaddr_in m_remoteAddr{};
    CSem m_sem;
    int m_stopEvent = -1;  // becomes readable when Stop begins; cuts every wait short
    std::unique_ptr<Thread> m_pServerThread;
    Thread m_recvPlayThread;
    Thread m_recordSendThread;
    char m_szRemoteUserName[zorvo::wire::kRemoteNameBytes] = {};
    char m_szUserName[zorvo::wire::kMaxUserName + 1] = {};
    Statistics* m_pStats;
    Player m_player;
    Recorder m_recorder;
    std::atomic<int> m_bStopIssued{0};
    int m_bAnswerMode;
    std::atomic<int> m_bConnected{0};
    std::atomic<int> m_bServerRunning{0};
    std::atomic<int> m_bBusy{0};
    std::atomic<int> m_nSensitivity{20};
    std::atomic<unsigned> m_nNoVoiceThreshold{10};
    std::atomic<int> m_bListenOnly{0};
    std::atomic<int> m_nCallDecision{0};
    std::atomic<int> m_bCallThreadsStarted{0};
};
