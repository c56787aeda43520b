#pragma once

// The client's side of the rendezvous extension (docs/nat-traversal.md): the extra keys it adds
// to its requests, the call page, and the reading of the extended replies.

#include <netinet/in.h>

#include <optional>
#include <string>
#include <vector>

#include "directory/client/WebClient.h"
#include "stun/Endpoint.h"
#include "stun/StunMessage.h"

// The capabilities key alone: "&Caps=rv1", or "&Caps=rv1,e2e1" with the encryption extension.
std::string CapsKey(bool encryption);
// "&Caps=rv1": appended to the login, heartbeat and online-list requests of a client that has
// the extension. A client with an identity key (64 lowercase hex digits, docs/encryption.md)
// passes it to the login's and the heartbeat's: "&Caps=rv1,e2e1&IdKey=HEX".
std::string CapabilityKeys(const std::string& identityKeyHex = {});
// The heartbeat's extra keys: the capabilities (with the identity key, as above), the own
// address and call port ("10.0.1.2:1720"), and the router's mapped address and port when there
// is a mapping.
std::string HeartbeatExtraKeys(const std::string& localEndpoint, const std::string& mappedEndpoint,
                               const std::string& identityKeyHex = {});
// "CallBuddy.asp?User=...&Pass=...&Buddy=...&Caps=rv1".
std::string CallBuddyTarget(const ServerInfo& server, const std::string& user,
                            const std::string& password, const std::string& buddy);

// The rendezvous an extended heartbeat reply names, and this user's key there (raw bytes).
struct RendezvousReply {
    sockaddr_in server{};
    std::string key;
};
// Empty for a plain reply, or one whose rendezvous words do not read.
std::optional<RendezvousReply> ParseRendezvousReply(const std::string& reply);

// A word of the online list: the address ("LAN" or dotted) and whether that buddy's client is
// registered with the rendezvous ("LAN/rv").
struct OnlineAddress {
    std::string address;
    bool rendezvous = false;
};
OnlineAddress SplitOnlineAddress(const std::string& word);

// What the call page gave: the token, the probe key (both raw), the callee's candidates and,
// when the service has a relay, its address and credentials.
struct CallPage {
    std::string token;
    std::string probeKey;
    std::vector<stun::Candidate> candidates;
    std::optional<sockaddr_in> turnServer;
    std::string turnUser;
    std::string turnPassword;
};
// Reads a call page reply; empty with *error set ("not online", the service's own text, ...) when
// it is a refusal or does not read.
std::optional<CallPage> ParseCallPage(const std::string& reply, std::string* error);
