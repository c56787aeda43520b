#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <vector>

class UdpLink;

// Something that shares the engine's socket with the call protocol: it sees every datagram before
// the reader does, may keep it for itself, and wants to send now and then (keep-alives, probes).
// Its datagram and timer calls run on the thread that is reading the link at the time (one at a
// time); Wrap runs on a sending thread and must touch only what does not change during a call.
class DatagramFilter {
  public:
    enum class Verdict { kPass, kConsumed };
    virtual ~DatagramFilter() = default;
    // A datagram from `*from` in `buffer` (`*size` bytes of `capacity`). kConsumed: the filter
    // kept it. kPass: the reader gets it, possibly rewritten in place (a datagram that came
    // through a relay is unwrapped: `*size` and `*from` then describe the inner one).
    virtual Verdict OnDatagram(UdpLink& link, uint8_t* buffer, uint32_t* size, uint32_t capacity,
                               sockaddr_in* from) = 0;
    // Milliseconds from `nowMs` until OnTimer wants to run.
    virtual uint32_t MsUntilDue(const UdpLink& link, uint64_t nowMs) = 0;
    virtual void OnTimer(UdpLink& link, uint64_t nowMs) = 0;
    // A datagram for the peer is about to go out: false sends it as it is; true sends `*out` to
    // `*to` instead (through a relay).
    virtual bool Wrap(const uint8_t* bytes, std::size_t size, const sockaddr_in& peer,
                      std::vector<uint8_t>* out, sockaddr_in* to) const = 0;
    // The peer of the call was just taken from a connect request: a nonzero path kind when the
    // filter found that path itself (the link then accepts only that address and port).
    virtual int OnPeerChosen(UdpLink& link, const sockaddr_in& peer) = 0;
};

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
    // Sends to any address, as it is (the filter's own datagrams).
    int SendTo(const sockaddr_in& to, const uint8_t* bytes, std::size_t size);
    // Steady-clock milliseconds of the last send to the peer (0: none yet).
    uint64_t LastSendMs() const { return m_lastSendMs.load(); }
    static uint64_t NowMs();

    // The filter that shares the socket; set before any thread uses the link, never changed while
    // one does. Without one the link behaves exactly as a plain socket.
    void SetFilter(DatagramFilter* filter) { m_filter = filter; }
    DatagramFilter* Filter() const { return m_filter; }
    // Accept datagrams only from the peer's address and port (a path found by probing), not just
    // from its address.
    void SetStrictPeer(bool strict) { m_strictPeer.store(strict); }
    // A datagram from `from` counts as the peer's.
    bool FromPeer(const sockaddr_in& from) const;
    // Lets the filter judge the peer just taken from a connect request; the path kind it found,
    // or 0.
    int ChoosePeer() { return m_filter ? m_filter->OnPeerChosen(*this, m_peer) : 0; }

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
    // One wait and one read, without the filter; -2 when the stop signal ended the wait.
    int _ReceiveOnce(uint8_t* buffer, uint32_t* size, uint32_t timeoutMs, sockaddr_in* from,
                     Fault* fault);
    int _ReceiveFiltered(uint8_t* buffer, uint32_t* size, uint32_t timeoutMs, sockaddr_in* from,
                         Fault* fault);

    std::atomic<int> m_socket{-1};
    int m_stopEvent = -1;
    sockaddr_in m_peer{};
    DatagramFilter* m_filter = nullptr;
    std::atomic<bool> m_strictPeer{false};
    std::atomic<uint64_t> m_lastSendMs{0};
};
