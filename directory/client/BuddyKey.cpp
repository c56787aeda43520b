#include "directory/client/BuddyKey.h"

#include <algorithm>

#include "directory/client/CallPage.h"
#include "directory/client/Requests.h"
#include "directory/protocol/Pages.h"
#include "util/AsciiText.h"

namespace enc = directory::encryption;
namespace replies = directory::replies;

namespace {

// A reason is logged: a service's long error page is cut.
constexpr std::size_t kMaxReasonBytes = 200;

BuddyKeyReply Refused(std::string reason) {
    BuddyKeyReply out;
    out.reason = reason.substr(0, kMaxReasonBytes);
    return out;
}

// The words of `text` after its first character, without the blanks around them.
std::string Rest(const std::string& text) {
    const std::size_t begin = text.find_first_not_of(" \t\r\n", 1);
    if (begin == std::string::npos) {
        return {};
    }
    const std::size_t end = text.find_last_not_of(" \t\r\n");
    return text.substr(begin, end - begin + 1);
}

// The key of an accepted reply, lowercased; empty unless it is exactly 64 hex digits.
std::string KeyOf(const std::string& accepted) {
    std::string key = Rest(accepted);
    const std::string ok(replies::kOk.substr(1));
    if (key.compare(0, ok.size(), ok) == 0) {
        key = Rest(" " + key.substr(ok.size()));
    }
    if (key.size() != static_cast<std::size_t>(enc::kIdKeyHexDigits)) {
        return {};
    }
    if (!std::ranges::all_of(key, [](char c) { return AsciiHexValue(c) >= 0; })) {
        return {};
    }
    return ToAsciiLower(key);
}

}  // namespace

std::string BuddyKeyTarget(const ServerInfo& server, const std::string& user,
                           const std::string& password, const std::string& buddy) {
    return server.path + "\\" + enc::kBuddyKeyPage + "?User=" + UrlEncode(user) +
           "&Pass=" + UrlEncode(password) + "&" + enc::kBuddyKey + "=" + UrlEncode(buddy) +
           CapsKey(true);
}

BuddyKeyReply ParseBuddyKeyReply(bool answered, const std::string& reply) {
    if (!answered || reply.empty()) {
        return Refused("no answer from the directory");
    }
    const replies::Verdict verdict = replies::Judge(reply);
    if (verdict == replies::Verdict::Accepted) {
        BuddyKeyReply out;
        out.keyHex = KeyOf(reply);
        if (out.keyHex.empty()) {
            return Refused("the directory's key does not read");
        }
        out.kind = BuddyKeyReply::Kind::kKey;
        return out;
    }
    if (verdict != replies::Verdict::Refused) {
        // A service without the extension answers with its page-not-found text.
        return Refused("the directory does not keep identity keys");
    }
    std::string reason = Rest(reply);
    const std::string error(replies::kErrorWord);
    if (reason.compare(0, error.size(), error) == 0) {
        reason = Rest(" " + reason.substr(error.size()));
    }
    if (reason == enc::kNoKeyReason) {
        BuddyKeyReply out;
        out.kind = BuddyKeyReply::Kind::kNoKey;
        return out;
    }
    return Refused(reason.empty() ? std::string("the directory refused") : reason);
}
