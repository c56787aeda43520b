#include "testsupport/FreePort.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

uint16_t FreePort(int type) {
    const int s = socket(AF_INET, type | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return 0;
    }
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    uint16_t port = 0;
    if (bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
        port = ntohs(a.sin_port);
    }
    close(s);
    return port;
}

}  // namespace

uint16_t FreeUdpPort() {
    return FreePort(SOCK_DGRAM);
}
uint16_t FreeTcpPort() {
    return FreePort(SOCK_STREAM);
}

SilentTcpService::SilentTcpService() : m_fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof a;
    if (m_fd >= 0 && bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0 &&
        listen(m_fd, 64) == 0 && getsockname(m_fd, reinterpret_cast<sockaddr*>(&a), &length) == 0) {
        m_host = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    }
}

SilentTcpService::~SilentTcpService() {
    if (m_fd >= 0) {
        close(m_fd);
    }
}

}  // namespace testsupport
