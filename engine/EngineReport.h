#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <string>

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
    // A send on `socket` failed with `error`: shows the text of SocketFailure("Send", ...) in a
    // box captioned "Send Failed" and returns the text.
    std::string SendFailure(int socket, int error);
    // True when a datagram from `from` counts as the link's peer's; otherwise the debug text
    // "<action> message from <sender> Expected only from <peer>" says what became of it.
    bool SenderIsPeer(const UdpLink& link, const sockaddr_in& from, const char* action);
    // Reports a datagram that did not fit the receive buffer ("MSGSIZE ERROR"), if `fault` holds
    // one; `socket` is the receiving socket's number.
    void Oversized(const UdpLink::Fault& fault, int socket, bool callUp);

    // "<call> Failed on socket <socket in hex> , Error = <error>", the text of a failed socket
    // call.
    static std::string SocketFailure(const char* call, int socket, int error);

  private:
    Statistics* m_pStats;
    std::atomic<int> m_receiveBoxShown{0};
};
