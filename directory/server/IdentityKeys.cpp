// The encryption extension: the identity keys that clients with it publish at login and with
// each heartbeat, and the page on which their buddies fetch them. A request that does not list
// the extension never reaches anything here that changes its reply.

#include <sodium.h>

#include "directory/protocol/Pages.h"
#include "directory/server/Directory.h"

namespace enc = directory::encryption;

namespace {

// An Ed25519 public key as 64 lowercase hex digits, a point on the curve in its canonical form.
bool IsIdentityKey(const std::string& text) {
    if (text.size() != static_cast<size_t>(enc::kIdKeyHexDigits)) {
        return false;
    }
    for (char c : text) {
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) {
            return false;
        }
    }
    unsigned char key[crypto_sign_PUBLICKEYBYTES];
    size_t length = 0;
    return sodium_hex2bin(key, sizeof key, text.data(), text.size(), nullptr, &length, nullptr) ==
               0 &&
           length == sizeof key && crypto_core_ed25519_is_valid_point(key) == 1;
}

}  // namespace

void Directory::PublishIdentityKey(const Params& p, const std::string& name, bool always) {
    const std::string* key = p.One(enc::kIdKeyKey);
    if (key == nullptr || !ListsCapability(p, enc::kCapability)) {
        return;
    }
    const int64_t now = Now();
    if (!always && !m_keyWrites.Due(name, *key, now)) {
        return;
    }
    // The reply is the same whether the key was stored or not: a heartbeat is never refused for
    // what only the extension reads.
    if (IsIdentityKey(*key) && m_storage.SetIdentityKey(name, *key) == StoreResult::Ok) {
        m_keyWrites.Mark(name, *key, now);
    }
}

HttpReply Directory::BuddyKey(const Params& p, const std::string& client) {
    std::string buddy;
    Admission how{Page::BuddyKey};
    how.check = [&] { return NormalizeName(*p.One(enc::kBuddyKey), &buddy) ? "" : "bad Buddy"; };
    std::string name;
    if (auto refusal = Admit(p, client, {"User", "Pass", enc::kBuddyKey}, how, &name)) {
        return *refusal;
    }
    std::string key;
    StoreResult r = m_storage.GetIdentityKey(buddy, &key);
    if (r == StoreResult::NotFound) {
        return Refuse(Page::BuddyKey, 404, enc::kNoSuchUserReason);
    }
    if (r != StoreResult::Ok) {
        return StorageTrouble(Page::BuddyKey, r, "the directory cannot be read");
    }
    if (key.empty()) {
        return Refuse(Page::BuddyKey, 404, enc::kNoKeyReason);
    }
    return Accept(key);
}
