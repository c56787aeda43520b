#pragma once

#include <QString>

#include "app/settings/Keyring.h"

// Where automatic login keeps the password: the desktop's keyring (the Secret Service, through
// QtKeychain) when one answers; otherwise the owner-only settings file ("Software/Mervane/Pass").
// A password kept in the keyring is never also written to the file. The calls wait for the keyring
// for a bounded time (a few seconds at most) while running a local event loop.
namespace password_store {

// Keeps `password`; returns true when it went to the keyring, false when to the file.
bool Save(const QString& password);

// The kept password: the keyring's when it holds one, else the file's; empty when none is kept.
QString Read();

// Forgets the password in both places.
void Erase();

// The keyring entry's service and key names.
inline constexpr const char* kService = keyring::kService;
inline constexpr const char* kKey = "Software/Mervane/Pass";

}  // namespace password_store
