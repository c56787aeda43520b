#pragma once

#include <atomic>
#include <cstdint>

#include "engine/UdpLink.h"
#include "util/Statistics.h"

// What an engine tells the outside: debug texts and status codes through its Statistics, and
// message boxes through the program's hook. Receive errors are judged here: anyone on the network
// can cause them, so before a call is up they go to the debug text only, and during a call at
// most one of them becomes a box.
class EngineReport {
  public:
    explicit EngineReport(Statistics* stats) : m_pStats(stats) {}

    void Debug(const char* format, ...) __attribute__((format(printf, 2, 3)));
    void Status(unsigned code, uintptr_t value);
    // A box about the engine's own failure (bind, send): always shown.
    void Box(const char* text, const char* caption);
    // A failed receive: debug text always; a box only while `callUp` and only the first time in
    // the call.
    void ReceiveFailure(const char* text, const char* caption, bool callUp);
    // Reports a datagram that did not fit the receive buffer ("MSGSIZE ERROR"), if `fault` holds
    // one; `socket` is the receiving socket's number.
    void Oversized(const UdpLink::Fault& fault, int socket, bool callUp);

  private:
    Statistics* m_pStats;
    std::atomic<int> m_receiveBoxShown{0};
};
