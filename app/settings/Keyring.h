#pragma once

#include <QString>

#include <optional>

// The desktop's keyring (the Secret Service, through QtKeychain) under the service "Zorvo", for
// what the program keeps like a password. Each call waits for the keyring for a bounded time (a
// few seconds at most) while running a local event loop, and counts a keyring that does not
// answer in time as absent.
namespace keyring {

inline constexpr const char* kService = "Zorvo";

// The text kept under `key`; empty when the keyring does not answer or holds none.
std::optional<QString> Read(const QString& key);
// Keeps `text` under `key`; false when no keyring took it.
bool Write(const QString& key, const QString& text);
void Erase(const QString& key);

}  // namespace keyring
