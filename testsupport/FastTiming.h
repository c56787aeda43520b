#pragma once

#include "engine/EngineTiming.h"

namespace testsupport {

// Protocol timings shortened about twentyfold, so that handshake tests take fractions of a second.
inline EngineTiming FastTiming() {
    EngineTiming t;
    t.callerReceiveWaitMs = 250;
    t.calleeReceiveWaitMs = 100;
    t.listenErrorPauseMs = 50;
    t.nonConnectPauseMs = 100;
    t.decisionPollMs = 20;
    t.answerPauseMs = 5;
    t.callReceiveWaitMs = 100;
    t.lostPauseMs = 5;
    t.sendFailurePauseMs = 50;
    return t;
}

}  // namespace testsupport
