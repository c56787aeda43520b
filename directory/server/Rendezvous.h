#pragma once

#include <atomic>
#include <memory>
#include <string>
#include <thread>

#include "directory/server/RendezvousHandler.h"
#include "directory/server/RendezvousRegistry.h"

// The rendezvous's UDP socket and the one thread that serves it, apart from the HTTP threads:
// it reads datagrams in batches into the handler and sends what the handler gives, and wakes for
// the notices that the call page orders and for their retransmissions. The socket's receive
// queue is the only queue: under a flood the kernel drops what the thread does not get to.
class Rendezvous {
  public:
    // Binds the socket to host:port (port 0 lets the system pick one) and takes the registry's
    // notices for this process. Null with *error set when the socket cannot be set up.
    static std::unique_ptr<Rendezvous> Open(const std::string& host, int port,
                                            RendezvousRegistry& registry,
                                            RendezvousSettings settings, std::string* error);
    ~Rendezvous();
    Rendezvous(const Rendezvous&) = delete;
    Rendezvous& operator=(const Rendezvous&) = delete;

    int Port() const { return m_port; }
    void Start();
    // Ends the thread; the registry's notices for this process go nowhere from then on.
    void Stop();

  private:
    // Writes the share of relayed calls since the last report to stderr.
    void Report();
    Rendezvous(RendezvousRegistry& registry, RendezvousSettings settings);
    void Loop();
    // Reads what waits on the socket, a bounded number of datagrams, into the handler.
    void Drain();
    void Send(const std::vector<OutDatagram>& datagrams);

    RendezvousRegistry& m_registry;
    RendezvousHandler m_handler;
    int m_fd = -1;
    int m_wake = -1;  // an eventfd: a new order, or the stop
    int m_port = 0;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};
