#pragma once

#include <QString>

#include <string>

// The words of status pane 1 about the directory service and how this computer can be called,
// apart from any window.
namespace presence {

// What pane 1 is made from.
struct Reachability {
    // The last check of the own address: "" (the service cannot be reached), "LAN" or the own
    // dotted address.
    std::string address;
    // The listening engine is registered with the directory's rendezvous: callers reach this
    // computer through the directory even behind a router.
    bool registered = false;
    // The router's external address while it forwards the call port on the same port number;
    // "" otherwise.
    std::string mapped;
};

// "The server cannot be reached"; "Your IP:" and the address; "Behind firewall". While the
// router forwards the call port: "Your IP:" and the router's address, then " (mapped)". Behind
// a router and registered with the rendezvous: "Behind firewall, via directory".
QString ServerStatusText(const Reachability& facts);

}  // namespace presence
