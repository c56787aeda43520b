#pragma once

// The client's side of the encryption extension's directory page (docs/encryption.md): asking
// for the identity key a buddy published, and reading the answer.

#include <string>

#include "directory/client/WebClient.h"

// "BuddyKey.asp?User=...&Pass=...&Buddy=...&Caps=rv1,e2e1".
std::string BuddyKeyTarget(const ServerInfo& server, const std::string& user,
                           const std::string& password, const std::string& buddy);

// What the directory said about a buddy's identity key.
struct BuddyKeyReply {
    enum class Kind {
        kKey,     // the buddy published a key: keyHex
        kNoKey,   // the buddy has published none (a client without the extension)
        kRefused  // no answer, a refusal or a reply that does not read: reason says which
    };
    Kind kind = Kind::kRefused;
    std::string keyHex;  // 64 lowercase hex digits
    std::string reason;
};

// Reads the page's reply: "+OK HEX64" is a key, a refusal whose reason is "no key" ("-ERR no key"
// or "-no key") says there is none; everything else, or `answered` false, is refused.
BuddyKeyReply ParseBuddyKeyReply(bool answered, const std::string& reply);
