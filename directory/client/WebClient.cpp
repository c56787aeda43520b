#include "directory/client/WebClient.h"

#include <curl/curl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <mutex>

#include "directory/client/ServiceHost.h"
#include "directory/protocol/Pages.h"
#include "util/AsciiText.h"

namespace {

std::once_flag g_curlInit;

// The program's own file path, or an empty text when it cannot be read.
std::string ProgramPath() {
    char buf[4096];
    ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
    if (n <= 0) {
        return {};
    }
    return std::string(buf, static_cast<size_t>(n));
}

std::string ProgramName() {
    std::string path = ProgramPath();
    std::string name = path.substr(path.rfind('/') + 1);
    std::string::size_type dot = name.rfind('.');
    if (dot != std::string::npos && dot > 0) {
        name.resize(dot);
    }
    return name.empty() ? std::string("Zorvo") : name;
}

struct Body {
    std::string text;
    bool full = false;
};

// libcurl asks this during the whole exchange, connecting included (at least once a second);
// a non-zero answer ends the transfer.
int OnProgress(void* cancel, curl_off_t, curl_off_t, curl_off_t, curl_off_t) {
    return static_cast<const std::atomic<bool>*>(cancel)->load() ? 1 : 0;
}

// Keeps the first kMaxReply bytes of the body and stops the transfer there: the body is read
// once, never more than that.
size_t OnBody(char* data, size_t size, size_t count, void* user) {
    Body* body = static_cast<Body*>(user);
    size_t n = size * count;
    size_t room = CWebClient::kMaxReply - body->text.size();
    if (n <= room) {
        body->text.append(data, n);
        return n;
    }
    body->text.append(data, room);
    body->full = true;
    return room;  // short count: libcurl ends the transfer
}

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

std::string Trim(const std::string& s) {
    size_t b = 0;
    size_t e = s.size();
    while (b < e && IsBlank(s[b])) {
        ++b;
    }
    while (e > b && IsBlank(s[e - 1])) {
        --e;
    }
    return s.substr(b, e - b);
}

}  // namespace

std::string UrlEncode(std::string value) {
    static const char kHex[] = "0123456789ABCDEF";
    std::string out;
    out.reserve(value.size() * 3);
    for (unsigned char c : value) {
        if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0x0F];
        }
    }
    return out;
}

std::string ReadProfileString(const std::string& text, const std::string& section,
                              const std::string& key, const std::string& def, size_t bufferSize) {
    size_t pos = 0;
    if (text.compare(0, 3, "\xEF\xBB\xBF") == 0) {
        pos = 3;  // UTF-8 byte order mark
    }
    bool inSection = false;
    while (pos <= text.size()) {
        size_t end = text.find('\n', pos);
        if (end == std::string::npos) {
            end = text.size();
        }
        std::string line = text.substr(pos, end - pos);
        pos = end + 1;
        if (!line.empty() && line.back() == '\r') {
            line.pop_back();
        }
        std::string trimmed = Trim(line);
        if (!trimmed.empty() && trimmed[0] == '[') {
            if (inSection) {
                break;  // only the first section of that name is consulted
            }
            size_t close = trimmed.find(']');
            std::string name =
                Trim(trimmed.substr(1, close == std::string::npos ? std::string::npos : close - 1));
            inSection = EqualsIgnoringAsciiCase(name, section);
            continue;
        }
        if (!inSection) {
            continue;
        }
        size_t eq = line.find('=');
        if (eq == std::string::npos) {
            continue;
        }
        if (!EqualsIgnoringAsciiCase(Trim(line.substr(0, eq)), key)) {
            continue;
        }
        std::string value = Trim(line.substr(eq + 1));
        if (value.size() >= 2 && (value[0] == '"' || value[0] == '\'') &&
            value.back() == value[0]) {
            value = value.substr(1, value.size() - 2);
        }
        if (bufferSize > 0 && value.size() > bufferSize - 1) {
            value.resize(bufferSize - 1);
        }
        return value;
    }
    return def;
}

std::string DiscoveryFilePath() {
    std::string program = ProgramPath();
    std::string::size_type slash = program.rfind('/');
    if (slash != std::string::npos) {
        std::string dir = program.substr(0, slash + 1);
        if (access(dir.c_str(), W_OK) == 0) {
            return dir + "ZorvoServer.ini";
        }
    }
    std::string config;
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        config = xdg;
    } else {
        const char* home = std::getenv("HOME");
        config = std::string(home != nullptr ? home : "") + "/.config";
    }
    mkdir(config.c_str(), 0700);
    std::string dir = config + "/Mervane";
    mkdir(dir.c_str(), 0700);
    return dir + "/ZorvoServer.ini";
}

CWebClient::CWebClient() : m_strAgent(ProgramName()) {
    std::call_once(g_curlInit, [] { curl_global_init(CURL_GLOBAL_DEFAULT); });
}

CWebClient::~CWebClient() = default;

// What one exchange gave: libcurl's result, the body, and OpenSSL's verdict on the certificate.
struct CWebClient::Outcome {
    CURLcode rc = CURLE_FAILED_INIT;
    Body body;
    long verifyResult = 0;
};

int CWebClient::Get(std::string server, std::string object, std::string* reply) {
    const std::optional<ServiceAddress> address = ParseServiceHost(server);
    if (!address) {
        return 0;
    }
    std::string url = (address->tls ? "https://" : "http://") + address->hostPort;
    if (object.empty() || object[0] != '/') {
        url += '/';
    }
    url += object;
    if (m_cancel && m_cancel->load()) {
        return 0;
    }
    const std::string pin = address->tls && m_pins ? m_pins->PinFor(address->Endpoint()) : "";
    const Outcome outcome = Perform(url, address->tls, pin);
    if (address->tls) {
        NoteKey(*address, pin, outcome);
    }
    const CURLcode rc = outcome.rc;
    bool read = rc == CURLE_OK || (rc == CURLE_WRITE_ERROR && outcome.body.full) ||
                rc == CURLE_PARTIAL_FILE;
    if (!read) {
        return 0;
    }
    *reply = std::string(outcome.body.text.c_str());  // a NUL byte ends the text
    return 1;
}

CWebClient::Outcome CWebClient::Perform(const std::string& url, bool tls,
                                        const std::string& pin) const {
    Outcome outcome;
    CURL* curl = curl_easy_init();
    if (curl == nullptr) {
        return outcome;
    }
    curl_slist* headers = nullptr;
    headers = curl_slist_append(headers, "Cache-Control: no-cache");
    headers = curl_slist_append(headers, "Pragma: no-cache");

    curl_easy_setopt(curl, CURLOPT_URL, url.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPGET, 1L);
    SetTlsOptions(curl, tls, pin);
    curl_easy_setopt(curl, CURLOPT_PATH_AS_IS, 1L);      // the target goes out as built
    curl_easy_setopt(curl, CURLOPT_FOLLOWLOCATION, 0L);  // a redirect is itself the reply
    curl_easy_setopt(curl, CURLOPT_PROXY, "");           // direct, never through a proxy
    curl_easy_setopt(curl, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(curl, CURLOPT_FORBID_REUSE, 1L);
    curl_easy_setopt(curl, CURLOPT_USERAGENT, m_strAgent.c_str());
    curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
    curl_easy_setopt(curl, CURLOPT_CONNECTTIMEOUT_MS, m_nConnectTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_TIMEOUT_MS, m_nTotalTimeoutMs);
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, OnBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &outcome.body);
    if (m_cancel) {
        curl_easy_setopt(curl, CURLOPT_NOPROGRESS, 0L);
        curl_easy_setopt(curl, CURLOPT_XFERINFOFUNCTION, OnProgress);
        curl_easy_setopt(curl, CURLOPT_XFERINFODATA,
                         const_cast<std::atomic<bool>*>(m_cancel.get()));
    }

    outcome.rc = curl_easy_perform(curl);
    curl_easy_getinfo(curl, CURLINFO_SSL_VERIFYRESULT, &outcome.verifyResult);
    curl_slist_free_all(headers);
    curl_easy_cleanup(curl);
    return outcome;
}

// An https host is asked over https alone: a redirect elsewhere could only lead to https too
// (none is followed). A pinned host's key must be the pinned one; its chain and name are not
// asked for, since the user trusted the key itself. libcurl compares the key during the
// handshake, before it sends the request.
void CWebClient::SetTlsOptions(void* handle, bool tls, const std::string& pin) const {
    CURL* curl = handle;
    const char* protocols = tls ? "https" : "http";
    curl_easy_setopt(curl, CURLOPT_PROTOCOLS_STR, protocols);
    curl_easy_setopt(curl, CURLOPT_REDIR_PROTOCOLS_STR, protocols);
    if (!tls) {
        return;
    }
    curl_easy_setopt(curl, CURLOPT_SSLVERSION, static_cast<long>(CURL_SSLVERSION_TLSv1_2));
    if (!pin.empty()) {
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(curl, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(curl, CURLOPT_PINNEDPUBLICKEY, pin.c_str());
    } else if (!m_strAuthorityFile.empty()) {
        curl_easy_setopt(curl, CURLOPT_CAINFO, m_strAuthorityFile.c_str());
    }
}

// After an https exchange: a certificate no authority vouches for, on a host without a pin, or
// a key other than the pinned one, is looked at in a handshake of its own that sends nothing,
// and reported.
void CWebClient::NoteKey(const ServiceAddress& address, const std::string& pin,
                         const Outcome& outcome) {
    const bool unvouched = outcome.rc == CURLE_PEER_FAILED_VERIFICATION && pin.empty() &&
                           IsUnvouchedCertificate(outcome.verifyResult);
    const bool mismatch = outcome.rc == CURLE_SSL_PINNEDPUBKEYNOTMATCH;
    std::optional<KeyProblem> problem;
    if (unvouched || mismatch) {
        if (std::optional<ServerKey> key =
                FetchServerKey(address.hostPort, m_nConnectTimeoutMs, m_cancel.get())) {
            const KeyVerdict verdict = JudgeKey(pin, key->pin);
            if (verdict != KeyVerdict::Trusted) {
                problem = KeyProblem{verdict, address.Endpoint(), *key};
            }
        }
    }
    std::lock_guard<std::mutex> lock(m_keyLock);
    m_keyProblem = problem;
}

std::optional<KeyProblem> CWebClient::LastKeyProblem() const {
    std::lock_guard<std::mutex> lock(m_keyLock);
    return m_keyProblem;
}

int CWebClient::DiscoverServer(ServerInfo* info) {
    std::string host = m_strServiceHost.empty() ? ServiceHost() : m_strServiceHost;
    std::string text;
    int ok = Get(host, directory::pages::kDiscovery, &text);
    const std::optional<ServiceAddress> from = ParseServiceHost(host);

    std::string file = m_strDiscoveryFile.empty() ? DiscoveryFilePath() : m_strDiscoveryFile;
    if (FILE* f = std::fopen(file.c_str(), "wb")) {
        std::fwrite(text.data(), 1, text.size(), f);
        std::fclose(f);
    }
    if (!ok || !from) {
        return 0;
    }
    // The lookup runs over the text just written, with the same rules a read of the file has.
    std::string currentIp = ReadProfileString(text, directory::pages::kDiscoverySection,
                                              directory::pages::kDiscoveryHostKey, "0.0.0.0");
    if (currentIp.empty() || currentIp == "0.0.0.0") {
        return 0;
    }
    const std::optional<std::string> server = DiscoveredHost(*from, currentIp);
    if (!server) {
        return 0;  // a directory found over https is never asked over plain http
    }
    info->host = *server;
    std::string path = ReadProfileString(text, directory::pages::kDiscoverySection,
                                         directory::pages::kDiscoveryPathKey, "ERR");
    if (path == "ERR") {
        return 0;
    }
    info->path = path;
    return 1;
}
