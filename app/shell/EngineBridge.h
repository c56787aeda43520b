#pragma once

namespace bridge {

// Connects the GUI thread's message queue to Qt's event loop: every message posted to a window of
// the GUI thread is dispatched from the Qt event loop soon after. Also routes the engine's message
// boxes and beeps to the GUI thread, without making the engine thread wait. Call once, on the GUI
// thread, after the QApplication exists.
void Install();

}  // namespace bridge
