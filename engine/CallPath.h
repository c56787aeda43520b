#pragma once

// What an engine needs to find a path to a peer behind a home router (docs/nat-traversal.md):
// the rendezvous it is registered with, and for a call by name the plan the directory's call
// page gave.

#include <netinet/in.h>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "engine/Export.h"
#include "stun/StunMessage.h"

// How a call reached its peer; STATUS_PATH carries it.
enum class PathKind : uint8_t {
    kDirect = 1,  // the peer's listed address answered (no router in the way, or an old peer)
    kLocal,       // both behind one router: the peer's own address
    kMapped,      // the peer's router forwards the call port (port mapping)
    kPunched,     // both routers let the probes through
    kRelayed,     // through a TURN relay
};

// "direct", "local", "mapped", "punched", "relayed"; nullptr for any other value.
VOXLANE_API const char* PathKindName(int kind);

// The rendezvous this program is registered with, from the directory's heartbeat reply.
struct RendezvousConfig {
    sockaddr_in server{};
    std::string user;
    std::string key;        // the raw key bytes
    unsigned callPort = 0;  // the port registered (the listening port); a caller binds to it
};

// A relay on a TURN server, with the short-lived credentials the directory handed out.
struct RelayServer {
    sockaddr_in server{};
    std::string user;
    std::string password;
};

// What the directory's call page gave a caller for one call by name.
struct CallPlan {
    std::string token;                        // the raw call token
    std::string probeKey;                     // the raw probe key
    std::vector<stun::Candidate> candidates;  // the callee's, in the order to probe them
    std::optional<RelayServer> relay;
};
