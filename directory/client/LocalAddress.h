#pragma once

#include <atomic>
#include <string>

// Connects to the service web host (TCP, its port or 80) and classifies the local address the
// system used: "" when the host cannot be resolved or reached within timeoutMs, or when cancel
// is set meanwhile (checked every tenth of a second while connecting), "LAN" for a private,
// link-local or the 127.0.0.1 address, otherwise the dotted address itself.
std::string ClassifyLocalAddress(const std::string& serviceHost, int timeoutMs = 10000,
                                 const std::atomic<bool>* cancel = nullptr);
std::string ClassifyLocalAddress();  // against ServiceHost()
// The dotted local address the system uses toward the service web host, unclassified; "" as
// above.
std::string LocalAddressToward(const std::string& serviceHost, int timeoutMs = 10000,
                               const std::atomic<bool>* cancel = nullptr);

// The classification of a dotted address text alone (plain prefix comparisons).
std::string ClassifyAddressText(const std::string& dotted);
