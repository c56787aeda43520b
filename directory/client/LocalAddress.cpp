#include "directory/client/LocalAddress.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>

#include "directory/client/ServiceHost.h"

namespace {

// Closes the socket on every way out.
struct Socket {
    int fd = -1;
    ~Socket() {
        if (fd >= 0) {
            close(fd);
        }
    }
};

// How long a connection attempt waits before it looks at its cancel flag again.
constexpr int kCancelCheckMs = 100;

bool Cancelled(const std::atomic<bool>* cancel) {
    return cancel != nullptr && cancel->load();
}

bool ConnectWithin(int fd, const sockaddr_in& to, int timeoutMs, const std::atomic<bool>* cancel) {
    int flags = fcntl(fd, F_GETFL, 0);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        return false;
    }
    if (connect(fd, reinterpret_cast<const sockaddr*>(&to), sizeof to) == 0) {
        return true;
    }
    if (errno != EINPROGRESS) {
        return false;
    }
    pollfd p{fd, POLLOUT, 0};
    int n = 0;
    for (int left = timeoutMs; n == 0 && left > 0 && !Cancelled(cancel);) {
        const int slice = std::min(left, kCancelCheckMs);
        n = poll(&p, 1, slice);
        if (n < 0 && errno == EINTR) {
            n = 0;
            continue;
        }
        left -= slice;
    }
    if (n <= 0 || Cancelled(cancel)) {
        return false;
    }
    int error = 0;
    socklen_t len = sizeof error;
    return getsockopt(fd, SOL_SOCKET, SO_ERROR, &error, &len) == 0 && error == 0;
}

}  // namespace

std::string ClassifyAddressText(const std::string& dotted) {
    auto starts = [&](const char* prefix) { return dotted.rfind(prefix, 0) == 0; };
    if (dotted == "127.0.0.1" || starts("10.") || starts("192.168.") || starts("169.254.")) {
        return "LAN";
    }
    if (starts("172.")) {
        long second = std::strtol(dotted.c_str() + 4, nullptr, 10);
        return (second >= 16 && second <= 31) ? "LAN" : dotted;
    }
    return dotted;
}

std::string ClassifyLocalAddress(const std::string& serviceHost, int timeoutMs,
                                 const std::atomic<bool>* cancel) {
    const std::string local = LocalAddressToward(serviceHost, timeoutMs, cancel);
    return local.empty() ? std::string() : ClassifyAddressText(local);
}

std::string LocalAddressToward(const std::string& serviceHost, int timeoutMs,
                               const std::atomic<bool>* cancel) {
    if (Cancelled(cancel)) {
        return {};
    }
    std::string host;
    int port = 0;
    if (!SplitHostPort(serviceHost, 80, &host, &port)) {
        return {};
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        return {};
    }
    sockaddr_in to = *reinterpret_cast<const sockaddr_in*>(found->ai_addr);
    freeaddrinfo(found);
    to.sin_port = htons(static_cast<uint16_t>(port));

    Socket s;
    s.fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, IPPROTO_TCP);
    if (s.fd < 0) {
        return {};
    }
    sockaddr_in any{};
    any.sin_family = AF_INET;
    any.sin_addr.s_addr = htonl(INADDR_ANY);
    if (bind(s.fd, reinterpret_cast<const sockaddr*>(&any), sizeof any) != 0) {
        return {};
    }
    if (!ConnectWithin(s.fd, to, timeoutMs, cancel)) {
        return {};
    }
    sockaddr_in local{};
    socklen_t len = sizeof local;
    if (getsockname(s.fd, reinterpret_cast<sockaddr*>(&local), &len) != 0) {
        return {};
    }
    char text[INET_ADDRSTRLEN] = {};
    if (inet_ntop(AF_INET, &local.sin_addr, text, sizeof text) == nullptr) {
        return {};
    }
    return text;
}

std::string ClassifyLocalAddress() {
    return ClassifyLocalAddress(ServiceHost());
}
