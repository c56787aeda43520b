#pragma once

#include <cstdint>

// The waits, pauses and counts of the call protocol. The program always uses these values; tests
// may run an engine with shorter ones.
struct EngineTiming {
    uint32_t callerReceiveWaitMs = 5000;  // caller's wait for the callee's answer, per receive
    uint32_t callerWaitLimit = 5;         // wait counter at which a connect attempt ends
    uint32_t connectAttempts = 10;        // connect requests before the caller gives up
    uint32_t calleeReceiveWaitMs = 2000;  // listening callee's wait per receive
    uint32_t calleeWaitsPerSocket = 10;   // receive waits before the listening socket is renewed
    uint32_t listenErrorPauseMs = 1000;   // after a receive error while listening
    uint32_t nonConnectPauseMs = 2000;    // after a well-formed record that is not a request
    uint32_t ringPauseMs = 10;            // between telling the window and sending MSG_RINGING
    uint32_t decisionPollMs = 1000;       // how often the user's decision is looked at
    uint32_t answerPauseMs = 100;         // after each of the two copies of the answer
    uint32_t keyWaitMs = 3000;            // an accepting callee's wait for the caller's key half
    uint32_t callReceiveWaitMs = 3000;    // receive wait during a call
    uint32_t idleWaitLimit = 25;          // silent receive waits that end a call (75 s)
    uint32_t lostPauseMs = 100;           // after raising STATUS_CONNECTION_LOST
    uint32_t sendFailurePauseMs = 1000;   // after a failed voice send

    // Finding a path across routers (docs/nat-traversal.md).
    uint32_t rendezvousKeepAliveMs = 15000;  // registration; routers forget idle mappings in ~30 s
    uint32_t probeIntervalMs = 100;          // probes to every candidate of the other side
    uint32_t directPhaseMs = 1000;           // probing alone before the caller tries the relay
    uint32_t probeTotalMs = 8000;            // probing in all
    uint32_t pathKeepAliveMs = 10000;        // a keep-alive on the path after this much silence
    uint32_t relayRefreshMs = 240000;        // the relay's allocation and permission
};
