#include "directory/server/Directory.h"

#include <arpa/inet.h>

#include <chrono>

#include "directory/protocol/Pages.h"
#include "util/AsciiText.h"

namespace {

bool IsSpace(char c) {
    return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f';
}

// The decoded path with a backslash counted as a slash (the client puts one between the page
// path and the page) and runs of slashes counted as one. False when it cannot be decoded or holds
// control bytes.
bool NormalizePath(std::string_view raw, std::string* out) {
    std::string decoded;
    if (!PercentDecode(raw, false, &decoded) || HasControl(decoded)) {
        return false;
    }
    std::string path = "/";
    for (char c : decoded) {
        char s = c == '\\' ? '/' : c;
        if (s == '/' && path.back() == '/') {
            continue;
        }
        path += s;
    }
    *out = std::move(path);
    return true;
}

// A page of an extension is there only for requests that list the extension's capability; any
// other request gets the answer of a service without the extension.
bool Offered(Page page, std::string_view rawQuery) {
    if (page != Page::BuddyKey) {
        return true;
    }
    std::vector<QueryParam> pairs;
    std::string problem;
    return ParseQuery(rawQuery, &pairs, &problem) &&
           ListsCapability(Params(std::move(pairs)), directory::encryption::kCapability);
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
    if (name.empty() || name.size() > kMaxName || HasControl(name) || !IsUtf8(name)) {
        return false;
    }
    static constexpr std::string_view kForbidden = "*&'~ ,\"<>?%!@:;`()+=|\\/";
    for (char c : name) {
        if (kForbidden.find(c) != std::string_view::npos || IsSpace(c)) {
            return false;
        }
    }
    *out = ToAsciiLower(name);
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
    // inet_pton reads a C string: a value with a NUL byte in it would be judged by its head.
    if (in.find('\0') != std::string_view::npos) {
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
      m_passwords(storage, m_options.hashCost, m_options.slowHashes) {}

int64_t Directory::Now() const {
    if (m_options.clock) {
        return m_options.clock();
    }
    return std::chrono::duration_cast<std::chrono::seconds>(
               std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Directory::WebHost(const HttpRequest& request) const {
    // A client that asked over HTTPS is told the HTTPS listener, with its scheme: only a client
    // that speaks HTTPS gets there, and it reads the scheme. Everyone else sees what it always did.
    if (request.tls && !m_options.tlsAdvertise.empty()) {
        return m_options.tlsAdvertise;
    }
    if (!m_options.advertise.empty() && !request.tls) {
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
    if (request.tls) {
        return "https://" + (plain ? h : m_options.tlsFallbackHost);
    }
    return plain ? h : m_options.fallbackHost;
}

std::string Directory::WebUrl(const HttpRequest& request) const {
    const std::string host = WebHost(request);
    return host.rfind("https://", 0) == 0 ? host : "http://" + host;
}

HttpReply Directory::Handle(const HttpRequest& request) {
    std::string_view target = request.target;
    size_t q = target.find('?');
    std::string_view rawQuery = q == std::string_view::npos ? "" : target.substr(q + 1);
    std::string path;
    if (!NormalizePath(target.substr(0, q), &path)) {
        return Text(400, RefusalText("bad request path"));
    }
    Page page = Route(path);
    if (page == Page::None || !Offered(page, rawQuery)) {
        return Text(404, RefusalText("no such page"));
    }
    HttpReply reply = Serve(page, request, rawQuery);
    reply.page = PageLabel(page);
    return reply;
}

// The root, the discovery text, and every page both under the published page path and at the
// root.
Page Directory::Route(const std::string& path) const {
    if (path == "/") {
        return Page::Index;
    }
    if (EqualsIgnoringAsciiCase(path, std::string("/") + directory::pages::kDiscovery)) {
        return Page::Discovery;
    }
    std::string prefix = m_options.pagePath;
    while (!prefix.empty() && prefix.back() == '/') {
        prefix.pop_back();
    }
    std::string_view rest = path;
    if (!prefix.empty() && StartsNoCase(rest, prefix + "/")) {
        rest.remove_prefix(prefix.size());
    }
    rest.remove_prefix(1);
    return PageNamed(rest);
}

// The method, the query and a POSTed form of a request for a known page.
HttpReply Directory::Serve(Page page, const HttpRequest& request, std::string_view rawQuery) {
    const std::string& m = request.method;
    bool get = m == "GET" || m == "HEAD";
    bool post = m == "POST" && (page == Page::Register || page == Page::MyAccount);
    if (!get && !post) {
        return Refuse(page, 405, "method not allowed");
    }
    std::vector<QueryParam> pairs;
    std::string problem;
    bool ok = ParseQuery(rawQuery, &pairs, &problem);
    Params params(std::move(pairs));
    if (ok && post) {
        bool form = StartsNoCase(request.contentType, "application/x-www-form-urlencoded");
        if (!form && !request.body.empty()) {
            return Html(415, "Unsupported form", Paragraph("Send the form as a web page does."));
        }
        ok = ParseQuery(request.body, &pairs, &problem);
        params.Add(std::move(pairs));
    }
    if (!ok) {
        return Refuse(page, 400, problem);
    }
    return Dispatch(page, request, params);
}

HttpReply Directory::Dispatch(Page page, const HttpRequest& request, const Params& params) {
    const std::string client = ClientAddress(request);
    switch (page) {
        case Page::Index:
            return Index();
        case Page::Discovery:
            return Discovery(request);
        case Page::Login:
            return Login(params, client);
        case Page::Logoff:
            return Logoff(params, client);
        case Page::IamUp:
            return IamUp(request, params, client);
        case Page::UserList:
            return UserList(params, client);
        case Page::CallReport:
            return CallReport(params);
        case Page::SyncBuddies:
            return SyncBuddies(params, client);
        case Page::CallBuddy:
            return CallBuddy(params, client);
        case Page::BuddyKey:
            return BuddyKey(params, client);
        case Page::Register:
            return Register(params);
        case Page::MyAccount:
            return MyAccount(request, params);
        case Page::None:
            break;
    }
    return Text(404, RefusalText("no such page"));
}
