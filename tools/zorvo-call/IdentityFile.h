#pragma once

#include <optional>
#include <string>

#include "engine/CallCrypto.h"

// The headless tool's long-term identity, kept as 64 hexadecimal digits in an owner-only file.
namespace identity_file {

// The default file: identity.key in $XDG_DATA_HOME/zorvo or ~/.local/share/zorvo.
std::string DefaultPath();

// The identity kept in `path`; a missing file is created with a new identity (mode 0600). Empty
// with *error set when the file cannot be read or made, or does not hold an identity.
std::optional<IdentityKey> LoadOrCreate(const std::string& path, std::string* error);

}  // namespace identity_file
