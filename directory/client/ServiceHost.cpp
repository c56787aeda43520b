#include "directory/client/ServiceHost.h"

#include <cstdlib>
#include <mutex>

#ifndef ZORVO_DEFAULT_SERVICE_HOST
#define ZORVO_DEFAULT_SERVICE_HOST "127.0.0.1:8080"
#endif

namespace {
std::mutex g_settingLock;
std::string g_setting;
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

bool SplitHostPort(const std::string& hostPort, int defaultPort, std::string* host, int* port) {
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
