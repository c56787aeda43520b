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
