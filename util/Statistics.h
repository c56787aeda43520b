#pragma once

#include <cstddef>
#include <cstdint>

#include "util/Export.h"
#include "util/Messages.h"

// The one window message through which an engine reports to its window: wParam a status code,
// lParam a value.
constexpr uint32_t WM_ENGINE_STATUS = WM_USER + 1;

enum EngineStatus : unsigned {
    STATUS_BYTES_SENT = 1,        // payload bytes of the voice frame just sent
    STATUS_BYTES_RECEIVED = 2,    // length field of the voice frame just received
    STATUS_DEBUG_TEXT = 3,        // address of a NUL-terminated text, valid while handled
    STATUS_MIC_FRAME = 4,         // a new last sent frame (Statistics::CopyLastFromMic)
    STATUS_NET_FRAME = 5,         // a new last received frame (Statistics::CopyLastFromNet)
    STATUS_REMOTE_HANGUP = 6,     // the peer hung up
    STATUS_CONNECTED = 7,         // the call is up
    STATUS_SERVER_ERROR = 8,      // the listening server gave up
    STATUS_INCOMING_CALL = 9,     // address of the engine's decision cell (holds 1)
    STATUS_CONNECT_FAILED = 10,   // outgoing call rejected or unanswered
    STATUS_RINGING = 11,          // the callee rings
    STATUS_CONNECTION_LOST = 12,  // receive error, 75 s of silence on the wire, or a send failure
    STATUS_ROUND_TRIP = 13,       // round-trip time in milliseconds
    // Beyond the call protocol's own codes (docs/nat-traversal.md):
    STATUS_PATH = 32,        // how the call reached its peer: a PathKind (1 direct ... 5 relayed)
    STATUS_SECURITY = 33,    // the call is up: 1 encrypted end to end, 0 plain (docs/encryption.md)
    STATUS_REGISTERED = 34,  // the rendezvous answered this engine's registration (value 1)
};

constexpr unsigned kFirstEngineStatus = STATUS_BYTES_SENT;
constexpr unsigned kLastEngineStatus = STATUS_ROUND_TRIP;

// Values of an incoming call's decision cell.
enum CallDecision : int {
    DECISION_PENDING = 1,
    DECISION_ACCEPT = 2,
    DECISION_REJECT = 3,
    DECISION_ACCEPT_SILENT = 4,  // accept, but send no audio
};

// Returns the status code's name ("STATUS_CONNECTED"), or nullptr for a code outside 1 to 13.
UTIL_API const char* EngineStatusName(unsigned code);

// The channel from one engine to one window. It also keeps the process-wide copies of the last
// frame sent and the last frame received (1600 signed 16-bit samples each), which the window
// copies out when told that a new one arrived; both are guarded by one lock.
class UTIL_API Statistics {
  public:
    static constexpr std::size_t kFrameBytes = 3200;

    explicit Statistics(HWND window);  // clears both frames
    Statistics(const Statistics& other) = default;
    Statistics& operator=(const Statistics& other) = default;
    virtual ~Statistics();  // clears both frames

    // Posts STATUS_DEBUG_TEXT with a private copy of `text` that lives until the window has
    // handled the message (or the message is dropped) and is then freed. Returns 0.
    unsigned AddDebugMsg(const char* text);

    // Sends `code` and `value` as WM_ENGINE_STATUS through SendNotifyMessage: handled at once
    // when called on the window's own thread, queued otherwise. Returns 1.
    int NotifyStatus(unsigned code, uintptr_t value);

    HWND GetWindow() const { return m_hWnd; }

    // Frame buffers. Store copies a whole frame in; Copy takes a consistent copy out.
    static void StoreLastFromMic(const void* frame);
    static void StoreLastFromNet(const void* frame);
    static void CopyLastFromMic(void* out);
    static void CopyLastFromNet(void* out);
    // The addresses sent as lParam of STATUS_MIC_FRAME and STATUS_NET_FRAME.
    static uintptr_t LastFromMicAddress();
    static uintptr_t LastFromNetAddress();

  private:
    static void ClearFrames();

    HWND m_hWnd;
    static unsigned char m_sLastFromMic[kFrameBytes];
    static unsigned char m_sLastFromNet[kFrameBytes];
};
