#pragma once

#include <QString>

#include <optional>

// How the client judges the identity key a buddy proved on an encrypted call (docs/encryption.md):
// against the key it pinned for that buddy's name on an earlier call, and on the first call
// against the key the buddy published in the directory. Pure: the caller fetches and keeps.
namespace keypin {

enum class KeyCheck {
    kPending,     // nothing pinned: the directory's key is still to come
    kVerified,    // the pinned key, or (first call) the directory's
    kFirstUse,    // nothing to compare with: pinned on trust
    kChanged,     // another key than the pinned one or the directory's: someone may listen in
    kDowngraded,  // a plain call with a buddy whose calls were encrypted before
    kUnknown      // no name to judge by, or the directory could not say
};

// What the directory said about the buddy's key.
struct DirectoryKey {
    enum class Kind { kKey, kNoKey, kUnavailable };
    Kind kind = Kind::kUnavailable;
    QString keyHex;
};

struct Decision {
    KeyCheck check = KeyCheck::kUnknown;
    // The key to pin for the name now (the first call's), if any.
    std::optional<QString> pin;
};

// The decision for a call whose peer, named `name` (empty for a call by address or a caller
// without a name), proved `peerKeyHex`. `pinned`: the key pinned for the name; `directory`: the
// directory's answer, when it was asked (only needed while nothing is pinned).
Decision Decide(const QString& name, const QString& peerKeyHex,
                const std::optional<QString>& pinned, const std::optional<DirectoryKey>& directory);

// The name the peer goes by for pinning: lowercased (the directory's names are), empty for a
// caller that gave none ("" or "UNKNOWN", what a client that is not logged in sends).
QString PeerName(const QString& claimed);

// Where the key pinned for `name` is kept in the settings file: "BuddyKeys/<name>", the name
// percent-encoded.
QString SettingsKey(const QString& name);
std::optional<QString> Pinned(const QString& name);
void Pin(const QString& name, const QString& keyHex);

}  // namespace keypin
