// The pages the desktop client asks for: discovery, login and logoff, the heartbeat, the list of
// online buddies, the call report and the buddy-list sync. The call page, and what the other
// pages add for clients with the rendezvous extension, are in CallPages.cpp; the identity keys
// of clients with the encryption extension in IdentityKeys.cpp.

#include <algorithm>

#include "directory/protocol/Pages.h"
#include "directory/server/Directory.h"

namespace pages = directory::pages;
namespace replies = directory::replies;

HttpReply Directory::Discovery(const HttpRequest& request) {
    std::string path = m_options.pagePath;
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    return Text(200, std::string("[") + pages::kDiscoverySection + "]\r\n" +
                         pages::kDiscoveryHostKey + "=" + WebHost(request) + "\r\n" +
                         pages::kDiscoveryPathKey + "=" + path + "\r\n");
}

HttpReply Directory::Login(const Params& p, const std::string& client) {
    std::string address;
    Admission how{Page::Login, true};
    how.check = [&] { return NormalizeAddress(*p.One("IPAddr"), &address) ? "" : "bad IPAddr"; };
    std::string name;
    if (auto refusal = Admit(p, client, {"User", "Pass", "IPAddr"}, how, &name)) {
        return *refusal;
    }
    std::vector<std::string> buddies;
    StoreResult r = m_storage.GetBuddies(name, &buddies);
    if (r == StoreResult::Ok) {
        r = m_storage.SetOnline(name, address, Now(), Gate{});
    }
    if (r != StoreResult::Ok) {
        return StorageTrouble(Page::Login, r, "the directory cannot be read");
    }
    ForgetRendezvous(name);
    PublishIdentityKey(p, name, true);
    // The client takes the buddy names from the fifth character on: "+OK " and the names.
    std::string body(replies::kOk);
    body.resize(replies::kLoginBuddyTextOffset, ' ');
    for (size_t i = 0; i < buddies.size(); ++i) {
        body += (i == 0 ? "" : " ") + buddies[i];
    }
    return Text(200, body);
}

HttpReply Directory::Logoff(const Params& p, const std::string& client) {
    std::string name;
    if (auto refusal = Admit(p, client, {"User", "Pass"}, {Page::Logoff}, &name)) {
        return *refusal;
    }
    StoreResult r = m_storage.SetOffline(name);
    if (r != StoreResult::Ok) {
        return StorageTrouble(Page::Logoff, r, "the directory cannot be written");
    }
    ForgetRendezvous(name);
    return Accept();
}

HttpReply Directory::IamUp(const HttpRequest& request, const Params& p, const std::string& client) {
    std::string address;
    Admission how{Page::IamUp, false, "Invalid user name or password. Please login again."};
    how.check = [&] { return NormalizeAddress(*p.One("IPAddr"), &address) ? "" : "bad IPAddr"; };
    how.gateInStorage = true;
    std::string name;
    Gate gate;
    if (auto refusal = Admit(p, client, {"User", "Pass", "IPAddr"}, how, &name, &gate)) {
        return *refusal;
    }
    StoreResult r = m_storage.SetOnline(name, address, Now(), gate);
    if (r != StoreResult::Ok) {
        return StorageTrouble(Page::IamUp, r, "the directory cannot be written");
    }
    NoteSuccess(gate, false);
    PublishIdentityKey(p, name, false);
    // A client with the extension learns where to register and its key; others get "+OK".
    return Accept(RendezvousWords(request, p, name));
}

HttpReply Directory::UserList(const Params& p, const std::string& client) {
    Admission how{Page::UserList};
    how.gateInStorage = true;
    std::string name;
    Gate gate;
    if (auto refusal = Admit(p, client, {"User", "Pass"}, how, &name, &gate)) {
        return *refusal;
    }
    // Every buddy asked about that is online, once, with the address it reported or "LAN".
    std::vector<std::string> asked;
    for (const std::string& raw : p.All("buddy")) {
        std::string buddy;
        if (NormalizeName(raw, &buddy) &&
            std::find(asked.begin(), asked.end(), buddy) == asked.end()) {
            asked.push_back(buddy);
        }
    }
    std::vector<std::string> addresses;
    StoreResult r = m_storage.GetOnline(asked, Now() - m_options.onlineSeconds, gate, &addresses);
    if (r != StoreResult::Ok) {
        return StorageTrouble(Page::UserList, r, "the directory cannot be read");
    }
    NoteSuccess(gate, false);
    // A client with the extension learns which buddies can be called through the rendezvous.
    const std::vector<bool> registered = RegisteredMarks(p, asked);
    std::string body(replies::kOk);
    for (size_t i = 0; i < asked.size() && i < addresses.size(); ++i) {
        if (addresses[i].empty()) {
            continue;
        }
        body += " " + asked[i] + " " + addresses[i];
        if (i < registered.size() && registered[i]) {
            body += directory::rendezvous::kRegisteredSuffix;
        }
        if (body.size() > 4000) {
            break;  // the client reads at most 4095 bytes
        }
    }
    return Text(200, body);
}

namespace {

// The numbers of a call report, none of them negative; fills *problem with the first bad one.
bool CallFigures(const Params& p, int* minutes, int* session, int* delay, std::string* problem) {
    const std::pair<const char*, int*> figures[] = {
        {"Minutes", minutes}, {"SessionID", session}, {"AvgDelay", delay}};
    for (const auto& [key, value] : figures) {
        if (!Directory::ParseInt32(*p.One(key), value) || *value < 0) {
            *problem = std::string("bad ") + key;
            return false;
        }
    }
    return true;
}

}  // namespace

HttpReply Directory::CallReport(const Params& p) {
    std::string problem;
    if (!RequireOnce(p, {"User", "RemUser", "Minutes", "SessionID", "AvgDelay"}, &problem)) {
        return Refuse(Page::CallReport, 400, problem);
    }
    const std::string& remote = *p.One("RemUser");
    if (remote.empty() || remote.size() > kMaxName || HasControl(remote) || !IsUtf8(remote)) {
        return Refuse(Page::CallReport, 400, "bad RemUser");
    }
    int minutes = 0;
    int session = 0;
    int delay = 0;
    if (!CallFigures(p, &minutes, &session, &delay, &problem)) {
        return Refuse(Page::CallReport, 400, problem);
    }
    // The client sends no password with a report; the user must exist.
    std::string name;
    std::string hash;
    StoreResult known = NormalizeName(*p.One("User"), &name)
                            ? m_storage.GetPasswordHash(name, &hash)
                            : StoreResult::NotFound;
    if (known == StoreResult::NotFound) {
        return Refuse(Page::CallReport, 403, "unknown user");
    }
    if (known != StoreResult::Ok) {
        return StorageTrouble(Page::CallReport, known, "the directory cannot be read");
    }
    int64_t id = session;
    StoreResult r = session == 0 ? m_storage.OpenCall(name, remote, minutes, delay, Now(),
                                                      m_options.callReopenSeconds, &id)
                                 : m_storage.UpdateCall(session, name, minutes, delay, Now());
    if (r == StoreResult::NotFound) {
        return Refuse(Page::CallReport, 404, "unknown SessionID");
    }
    if (r != StoreResult::Ok) {
        return StorageTrouble(Page::CallReport, r, "the call record cannot be written");
    }
    // The client reads the record number from the fifth character on.
    return Accept(std::to_string(id));
}

namespace {

// The buddies of a sync request, normalised, each once; fills *problem when one is invalid or
// the list is longer than the client can read back.
bool BuddiesToStore(const Params& p, std::vector<std::string>* buddies, std::string* problem) {
    size_t length = 0;
    for (const std::string& raw : p.All("buddy")) {
        std::string buddy;
        if (!Directory::NormalizeName(raw, &buddy)) {
            *problem = "invalid buddy name";
            return false;
        }
        if (std::find(buddies->begin(), buddies->end(), buddy) != buddies->end()) {
            continue;
        }
        length += buddy.size() + 1;
        if (length > kMaxBuddyText) {
            *problem = "buddy list too long";
            return false;
        }
        buddies->push_back(buddy);
    }
    return true;
}

}  // namespace

HttpReply Directory::SyncBuddies(const Params& p, const std::string& client) {
    // The whole list is checked before anything is written.
    std::vector<std::string> buddies;
    Admission how{Page::SyncBuddies};
    how.check = [&] {
        std::string problem;
        BuddiesToStore(p, &buddies, &problem);
        return problem;
    };
    std::string name;
    if (auto refusal = Admit(p, client, {"User", "Pass"}, how, &name)) {
        return *refusal;
    }
    StoreResult r = m_storage.SetBuddies(name, buddies);
    if (r == StoreResult::NotFound) {
        return Refuse(Page::SyncBuddies, 403, "invalid user name or password");
    }
    if (r != StoreResult::Ok) {
        return StorageTrouble(Page::SyncBuddies, r, "the buddy list cannot be written");
    }
    return Accept();
}
