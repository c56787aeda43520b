#pragma once

#include <QEvent>
#include <QObject>

#include <cstdint>

#include "engine/Voxlane.h"
#include "util/Messages.h"

// WM_ENGINE_STATUS as a Qt event: the status code and its value.
class EngineStatusEvent : public QEvent {
  public:
    static QEvent::Type Kind();
    EngineStatusEvent(unsigned code, uintptr_t value) : QEvent(Kind()), code(code), value(value) {}
    const unsigned code;
    const uintptr_t value;
};

namespace bridge {

// Connects the GUI thread's message queue to Qt's event loop: every message posted to a window of
// the GUI thread is dispatched from the Qt event loop soon after. Also routes the engine's message
// boxes and beeps to the GUI thread, without making the engine thread wait. Call once, on the GUI
// thread, after the QApplication exists.
void Install();

// A window handle whose WM_ENGINE_STATUS messages arrive at `target` as EngineStatusEvent, sent
// synchronously while the message is dispatched (so a debug text is still valid).
HWND RegisterEngineWindow(QObject* target);

// The engine's audio and port as the environment chooses them: ZORVO_MIC, ZORVO_SPEAKER (a WAV
// path or "none"; default the sound card) and ZORVO_CALL_PORT (default 1720).
EngineOptions EngineOptionsFromEnvironment();
unsigned CallPort();
// The port called on the peer: ZORVO_PEER_PORT, or the call port (two clients on one machine
// listen on different ports and call each other's).
unsigned PeerPort();

}  // namespace bridge
