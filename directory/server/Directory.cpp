#include "directory/server/Directory.h"

#include <arpa/inet.h>
#include <sodium.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <mutex>
#include <stdexcept>

#include "util/AsciiText.h"

namespace {

// Pages the service answers, as the client and browsers name them (matched without regard to
// case, like the web server the client was written for).
enum class Page {
    None,
    Index,
    Discovery,
    Login,
    Logoff,
    IamUp,
    UserList,
    CallReport,
    SyncBuddies,
    Register,
    MyAccount
};

struct PageName {
    const char* name;
    Page page;
};

constexpr PageName kPages[] = {
    {"logmein.asp", Page::Login},         {"logmeoff.asp", Page::Logoff},
    {"iamup.asp", Page::IamUp},           {"GetUserList.asp", Page::UserList},
    {"iamtalking.asp", Page::CallReport}, {"SyncBList.asp", Page::SyncBuddies},
    {"register.asp", Page::Register},     {"myaccount.asp", Page::MyAccount},
};

constexpr size_t kMaxName = 63;         // the client keeps names in 64-byte buffers
constexpr size_t kMaxPassword = 63;     // and passwords too
constexpr size_t kMaxBuddyText = 2047;  // the client reads the saved list into 2048 bytes

char Lower(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

bool StartsNoCase(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() &&
           EqualsIgnoringAsciiCase(text.substr(0, prefix.size()), prefix);
}

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

bool HasControl(std::string_view s) {
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F) {
            return true;
        }
    }
    return false;
}

std::string PageLabel(Page page) {
    for (const PageName& p : kPages) {
        if (p.page == page) {
            return p.name;
        }
    }
    switch (page) {
        case Page::Index:
            return "/";
        case Page::Discovery:
            return "ZorvoServer.txt";
        default:
            return "-";
    }
}

HttpReply Text(int status, std::string body) {
    HttpReply r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

// A refusal in the form the client judges for that page: "iamup.asp" is refused only by a
// reply beginning with "#", every other page by one beginning with "-".
HttpReply Refuse(Page page, int status, const std::string& message) {
    return Text(status, std::string(page == Page::IamUp ? "#" : "-") + "ERR " + message);
}

std::string HtmlEscape(std::string_view s) {
    std::string out;
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

HttpReply Html(int status, const std::string& title, const std::string& content) {
    HttpReply r;
    r.status = status;
    r.contentType = "text/html; charset=utf-8";
    r.body = "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>" + HtmlEscape(title) +
             "</title></head>\n<body>\n<h1>" + HtmlEscape(title) + "</h1>\n" + content +
             "</body></html>\n";
    return r;
}

std::string Paragraph(const std::string& text) {
    return "<p>" + HtmlEscape(text) + "</p>\n";
}

const char* const kNameRuleText =
    "A user name is 1 to 63 characters without blanks or any of * & ' ~ , \" < > ? % ! @ : ; ` "
    "( ) + = | \\ /; it is kept in lower case.";

std::string RegisterForm() {
    return "<form method=\"post\" action=\"register.asp\">\n"
           "<p><label>User name <input name=\"User\" maxlength=\"63\"></label></p>\n"
           "<p><label>Password <input type=\"password\" name=\"Pass\" maxlength=\"63\">"
           "</label></p>\n"
           "<p><label>Password again <input type=\"password\" name=\"Pass2\" maxlength=\"63\">"
           "</label></p>\n"
           "<p><button type=\"submit\">Register</button></p>\n</form>\n" +
           Paragraph(kNameRuleText);
}

std::string LoginForm(const std::string& message) {
    std::string out;
    if (!message.empty()) {
        out += Paragraph(message);
    }
    return out +
           "<form method=\"post\" action=\"myaccount.asp\">\n"
           "<p><label>User name <input name=\"User\" maxlength=\"63\"></label></p>\n"
           "<p><label>Password <input type=\"password\" name=\"Pass\" maxlength=\"63\">"
           "</label></p>\n"
           "<p><button type=\"submit\">Login</button></p>\n</form>\n"
           "<p><a href=\"register.asp\">Register new user</a></p>\n";
}

std::string FormatTime(int64_t seconds) {
    std::time_t t = static_cast<std::time_t>(seconds);
    std::tm tm{};
    gmtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M UTC", &tm);
    return buf;
}

// The required keys of a request, each given exactly once; fills *missing with the first one
// that is not.
bool RequireOnce(const Params& p, std::initializer_list<const char*> keys, std::string* problem) {
    for (const char* key : keys) {
        size_t n = p.Count(key);
        if (n != 1) {
            *problem = std::string(n == 0 ? "missing key " : "repeated key ") + key;
            return false;
        }
    }
    return true;
}

bool ValidPassword(const std::string& password) {
    return !password.empty() && password.size() <= kMaxPassword &&
           password.find('\0') == std::string::npos;
}

}  // namespace

bool Directory::NormalizeName(std::string_view in, std::string* out) {
    size_t b = 0;
    size_t e = in.size();
    while (b < e && IsSpace(in[b])) {
        ++b;
    }
    while (e > b && IsSpace(in[e - 1])) {
        --e;
    }
    std::string_view name = in.substr(b, e - b);
    if (name.empty() || name.size() > kMaxName || HasControl(name)) {
        return false;
    }
    static constexpr std::string_view kForbidden = "*&'~ ,\"<>?%!@:;`()+=|\\/";
    std::string lower;
    for (char c : name) {
        if (kForbidden.find(c) != std::string_view::npos || IsSpace(c)) {
            return false;
        }
        lower += Lower(c);
    }
    *out = std::move(lower);
    return true;
}

bool Directory::NormalizeAddress(std::string_view in, std::string* out) {
    if (in == "LAN") {
        *out = "LAN";
        return true;
    }
    if (in.empty() || in.size() > 15) {
        return false;
    }
    std::string text(in);
    in_addr a{};
    if (inet_pton(AF_INET, text.c_str(), &a) != 1) {
        return false;
    }
    char buf[INET_ADDRSTRLEN];
    inet_ntop(AF_INET, &a, buf, sizeof buf);
    *out = buf;
    return true;
}

bool Directory::ParseInt32(std::string_view in, int* out) {
    bool negative = !in.empty() && in[0] == '-';
    std::string_view digits = negative ? in.substr(1) : in;
    if (digits.empty() || digits.size() > 10) {
        return false;
    }
    int64_t v = 0;
    for (char c : digits) {
        if (c < '0' || c > '9') {
            return false;
        }
        v = v * 10 + (c - '0');
    }
    if (negative) {
        v = -v;
    }
    if (v < INT32_MIN || v > INT32_MAX) {
        return false;
    }
    *out = static_cast<int>(v);
    return true;
}

Directory::Directory(Storage& storage, DirectoryOptions options)
    : m_storage(storage),
      m_options(std::move(options)),
      m_slowHashes(std::clamp(m_options.slowHashes, 1, 64)) {
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium cannot be initialised");
    }
    // The fast digests are keyed with a secret of this process only: they never leave memory.
    randombytes_buf(m_digestKey, sizeof m_digestKey);
}

Directory::~Directory() {
    sodium_memzero(m_digestKey, sizeof m_digestKey);
}

int64_t Directory::Now() const {
    if (m_options.clock) {
        return m_options.clock();
    }
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

Directory::Digest Directory::MakeDigest(const std::string& name,
                                        const std::string& password) const {
    std::string message = name;
    message += '\0';
    message += password;
    Digest d{};
    crypto_generichash(d.data(), d.size(), reinterpret_cast<const unsigned char*>(message.data()),
                       message.size(), m_digestKey, sizeof m_digestKey);
    sodium_memzero(message.data(), message.size());
    return d;
}

bool Directory::HashPassword(const std::string& password, std::string* hash) {
    unsigned long long ops = crypto_pwhash_OPSLIMIT_INTERACTIVE;
    size_t mem = crypto_pwhash_MEMLIMIT_INTERACTIVE;
    if (m_options.hashCost == HashCost::Moderate) {
        ops = crypto_pwhash_OPSLIMIT_MODERATE;
        mem = crypto_pwhash_MEMLIMIT_MODERATE;
    } else if (m_options.hashCost == HashCost::Min) {
        ops = crypto_pwhash_OPSLIMIT_MIN;
        mem = crypto_pwhash_MEMLIMIT_MIN;
    }
    char out[crypto_pwhash_STRBYTES];
    m_slowHashes.acquire();
    int rc = crypto_pwhash_str(out, password.data(), password.size(), ops, mem);
    m_slowHashes.release();
    if (rc != 0) {
        return false;
    }
    *hash = out;
    return true;
}

Directory::Auth Directory::CheckSlow(const std::string& name, const std::string& password) {
    std::string hash;
    StoreResult r = m_storage.GetPasswordHash(name, &hash);
    if (r == StoreResult::NotFound) {
        return Auth::Refused;
    }
    if (r != StoreResult::Ok) {
        return Auth::Failed;
    }
    m_slowHashes.acquire();
    int rc = crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size());
    m_slowHashes.release();
    if (rc != 0) {
        return Auth::Refused;
    }
    Digest d = MakeDigest(name, password);
    std::unique_lock<std::shared_mutex> lock(m_cacheLock);
    m_cache[name] = d;
    return Auth::Ok;
}

// Heartbeats and list requests carry the password many times a minute: once a password has
// passed the slow check, later requests are checked against its keyed digest.
Directory::Auth Directory::CheckFast(const std::string& name, const std::string& password) {
    {
        std::shared_lock<std::shared_mutex> lock(m_cacheLock);
        auto it = m_cache.find(name);
        if (it != m_cache.end()) {
            Digest d = MakeDigest(name, password);
            return sodium_memcmp(d.data(), it->second.data(), d.size()) == 0 ? Auth::Ok
                                                                             : Auth::Refused;
        }
    }
    return CheckSlow(name, password);
}

std::string Directory::WebHost(const HttpRequest& request) const {
    if (!m_options.advertise.empty()) {
        return m_options.advertise;
    }
    // A Host header is used only when it is a plain host[:port] and nothing else.
    const std::string& h = request.host;
    bool plain = !h.empty() && h.size() <= 255;
    for (char c : h) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == ':';
        plain = plain && ok;
    }
    return plain ? h : m_options.fallbackHost;
}

HttpReply Directory::Handle(const HttpRequest& request) {
    std::string_view target = request.target;
    size_t q = target.find('?');
    std::string_view rawPath = target.substr(0, q);
    std::string_view rawQuery = q == std::string_view::npos ? "" : target.substr(q + 1);

    std::string decoded;
    if (!PercentDecode(rawPath, false, &decoded) || HasControl(decoded)) {
        return Text(400, "-ERR bad request path");
    }
    // A backslash counts as a slash (the client puts one between the page path and the page);
    // runs of slashes count as one.
    std::string path = "/";
    for (char c : decoded) {
        char s = c == '\\' ? '/' : c;
        if (s == '/' && path.back() == '/') {
            continue;
        }
        path += s;
    }

    Page page = Page::None;
    std::string_view rest = path;
    std::string prefix = m_options.pagePath;
    while (!prefix.empty() && prefix.back() == '/') {
        prefix.pop_back();
    }
    if (path == "/") {
        page = Page::Index;
    } else if (EqualsIgnoringAsciiCase(path, "/ZorvoServer.txt")) {
        page = Page::Discovery;
    } else {
        if (!prefix.empty() && StartsNoCase(rest, prefix + "/")) {
            rest.remove_prefix(prefix.size());
        }
        rest.remove_prefix(1);
        for (const PageName& p : kPages) {
            if (EqualsIgnoringAsciiCase(rest, p.name)) {
                page = p.page;
            }
        }
    }
    if (page == Page::None) {
        return Text(404, "-ERR no such page");
    }

    HttpReply reply;
    const std::string& m = request.method;
    bool get = m == "GET" || m == "HEAD";
    bool post = m == "POST" && (page == Page::Register || page == Page::MyAccount);
    if (!get && !post) {
        reply = Refuse(page, 405, "method not allowed");
        reply.page = PageLabel(page);
        return reply;
    }

    std::vector<QueryParam> pairs;
    std::string problem;
    bool ok = ParseQuery(rawQuery, &pairs, &problem);
    Params params(std::move(pairs));
    if (ok && post) {
        bool form = StartsNoCase(request.contentType, "application/x-www-form-urlencoded");
        if (!form && !request.body.empty()) {
            reply = Html(415, "Unsupported form", Paragraph("Send the form as a web page does."));
            reply.page = PageLabel(page);
            return reply;
        }
        ok = ParseQuery(request.body, &pairs, &problem);
        params.Add(std::move(pairs));
    }
    if (!ok) {
        reply = Refuse(page, 400, problem);
    } else {
        switch (page) {
            case Page::Index:
                reply = Index();
                break;
            case Page::Discovery:
                reply = Discovery(request);
                break;
            case Page::Login:
                reply = Login(params);
                break;
            case Page::Logoff:
                reply = Logoff(params);
                break;
            case Page::IamUp:
                reply = IamUp(params);
                break;
            case Page::UserList:
                reply = UserList(params);
                break;
            case Page::CallReport:
                reply = CallReport(params);
                break;
            case Page::SyncBuddies:
                reply = SyncBuddies(params);
                break;
            case Page::Register:
                reply = Register(request, params);
                break;
            case Page::MyAccount:
                reply = MyAccount(request, params);
                break;
            case Page::None:
                break;
        }
    }
    reply.page = PageLabel(page);
    return reply;
}

HttpReply Directory::Index() {
    return Html(200, "Zorvo directory",
                "<p><a href=\"register.asp\">Register new user</a></p>\n"
                "<p><a href=\"myaccount.asp\">My account</a></p>\n");
}

HttpReply Directory::Discovery(const HttpRequest& request) {
    std::string path = m_options.pagePath;
    while (!path.empty() && path.back() == '/') {
        path.pop_back();
    }
    return Text(200, "[ZORVO]\r\nCURRENT IP=" + WebHost(request) + "\r\nPATH=" + path + "\r\n");
}

HttpReply Directory::Login(const Params& p) {
    std::string problem;
    if (!RequireOnce(p, {"User", "Pass", "IPAddr"}, &problem)) {
        return Refuse(Page::Login, 400, problem);
    }
    std::string address;
    if (!NormalizeAddress(*p.One("IPAddr"), &address)) {
        return Refuse(Page::Login, 400, "bad IPAddr");
    }
    std::string name;
    const std::string& password = *p.One("Pass");
    Auth a = NormalizeName(*p.One("User"), &name) ? CheckSlow(name, password) : Auth::Refused;
    if (a == Auth::Failed) {
        return Refuse(Page::Login, 500, "the directory cannot be read");
    }
    if (a == Auth::Refused) {
        return Refuse(Page::Login, 403, "invalid user name or password");
    }
    std::vector<std::string> buddies;
    if (m_storage.GetBuddies(name, &buddies) != StoreResult::Ok) {
        return Refuse(Page::Login, 500, "the directory cannot be read");
    }
    m_storage.SetOnline(name, address, Now());
    // The client takes the buddy names from the fifth character on.
    std::string body = "+OK ";
    for (size_t i = 0; i < buddies.size(); ++i) {
        body += (i == 0 ? "" : " ") + buddies[i];
    }
    return Text(200, body);
}

HttpReply Directory::Logoff(const Params& p) {
    std::string problem;
    if (!RequireOnce(p, {"User", "Pass"}, &problem)) {
        return Refuse(Page::Logoff, 400, problem);
    }
    std::string name;
    Auth a = NormalizeName(*p.One("User"), &name) ? CheckFast(name, *p.One("Pass")) : Auth::Refused;
    if (a == Auth::Failed) {
        return Refuse(Page::Logoff, 500, "the directory cannot be read");
    }
    if (a == Auth::Refused) {
        return Refuse(Page::Logoff, 403, "invalid user name or password");
    }
    m_storage.SetOffline(name);
    return Text(200, "+OK");
}

HttpReply Directory::IamUp(const Params& p) {
    std::string problem;
    if (!RequireOnce(p, {"User", "Pass", "IPAddr"}, &problem)) {
        return Refuse(Page::IamUp, 400, problem);
    }
    std::string address;
    if (!NormalizeAddress(*p.One("IPAddr"), &address)) {
        return Refuse(Page::IamUp, 400, "bad IPAddr");
    }
    std::string name;
    Auth a = NormalizeName(*p.One("User"), &name) ? CheckFast(name, *p.One("Pass")) : Auth::Refused;
    if (a == Auth::Failed) {
        return Refuse(Page::IamUp, 500, "the directory cannot be read");
    }
    if (a == Auth::Refused) {
        return Refuse(Page::IamUp, 403, "Invalid user name or password. Please login again.");
    }
    m_storage.SetOnline(name, address, Now());
    return Text(200, "+OK");
}

HttpReply Directory::UserList(const Params& p) {
    std::string problem;
    if (!RequireOnce(p, {"User", "Pass"}, &problem)) {
        return Refuse(Page::UserList, 400, problem);
    }
    std::string name;
    Auth a = NormalizeName(*p.One("User"), &name) ? CheckFast(name, *p.One("Pass")) : Auth::Refused;
    if (a == Auth::Failed) {
        return Refuse(Page::UserList, 500, "the directory cannot be read");
    }
    if (a == Auth::Refused) {
        return Refuse(Page::UserList, 403, "invalid user name or password");
    }
    // Every buddy asked about that is online, once, with the address it reported or "LAN".
    std::string body = "+OK";
    int64_t since = Now() - m_options.onlineSeconds;
    std::vector<std::string> listed;
    for (const std::string& raw : p.All("buddy")) {
        std::string buddy;
        std::string address;
        if (!NormalizeName(raw, &buddy) ||
            std::find(listed.begin(), listed.end(), buddy) != listed.end() ||
            !m_storage.GetOnline(buddy, since, &address)) {
            continue;
        }
        listed.push_back(buddy);
        body += " " + buddy + " " + address;
        if (body.size() > 4000) {
            break;  // the client reads at most 4095 bytes
        }
    }
    return Text(200, body);
}

HttpReply Directory::CallReport(const Params& p) {
    std::string problem;
    if (!RequireOnce(p, {"User", "RemUser", "Minutes", "SessionID", "AvgDelay"}, &problem)) {
        return Refuse(Page::CallReport, 400, problem);
    }
    const std::string& remote = *p.One("RemUser");
    if (remote.empty() || remote.size() > kMaxName || HasControl(remote)) {
        return Refuse(Page::CallReport, 400, "bad RemUser");
    }
    int minutes = 0;
    int session = 0;
    int delay = 0;
    if (!ParseInt32(*p.One("Minutes"), &minutes) || minutes < 0) {
        return Refuse(Page::CallReport, 400, "bad Minutes");
    }
    if (!ParseInt32(*p.One("SessionID"), &session) || session < 0) {
        return Refuse(Page::CallReport, 400, "bad SessionID");
    }
    if (!ParseInt32(*p.One("AvgDelay"), &delay) || delay < 0) {
        return Refuse(Page::CallReport, 400, "bad AvgDelay");
    }
    std::string name;
    std::string hash;
    StoreResult known = NormalizeName(*p.One("User"), &name)
                            ? m_storage.GetPasswordHash(name, &hash)
                            : StoreResult::NotFound;
    if (known == StoreResult::NotFound) {
        return Refuse(Page::CallReport, 403, "unknown user");
    }
    if (known != StoreResult::Ok) {
        return Refuse(Page::CallReport, 500, "the directory cannot be read");
    }
    int64_t id = session;
    StoreResult r = session == 0 ? m_storage.OpenCall(name, remote, minutes, delay, Now(),
                                                      m_options.callReopenSeconds, &id)
                                 : m_storage.UpdateCall(session, name, minutes, delay, Now());
    if (r == StoreResult::NotFound) {
        return Refuse(Page::CallReport, 404, "unknown SessionID");
    }
    if (r != StoreResult::Ok) {
        return Refuse(Page::CallReport, 500, "the call record cannot be written");
    }
    // The client reads the record number from the fifth character on.
    return Text(200, "+OK " + std::to_string(id));
}

HttpReply Directory::SyncBuddies(const Params& p) {
    std::string problem;
    if (!RequireOnce(p, {"User", "Pass"}, &problem)) {
        return Refuse(Page::SyncBuddies, 400, problem);
    }
    // The whole list is checked before anything is written.
    std::vector<std::string> buddies;
    size_t length = 0;
    for (const std::string& raw : p.All("buddy")) {
        std::string buddy;
        if (!NormalizeName(raw, &buddy)) {
            return Refuse(Page::SyncBuddies, 400, "invalid buddy name");
        }
        if (std::find(buddies.begin(), buddies.end(), buddy) != buddies.end()) {
            continue;
        }
        length += buddy.size() + 1;
        if (length > kMaxBuddyText) {
            return Refuse(Page::SyncBuddies, 400, "buddy list too long");
        }
        buddies.push_back(buddy);
    }
    std::string name;
    Auth a = NormalizeName(*p.One("User"), &name) ? CheckFast(name, *p.One("Pass")) : Auth::Refused;
    if (a == Auth::Failed) {
        return Refuse(Page::SyncBuddies, 500, "the directory cannot be read");
    }
    if (a == Auth::Refused) {
        return Refuse(Page::SyncBuddies, 403, "invalid user name or password");
    }
    StoreResult r = m_storage.SetBuddies(name, buddies);
    if (r == StoreResult::NotFound) {
        return Refuse(Page::SyncBuddies, 403, "invalid user name or password");
    }
    if (r != StoreResult::Ok) {
        return Refuse(Page::SyncBuddies, 500, "the buddy list cannot be written");
    }
    return Text(200, "+OK");
}

HttpReply Directory::Register(const HttpRequest&, const Params& p) {
    const char* title = "Register new user";
    if (p.Count("User") == 0 && p.Count("Pass") == 0) {
        return Html(200, title, RegisterForm());
    }
    std::string problem;
    if (!RequireOnce(p, {"User", "Pass"}, &problem) || p.Count("Pass2") > 1) {
        return Html(400, title,
                    Paragraph("The form was not filled in completely.") + RegisterForm());
    }
    std::string name;
    if (!NormalizeName(*p.One("User"), &name)) {
        return Html(400, title, Paragraph("This user name cannot be used.") + RegisterForm());
    }
    const std::string& password = *p.One("Pass");
    if (!ValidPassword(password)) {
        return Html(400, title,
                    Paragraph("A password is 1 to 63 characters long.") + RegisterForm());
    }
    if (p.Count("Pass2") == 1 && *p.One("Pass2") != password) {
        return Html(400, title, Paragraph("The two passwords differ.") + RegisterForm());
    }
    std::string existing;
    StoreResult r = m_storage.GetPasswordHash(name, &existing);
    if (r == StoreResult::Ok) {
        return Html(409, title,
                    Paragraph("The user name " + name + " is taken. Please choose another.") +
                        RegisterForm());
    }
    std::string hash;
    if (r != StoreResult::NotFound || !HashPassword(password, &hash)) {
        return Html(500, title, Paragraph("The account cannot be created now. Please try later."));
    }
    r = m_storage.CreateAccount(name, hash, Now());
    if (r == StoreResult::Exists) {
        return Html(409, title,
                    Paragraph("The user name " + name + " is taken. Please choose another.") +
                        RegisterForm());
    }
    if (r != StoreResult::Ok) {
        return Html(500, title, Paragraph("The account cannot be created now. Please try later."));
    }
    return Html(200, "Account created",
                Paragraph("Your account " + name +
                          " is ready. Log in with the Zorvo program using this user name.") +
                    "<p><a href=\"myaccount.asp\">My account</a></p>\n");
}

HttpReply Directory::MyAccount(const HttpRequest& request, const Params& p) {
    const char* title = "My account";
    std::string message;
    if (p.Count("LoginMsg") == 1) {
        message = p.One("LoginMsg")->substr(0, 200);
    }
    if (p.Count("User") == 0 && p.Count("Pass") == 0) {
        return Html(200, title, LoginForm(message));
    }
    std::string problem;
    if (!RequireOnce(p, {"User", "Pass"}, &problem)) {
        return Html(400, title, LoginForm("Please enter your user name and password."));
    }
    std::string name;
    Auth a = NormalizeName(*p.One("User"), &name) ? CheckSlow(name, *p.One("Pass")) : Auth::Refused;
    if (a == Auth::Failed) {
        return Html(500, title, Paragraph("Your account cannot be shown now. Please try later."));
    }
    if (a == Auth::Refused) {
        return Html(403, title, LoginForm("Invalid UserName/Pass"));
    }
    std::vector<std::string> buddies;
    std::vector<CallRecord> calls;
    if (m_storage.GetBuddies(name, &buddies) != StoreResult::Ok ||
        m_storage.RecentCalls(name, 20, &calls) != StoreResult::Ok) {
        return Html(500, title, Paragraph("Your account cannot be shown now. Please try later."));
    }
    std::string address;
    bool online = m_storage.GetOnline(name, Now() - m_options.onlineSeconds, &address);

    std::string html = Paragraph("User name: " + name);
    html += Paragraph(online ? "Online, reachable at " + address : std::string("Offline"));
    std::string list;
    for (const std::string& b : buddies) {
        list += (list.empty() ? "" : ", ") + b;
    }
    html += Paragraph("Buddies: " + (list.empty() ? std::string("none") : list));
    html += "<h2>Recent calls</h2>\n";
    if (calls.empty()) {
        html += Paragraph("No calls yet.");
    } else {
        html +=
            "<table>\n<tr><th>Record</th><th>With</th><th>Started</th><th>Minutes</th>"
            "<th>Average delay (ms)</th></tr>\n";
        for (const CallRecord& c : calls) {
            html += "<tr><td>" + std::to_string(c.id) + "</td><td>" + HtmlEscape(c.remote) +
                    "</td><td>" + FormatTime(c.started) + "</td><td>" + std::to_string(c.minutes) +
                    "</td><td>" + std::to_string(c.avgDelay) + "</td></tr>\n";
        }
        html += "</table>\n";
    }
    std::string invitation =
        "Let's talk with Zorvo, free voice calls from computer to computer. "
        "Register at http://" +
        WebHost(request) + "/register.asp and add me, " + name + ", to your buddy list.";
    html += "<h2 id=\"INVITE\">Invite your friends</h2>\n" +
            Paragraph("Send this text to your friends:") +
            "<p><textarea rows=\"4\" cols=\"70\" readonly>" + HtmlEscape(invitation) +
            "</textarea></p>\n";
    return Html(200, title, html);
}
