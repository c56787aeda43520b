#include "directory/client/Requests.h"

#include <climits>
#include <sstream>

#include "directory/protocol/Pages.h"

namespace pages = directory::pages;
namespace replies = directory::replies;

namespace {

// The page under the server's path, and the first key of every request.
std::string Page(const ServerInfo& server, const char* page) {
    return server.path + "\\" + page + "?User=";
}

std::string Credentials(const ServerInfo& server, const char* page, const std::string& user,
                        const std::string& password) {
    return Page(server, page) + UrlEncode(user) + "&Pass=" + UrlEncode(password);
}

}  // namespace

std::string LoginTarget(const ServerInfo& server, const std::string& user,
                        const std::string& password, const std::string& addressClass) {
    return Credentials(server, pages::kLogin, user, password) +
           "&IPAddr=" + UrlEncode(addressClass);
}

std::string LogoffTarget(const ServerInfo& server, const std::string& user,
                         const std::string& password, const std::string& addressClass) {
    return Credentials(server, pages::kLogoff, user, password) +
           "&IPAddr=" + UrlEncode(addressClass);
}

std::string IamUpTarget(const ServerInfo& server, const std::string& user,
                        const std::string& password, const std::string& localAddress) {
    return Credentials(server, pages::kIamUp, user, password) +
           "&IPAddr=" + UrlEncode(localAddress);
}

std::string GetUserListTarget(const ServerInfo& server, const std::string& user,
                              const std::string& password,
                              const std::vector<std::string>& buddies) {
    std::string target = Credentials(server, pages::kUserList, user, password);
    for (const std::string& name : buddies) {
        target += "&buddy=" + UrlEncode(name);
    }
    return target;
}

std::string CallReportTarget(const ServerInfo& server, const std::string& user,
                             const std::string& remoteUser, int minutes, int sessionId,
                             int avgDelay) {
    return Page(server, pages::kCallReport) + UrlEncode(user) +
           "&RemUser=" + UrlEncode(remoteUser) + "&Minutes=" + std::to_string(minutes) +
           "&SessionID=" + std::to_string(sessionId) + "&AvgDelay=" + std::to_string(avgDelay);
}

std::string SyncBListTarget(const ServerInfo& server, const std::string& user,
                            const std::string& password, const std::string& storedList) {
    std::string target = Credentials(server, pages::kSyncBuddies, user, password);
    for (const std::string& word : SplitWords(storedList)) {
        target += "&buddy=" + UrlEncode(word);
    }
    return target;
}

std::string BuddyTextFromLoginReply(const std::string& reply) {
    const size_t offset = replies::kLoginBuddyTextOffset;
    return reply.size() > offset ? reply.substr(offset) : std::string();
}

int SessionIdFromReply(const std::string& reply, int current) {
    size_t i = replies::kRecordNumberOffset;
    if (current != 0 || reply.size() <= i || replies::Judge(reply) != replies::Verdict::Accepted) {
        return current;
    }
    while (i < reply.size() && (reply[i] == ' ' || reply[i] == '\t')) {
        ++i;
    }
    bool negative = false;
    if (i < reply.size() && (reply[i] == '-' || reply[i] == '+')) {
        negative = reply[i] == '-';
        ++i;
    }
    long long value = 0;
    for (; i < reply.size() && reply[i] >= '0' && reply[i] <= '9'; ++i) {
        value = value * 10 + (reply[i] - '0');
        if (value > INT_MAX) {
            value = INT_MAX;  // an absurd number is held at the largest one
        }
    }
    return static_cast<int>(negative ? -value : value);
}

std::vector<std::string> SplitWords(const std::string& text) {
    std::vector<std::string> words;
    std::istringstream in(text);
    std::string word;
    while (in >> word) {
        words.push_back(word);
    }
    return words;
}
