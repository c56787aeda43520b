#pragma once

#include "util/Messages.h"

// The message loop of an engine thread. While `waiting()` holds it waits for each message; once
// it no longer does, it takes only what is already queued and returns when the queue is empty, so
// that nothing posted before the end is left unfreed. `handle` sees every message before it is
// disposed of.
template <typename Waiting, typename Handle>
void RunMessageLoop(Waiting waiting, Handle handle) {
    ThreadMsg msg;
    for (;;) {
        if (waiting()) {
            GetMessage(msg);
        } else if (!PeekMessage(msg, true)) {
            return;
        }
        handle(msg);
        DisposeMessage(msg);
    }
}
