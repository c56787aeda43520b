#include "stun/Endpoint.h"

#include <arpa/inet.h>

namespace stun {

bool ParseEndpoint(std::string_view text, sockaddr_in* out) {
    size_t colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon > 15) {
        return false;
    }
    std::string_view port = text.substr(colon + 1);
    if (port.empty() || port.size() > 5) {
        return false;
    }
    long p = 0;
    for (char c : port) {
        if (c < '0' || c > '9') {
            return false;
        }
        p = p * 10 + (c - '0');
    }
    if (p < 1 || p > 65535) {
        return false;
    }
    std::string host(text.substr(0, colon));
    if (host.find('\0') != std::string::npos) {
        return false;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    if (inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) {
        return false;
    }
    a.sin_port = htons(static_cast<uint16_t>(p));
    *out = a;
    return true;
}

std::string EndpointText(const sockaddr_in& address) {
    char host[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &address.sin_addr, host, sizeof host);
    return std::string(host) + ":" + std::to_string(ntohs(address.sin_port));
}

std::optional<sockaddr_in> ParseEndpoint(std::string_view text) {
    sockaddr_in address{};
    if (!ParseEndpoint(text, &address)) {
        return std::nullopt;
    }
    return address;
}

}  // namespace stun
