#pragma once

#include <string>

// The home router's forwarding of the call port (UPnP IGD or NAT-PMP), as the session drives it:
// asked for on the login worker once logged in, renewed from the heartbeat worker when due,
// removed on the logoff worker and when the program closes. Every call may block for a bounded
// time and comes from a worker thread; External() may be read from any thread.
//
// A session without one (SessionState::SetPortMapping never called) reports no mapping: the
// heartbeat sends no "Mapped" key and IPAddr keeps the own address class.
class CallPortMapping {
  public:
    virtual ~CallPortMapping() = default;

    // Asks the router at `localAddress` (the own dotted address) to forward UDP `callPort`.
    virtual void Map(const std::string& localAddress, unsigned callPort) = 0;
    // Renews the mapping when its lease is about to run out; nothing otherwise.
    virtual void RenewIfDue() = 0;
    // Removes the mapping, when there is one.
    virtual void Remove() = 0;
    // The router's external address and port forwarded to the call port ("198.51.100.7:1720"),
    // or "" while there is no mapping.
    virtual std::string External() const = 0;
};
