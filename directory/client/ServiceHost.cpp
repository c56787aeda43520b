#include "directory/client/ServiceHost.h"

#include <cstdlib>
#include <mutex>

#include "util/AsciiText.h"

#ifndef ZORVO_DEFAULT_SERVICE_HOST
#define ZORVO_DEFAULT_SERVICE_HOST "https://127.0.0.1:8443"
#endif

namespace {
std::mutex g_settingLock;
std::string g_setting;

constexpr char kHttps[] = "https://";
constexpr char kHttp[] = "http://";

// True when text begins with prefix, letters compared without regard to case.
bool StartsWithNoCase(const std::string& text, const char* prefix) {
    size_t i = 0;
    for (; prefix[i] != '\0'; ++i) {
        if (i >= text.size() || AsciiLower(text[i]) != prefix[i]) {
            return false;
        }
    }
    return true;
}

// The scheme's length in text (0 without one) and whether it asks for TLS.
size_t SchemeLength(const std::string& text, bool* tls) {
    *tls = StartsWithNoCase(text, kHttps);
    if (*tls) {
        return sizeof kHttps - 1;
    }
    return StartsWithNoCase(text, kHttp) ? sizeof kHttp - 1 : 0;
}

}  // namespace

std::string ServiceHost() {
    const char* env = std::getenv("ZORVO_SERVICE_HOST");
    if (env != nullptr && *env != '\0') {
        return env;
    }
    {
        std::lock_guard<std::mutex> lock(g_settingLock);
        if (!g_setting.empty()) {
            return g_setting;
        }
    }
    return ZORVO_DEFAULT_SERVICE_HOST;
}

void SetServiceHostSetting(const std::string& host) {
    std::lock_guard<std::mutex> lock(g_settingLock);
    g_setting = host;
}

std::string ServiceDomainName() {
    std::string host;
    int port = 0;
    std::string full = ServiceHost();
    if (SplitHostPort(full, 80, &host, &port)) {
        return host;
    }
    return full;
}

bool SplitHostPort(const std::string& text, int defaultPort, std::string* host, int* port) {
    bool tls = false;
    const std::string hostPort = text.substr(SchemeLength(text, &tls));
    if (tls) {
        defaultPort = 443;
    }
    std::string::size_type colon = hostPort.rfind(':');
    std::string name = hostPort;
    int number = defaultPort;
    if (colon != std::string::npos) {
        std::string digits = hostPort.substr(colon + 1);
        if (digits.empty() || digits.size() > 5) {
            return false;
        }
        number = 0;
        for (char c : digits) {
            if (c < '0' || c > '9') {
                return false;
            }
            number = number * 10 + (c - '0');
        }
        name = hostPort.substr(0, colon);
    }
    if (name.empty() || number < 1 || number > 65535) {
        return false;
    }
    *host = name;
    *port = number;
    return true;
}

bool IsPlainHost(const std::string& text) {
    if (text.empty() || text.size() > 255) {
        return false;
    }
    for (unsigned char c : text) {
        bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') ||
                  c == '.' || c == '-' || c == '_' || c == ':';
        if (!ok) {
            return false;
        }
    }
    std::string host;
    int port = 0;
    return SplitHostPort(text, 80, &host, &port);
}

std::string ServiceAddress::Text() const {
    return tls ? kHttps + hostPort : hostPort;
}

std::string ServiceAddress::Endpoint() const {
    std::string host;
    int port = 0;
    if (!SplitHostPort(hostPort, tls ? 443 : 80, &host, &port)) {
        return hostPort;
    }
    return ToAsciiLower(host) + ":" + std::to_string(port);
}

std::optional<ServiceAddress> ParseServiceHost(const std::string& text) {
    ServiceAddress address;
    address.hostPort = text.substr(SchemeLength(text, &address.tls));
    if (!IsPlainHost(address.hostPort)) {
        return std::nullopt;
    }
    return address;
}

std::optional<std::string> DiscoveredHost(const ServiceAddress& from,
                                          const std::string& currentIp) {
    bool tls = false;
    const bool hasScheme = SchemeLength(currentIp, &tls) > 0;
    if (!from.tls || tls) {
        return currentIp;
    }
    if (hasScheme) {
        return std::nullopt;  // "http://" named by a page that came over https
    }
    return kHttps + currentIp;
}
