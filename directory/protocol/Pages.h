#pragma once

#include <string_view>

// What the client and the service of the directory agree on: the names of the pages the client
// asks for with HTTP GET, the discovery text, and the forms of the replies, which are judged by
// their first character. Both sides use these constants, so that a page name or a reply form
// cannot drift apart between them.

namespace directory::pages {

inline constexpr const char* kLogin = "logmein.asp";
inline constexpr const char* kLogoff = "logmeoff.asp";
inline constexpr const char* kIamUp = "iamup.asp";
inline constexpr const char* kUserList = "GetUserList.asp";
inline constexpr const char* kCallReport = "iamtalking.asp";
inline constexpr const char* kSyncBuddies = "SyncBList.asp";
// Asked only by clients with the rendezvous extension: a call token, the probe key and the
// callee's candidate addresses (docs/nat-traversal.md).
inline constexpr const char* kCallBuddy = "CallBuddy.asp";
// Browser pages: account creation and account settings.
inline constexpr const char* kRegister = "register.asp";
inline constexpr const char* kMyAccount = "myaccount.asp";

// The discovery text, fetched from the root of the service's web host: an INI text whose
// section names the server to send the pages to and the path they live under.
inline constexpr const char* kDiscovery = "ZorvoServer.txt";
inline constexpr const char* kDiscoverySection = "ZORVO";
inline constexpr const char* kDiscoveryHostKey = "CURRENT IP";
inline constexpr const char* kDiscoveryPathKey = "PATH";

}  // namespace directory::pages

// The rendezvous extension: the keys a client with it adds to its requests, and the words of the
// extended replies (docs/nat-traversal.md). A request without kCapsKey gets the plain reply.
namespace directory::rendezvous {

inline constexpr const char* kCapsKey = "Caps";
inline constexpr const char* kLocalKey = "Local";    // the client's own address:port
inline constexpr const char* kMappedKey = "Mapped";  // its router's mapped address:port
inline constexpr const char* kBuddyKey = "Buddy";    // the callee on the call page
inline constexpr const char* kCapability = "rv1";
// Capability tokens in kCapsKey are separated by this.
inline constexpr char kCapsSeparator = ',';

// "+OK rv=ADDR:PORT rvkey=HEX32" on the heartbeat.
inline constexpr const char* kRendezvousWord = "rv=";
inline constexpr const char* kKeyWord = "rvkey=";
// The address word of a registered buddy in the online list ends with this: "LAN/rv".
inline constexpr const char* kRegisteredSuffix = "/rv";
// The call page: "+OK token=HEX32 key=HEX64 cand=KIND:ADDR:PORT ... [turn=ADDR:PORT tuser=NAME
// tpass=SECRET]", one cand word per candidate in the order to probe them.
inline constexpr const char* kTokenWord = "token=";
inline constexpr const char* kProbeKeyWord = "key=";
inline constexpr const char* kCandidateWord = "cand=";
inline constexpr const char* kTurnWord = "turn=";
inline constexpr const char* kTurnUserWord = "tuser=";
inline constexpr const char* kTurnPasswordWord = "tpass=";
inline constexpr const char* kLocalKind = "local";
inline constexpr const char* kMappedKind = "mapped";
inline constexpr const char* kPublicKind = "public";

}  // namespace directory::rendezvous

// The encryption extension (docs/encryption.md): a client with it lists kCapability in the
// rendezvous extension's "Caps" key (tokens separated by commas) and publishes its long-term
// identity key; its buddies fetch that key from the directory.
namespace directory::encryption {

inline constexpr const char* kCapability = "e2e1";
// On the login and the heartbeat: the client's Ed25519 public key as 64 lowercase hex digits.
inline constexpr const char* kIdKeyKey = "IdKey";
inline constexpr int kIdKeyHexDigits = 64;
// Asked with "User", "Pass", kBuddyKey and "Caps" listing kCapability: "+OK HEX64", the key
// the buddy published last, or a refusal "-ERR " with kNoKeyReason or kNoSuchUserReason.
inline constexpr const char* kBuddyKeyPage = "BuddyKey.asp";
inline constexpr const char* kBuddyKey = "Buddy";
inline constexpr const char* kNoKeyReason = "no key";
inline constexpr const char* kNoSuchUserReason = "no such user";

}  // namespace directory::encryption

namespace directory::replies {

// A reply is judged by its first character.
inline constexpr char kAccepted = '+';
inline constexpr char kRefused = '-';
// "#" asks the client to show the rest of the reply to the user. The heartbeat page is refused
// only in this form; the client takes every other heartbeat reply as accepted.
inline constexpr char kMessage = '#';

// The plain acceptance.
inline constexpr std::string_view kOk = "+OK";
// What follows the first character of a refusal, before its reason: "-ERR reason".
inline constexpr std::string_view kErrorWord = "ERR ";

// An accepted login reply carries the buddy names after this many characters ("+OK "), an
// accepted call report its record number ("+OK 42").
inline constexpr int kLoginBuddyTextOffset = 4;
inline constexpr int kRecordNumberOffset = 4;

enum class Verdict { Accepted, Refused, Message, Other };

// The verdict of a reply's first character; an empty reply, or an error page of the web server,
// is Other.
constexpr Verdict Judge(std::string_view reply) {
    if (reply.empty()) {
        return Verdict::Other;
    }
    switch (reply.front()) {
        case kAccepted:
            return Verdict::Accepted;
        case kRefused:
            return Verdict::Refused;
        case kMessage:
            return Verdict::Message;
        default:
            return Verdict::Other;
    }
}

}  // namespace directory::replies
