#pragma once

#include "app/settings/Keyring.h"
#include "engine/CallCrypto.h"

// Where the user's identity key for encrypted calls (docs/encryption.md) is kept, like the
// password: the desktop's keyring (the Secret Service, through QtKeychain) when one answers;
// otherwise the owner-only settings file ("Software/Mervane/IdentityKey"), as the hex of the
// key's 32-byte seed. A key kept in the keyring is never also written to the file. The calls wait
// for the keyring for a bounded time (a few seconds at most) while running a local event loop.
namespace identity_store {

// The user's identity: the kept one, or a new one made and kept now when none is kept (or the
// kept one does not read). A key found in the file moves to the keyring once one answers.
IdentityKey Identity();

// The keyring entry's service and key names (the file uses the same key).
inline constexpr const char* kService = keyring::kService;
inline constexpr const char* kKey = "Software/Mervane/IdentityKey";

}  // namespace identity_store
