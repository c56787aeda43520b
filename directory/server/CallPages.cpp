// The call page, and what the heartbeat, the login and logoff and the online list add for
// clients with the rendezvous extension. A request without "Caps" never reaches anything here
// that changes its reply.

#include <arpa/inet.h>

#include "directory/protocol/Pages.h"
#include "directory/server/Directory.h"

namespace rv = directory::rendezvous;

namespace {

// An address key given once as "a.b.c.d:port"; anything else counts as not given, so that a
// heartbeat is never refused for what only the extension reads.
std::optional<sockaddr_in> AddressKey(const Params& p, const char* key) {
    const std::string* value = p.One(key);
    sockaddr_in a{};
    if (value == nullptr || !ParseEndpoint(*value, &a)) {
        return std::nullopt;
    }
    return a;
}

// A dotted IPv4 address other than 0.0.0.0, else empty (clients read only that form).
std::string DottedAddress(const std::string& text) {
    in_addr a{};
    if (text.size() > 15 || inet_pton(AF_INET, text.c_str(), &a) != 1 ||
        a.s_addr == htonl(INADDR_ANY)) {
        return "";
    }
    return text;
}

// A user's candidates in the order to probe them: its own address, its router's port mapping,
// the address its keep-alives come from.
std::vector<stun::Candidate> CandidatesOf(const RendezvousPeer& peer) {
    std::vector<stun::Candidate> out;
    if (peer.local) {
        out.push_back({stun::CandidateKind::kLocal, *peer.local});
    }
    if (peer.mapped) {
        out.push_back({stun::CandidateKind::kMapped, *peer.mapped});
    }
    if (peer.source) {
        out.push_back({stun::CandidateKind::kPublic, *peer.source});
    }
    return out;
}

const char* KindWord(stun::CandidateKind kind) {
    switch (kind) {
        case stun::CandidateKind::kLocal:
            return rv::kLocalKind;
        case stun::CandidateKind::kMapped:
            return rv::kMappedKind;
        default:
            return rv::kPublicKind;
    }
}

}  // namespace

bool Directory::WantsRendezvous(const Params& p) const {
    return m_options.rendezvous != nullptr && ListsCapability(p, rv::kCapability);
}

std::string Directory::RendezvousAddress(const HttpRequest& request) const {
    if (!m_options.rendezvousAdvertise.empty()) {
        return m_options.rendezvousAdvertise;
    }
    // Bound to every address: the one the client reached this service on is the one it can
    // reach the rendezvous on too.
    std::string host = DottedAddress(request.local);
    if (host.empty()) {
        host = DottedAddress(request.host.substr(0, request.host.find(':')));
    }
    return host.empty() ? "" : host + ":" + std::to_string(m_options.rendezvousPort);
}

std::string Directory::RendezvousWords(const HttpRequest& request, const Params& p,
                                       const std::string& name) {
    if (!WantsRendezvous(p)) {
        return "";
    }
    const std::string address = RendezvousAddress(request);
    if (address.empty()) {
        return "";
    }
    Announcement a;
    a.caps = rv::kCapability;
    a.local = AddressKey(p, rv::kLocalKey);
    a.mapped = AddressKey(p, rv::kMappedKey);
    std::string key;
    const int64_t now = Now();
    if (m_options.rendezvous->Announce(name, a, now, now - m_options.onlineSeconds, &key) !=
        StoreResult::Ok) {
        return "";  // the heartbeat itself went through: the client goes on without a rendezvous
    }
    return std::string(rv::kRendezvousWord) + address + " " + rv::kKeyWord + stun::ToHex(key);
}

std::vector<bool> Directory::RegisteredMarks(const Params& p,
                                             const std::vector<std::string>& names) {
    std::vector<bool> marks;
    if (WantsRendezvous(p) && m_options.rendezvous->Registered(names, Now() - kRegistrationSeconds,
                                                               &marks) != StoreResult::Ok) {
        marks.clear();
    }
    return marks;
}

void Directory::ForgetRendezvous(const std::string& name) {
    if (m_options.rendezvous != nullptr) {
        m_options.rendezvous->Forget(name);
    }
}

std::string Directory::CallWords(const std::string& name, const std::string& token,
                                 const RendezvousPeer& callee, int64_t now) const {
    std::string words = std::string(rv::kTokenWord) + stun::ToHex(token) + " " + rv::kProbeKeyWord +
                        stun::ToHex(stun::HmacSha256(callee.key, token));
    for (const stun::Candidate& c : CandidatesOf(callee)) {
        words += std::string(" ") + rv::kCandidateWord + KindWord(c.kind) + ":" +
                 EndpointText(c.address);
    }
    if (!m_options.turnServer.empty()) {
        const std::string user = std::to_string(now + m_options.turnSeconds) + ":" + name;
        words += std::string(" ") + rv::kTurnWord + m_options.turnServer + " " + rv::kTurnUserWord +
                 user + " " + rv::kTurnPasswordWord +
                 stun::SharedSecretPassword(m_options.turnSecret, user);
    }
    return words;
}

HttpReply Directory::CallBuddy(const Params& p, const std::string& client) {
    std::string buddy;
    Admission how{Page::CallBuddy};
    how.check = [&] { return NormalizeName(*p.One(rv::kBuddyKey), &buddy) ? "" : "bad Buddy"; };
    std::string name;
    if (auto refusal = Admit(p, client, {"User", "Pass", rv::kBuddyKey}, how, &name)) {
        return *refusal;
    }
    RendezvousRegistry* registry = m_options.rendezvous;
    if (registry == nullptr) {
        return Refuse(Page::CallBuddy, 404, "this directory has no rendezvous");
    }
    const int64_t now = Now();
    const int64_t present = now - m_options.onlineSeconds;
    const int64_t fresh = now - kRegistrationSeconds;
    RendezvousPeer caller;
    RendezvousPeer callee;
    StoreResult r = registry->Find(name, present, &caller);
    if (r == StoreResult::NotFound || (r == StoreResult::Ok && !caller.RegisteredSince(fresh))) {
        return Refuse(Page::CallBuddy, 409, "you are not registered with the rendezvous");
    }
    if (r == StoreResult::Ok) {
        r = registry->Find(buddy, present, &callee);
    }
    const std::string away = buddy + " is not online through the rendezvous";
    if (r == StoreResult::NotFound || (r == StoreResult::Ok && !callee.RegisteredSince(fresh))) {
        return Refuse(Page::CallBuddy, 404, away);
    }
    CallToken token{RandomBytes(kTokenBytes), name, buddy, now + kTokenSeconds, std::nullopt};
    if (r == StoreResult::Ok) {
        r = registry->AddToken(token, now);
    }
    if (r == StoreResult::Throttled) {
        return Refuse(Page::CallBuddy, 429, "too many calls at once; try again later");
    }
    // The callee hears of the call from the process that holds its registration.
    if (r == StoreResult::Ok) {
        r = registry->PostNotice({buddy, token.token, name, CandidatesOf(caller)});
    }
    if (r == StoreResult::NotFound) {
        return Refuse(Page::CallBuddy, 404, away);
    }
    if (r != StoreResult::Ok) {
        return StorageTrouble(Page::CallBuddy, r, "the rendezvous cannot be reached");
    }
    return Accept(CallWords(name, token.token, callee, now));
}
