#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>

// The engine's one UDP socket and the peer it talks to, with the stop signal that cuts every wait
// short. The handshake and both call threads send and receive through it. The socket number is
// taken and marked gone in one step, so the socket is closed exactly once whoever closes it.
class UdpLink {
  public:
    UdpLink();
    ~UdpLink();
    UdpLink(const UdpLink&) = delete;
    UdpLink& operator=(const UdpLink&) = delete;

    // What a receive saw besides a datagram.
    struct Fault {
        int error = 0;           // errno of a failed read (0 when the read itself did not fail)
        uint32_t offered = 0;    // a datagram larger than the buffer: the buffer's size ...
        uint32_t truncated = 0;  // ... and the datagram's (0 when there was none)
    };

    // Makes a fresh socket (closing none); false when the system refuses one.
    bool Open();
    // Binds the open socket to `port` on every local IPv4 address; false (errno set) on failure.
    bool Bind(unsigned port);
    // Closes the socket if there is one; safe from any thread, closes exactly once.
    void Close();
    bool IsOpen() const { return m_socket.load() != -1; }
    int Handle() const { return m_socket.load(); }

    // The peer every send goes to; while listening, each receive replaces it by the sender.
    void SetPeer(const sockaddr_in& peer) { m_peer = peer; }
    const sockaddr_in& Peer() const { return m_peer; }
    sockaddr_in* PeerRecord() { return &m_peer; }

    // Sends `size` bytes to the peer; 1 when the system took them, 0 on an error (errno set).
    int Send(const uint8_t* bytes, std::size_t size);

    // Waits up to `timeoutMs` (0: without limit) for one datagram. Returns its byte count (stored
    // in `*size`, the sender in `*from` when given), 0 on a time-out, an empty datagram or a stop,
    // and -1 on an error or a datagram larger than `*size` (both described in `*fault`).
    int Receive(uint8_t* buffer, uint32_t* size, uint32_t timeoutMs, sockaddr_in* from,
                Fault* fault);

    // Waits `milliseconds`; false when the stop signal cut the wait short.
    bool Pause(uint32_t milliseconds);
    // Raises the stop signal: every present and later wait ends at once.
    void SignalStop();

  private:
    std::atomic<int> m_socket{-1};
    int m_stopEvent = -1;
    sockaddr_in m_peer{};
};
