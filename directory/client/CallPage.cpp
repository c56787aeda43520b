#include "directory/client/CallPage.h"

#include <arpa/inet.h>

#include <cstdlib>

#include "directory/client/Requests.h"
#include "directory/protocol/Pages.h"

namespace rv = directory::rendezvous;

namespace {

constexpr std::size_t kTokenBytes = 16;

bool StartsWith(const std::string& text, const char* prefix, std::string* rest) {
    const std::string p(prefix);
    if (text.compare(0, p.size(), p) != 0) {
        return false;
    }
    *rest = text.substr(p.size());
    return true;
}

std::optional<stun::Candidate> ParseCandidate(const std::string& text) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos) {
        return std::nullopt;
    }
    const std::string kind = text.substr(0, colon);
    const auto address = stun::ParseEndpoint(text.substr(colon + 1));
    if (!address) {
        return std::nullopt;
    }
    stun::Candidate candidate;
    candidate.address = *address;
    if (kind == rv::kLocalKind) {
        candidate.kind = stun::CandidateKind::kLocal;
    } else if (kind == rv::kMappedKind) {
        candidate.kind = stun::CandidateKind::kMapped;
    } else if (kind == rv::kPublicKind) {
        candidate.kind = stun::CandidateKind::kPublic;
    } else {
        return std::nullopt;
    }
    return candidate;
}

// One word of the call page's reply into *page; false when a known word does not read.
bool ReadCallPageWord(const std::string& word, CallPage* page) {
    std::string value;
    if (StartsWith(word, rv::kTokenWord, &value)) {
        const auto token = stun::FromHex(value);
        page->token = token.value_or("");
        return token && token->size() == kTokenBytes;
    }
    if (StartsWith(word, rv::kProbeKeyWord, &value)) {
        const auto key = stun::FromHex(value);
        page->probeKey = key.value_or("");
        return key && !key->empty();
    }
    if (StartsWith(word, rv::kCandidateWord, &value)) {
        const auto candidate = ParseCandidate(value);
        if (candidate) {
            page->candidates.push_back(*candidate);
        }
        return candidate.has_value();
    }
    if (StartsWith(word, rv::kTurnWord, &value)) {
        page->turnServer = stun::ParseEndpoint(value);
        return page->turnServer.has_value();
    }
    if (StartsWith(word, rv::kTurnUserWord, &page->turnUser) ||
        StartsWith(word, rv::kTurnPasswordWord, &page->turnPassword)) {
        return true;
    }
    return true;  // words of a later version are skipped
}

}  // namespace

std::string CapsKey(bool encryption) {
    std::string keys = std::string("&") + rv::kCapsKey + "=" + UrlEncode(rv::kCapability);
    if (encryption) {
        keys += rv::kCapsSeparator + UrlEncode(directory::encryption::kCapability);
    }
    return keys;
}

std::string CapabilityKeys(const std::string& identityKeyHex) {
    if (identityKeyHex.empty()) {
        return CapsKey(false);
    }
    return CapsKey(true) + "&" + directory::encryption::kIdKeyKey + "=" + UrlEncode(identityKeyHex);
}

std::string HeartbeatExtraKeys(const std::string& localEndpoint, const std::string& mappedEndpoint,
                               const std::string& identityKeyHex) {
    std::string keys = CapabilityKeys(identityKeyHex);
    if (!localEndpoint.empty()) {
        keys += std::string("&") + rv::kLocalKey + "=" + UrlEncode(localEndpoint);
    }
    if (!mappedEndpoint.empty()) {
        keys += std::string("&") + rv::kMappedKey + "=" + UrlEncode(mappedEndpoint);
    }
    return keys;
}

std::string CallBuddyTarget(const ServerInfo& server, const std::string& user,
                            const std::string& password, const std::string& buddy) {
    return server.path + "\\" + directory::pages::kCallBuddy + "?User=" + UrlEncode(user) +
           "&Pass=" + UrlEncode(password) + "&" + rv::kBuddyKey + "=" + UrlEncode(buddy) +
           CapabilityKeys();
}

std::optional<RendezvousReply> ParseRendezvousReply(const std::string& reply) {
    if (reply.empty() || reply[0] != '+') {
        return std::nullopt;
    }
    RendezvousReply out;
    bool haveServer = false;
    for (const std::string& word : SplitWords(reply)) {
        std::string value;
        if (StartsWith(word, rv::kRendezvousWord, &value)) {
            const auto server = stun::ParseEndpoint(value);
            haveServer = server.has_value();
            out.server = server.value_or(sockaddr_in{});
        } else if (StartsWith(word, rv::kKeyWord, &value)) {
            out.key = stun::FromHex(value).value_or("");
        }
    }
    if (!haveServer || out.key.size() != kTokenBytes) {
        return std::nullopt;
    }
    return out;
}

OnlineAddress SplitOnlineAddress(const std::string& word) {
    const std::string suffix(rv::kRegisteredSuffix);
    if (word.size() > suffix.size() &&
        word.compare(word.size() - suffix.size(), suffix.size(), suffix) == 0) {
        return {word.substr(0, word.size() - suffix.size()), true};
    }
    return {word, false};
}

std::optional<CallPage> ParseCallPage(const std::string& reply, std::string* error) {
    if (reply.empty() || reply[0] != '+') {
        *error = reply.empty() ? "no answer from the directory" : reply;
        return std::nullopt;
    }
    CallPage page;
    for (const std::string& word : SplitWords(reply)) {
        if (!ReadCallPageWord(word, &page)) {
            *error = "the directory's call page does not read: " + word;
            return std::nullopt;
        }
    }
    if (page.token.empty() || page.probeKey.empty() || page.candidates.empty()) {
        *error = "the directory's call page gave no way to reach the buddy";
        return std::nullopt;
    }
    return page;
}
