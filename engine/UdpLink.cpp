#include "engine/UdpLink.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <thread>

UdpLink::UdpLink() : m_stopEvent(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

UdpLink::~UdpLink() {
    Close();
    if (m_stopEvent >= 0) {
        close(m_stopEvent);
    }
}

bool UdpLink::Open() {
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_UDP);
    m_socket.store(s);
    return s != -1;
}

bool UdpLink::Bind(unsigned port) {
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(static_cast<uint16_t>(port));
    return bind(m_socket.load(), reinterpret_cast<const sockaddr*>(&local), sizeof local) == 0;
}

void UdpLink::Close() {
    const int s = m_socket.exchange(-1);
    if (s != -1) {
        close(s);
    }
}

int UdpLink::Send(const uint8_t* bytes, std::size_t size) {
    const ssize_t sent = sendto(m_socket.load(), bytes, size, 0,
                                reinterpret_cast<const sockaddr*>(&m_peer), sizeof m_peer);
    return sent < 0 ? 0 : 1;
}

int UdpLink::Receive(uint8_t* buffer, uint32_t* size, uint32_t timeoutMs, sockaddr_in* from,
                     Fault* fault) {
    *fault = Fault{};
    const int s = m_socket.load();
    if (s < 0) {
        return -1;  // the socket was closed: a receive error, as on a closed socket
    }
    pollfd fds[2] = {{s, POLLIN, 0}, {m_stopEvent, POLLIN, 0}};
    const int rc =
        poll(fds, m_stopEvent >= 0 ? 2 : 1, timeoutMs == 0 ? -1 : static_cast<int>(timeoutMs));
    if (rc <= 0) {
        fault->error = rc < 0 ? errno : 0;
        return rc < 0 && errno != EINTR ? -1 : 0;
    }
    if (fds[1].revents != 0) {
        return 0;  // stop has begun: every caller looks at the stop flag next
    }
    if (fds[0].revents & (POLLERR | POLLNVAL)) {
        return -1;
    }
    sockaddr_in sender{};
    socklen_t senderLength = sizeof sender;
    const ssize_t n =
        recvfrom(s, buffer, *size, MSG_TRUNC, reinterpret_cast<sockaddr*>(&sender), &senderLength);
    if (n < 0) {
        fault->error = errno;
        return -1;
    }
    if (static_cast<std::size_t>(n) > *size) {
        fault->offered = *size;  // the datagram was larger than the buffer: it is lost
        fault->truncated = static_cast<uint32_t>(n);
        return -1;
    }
    if (n == 0) {
        return 0;
    }
    if (from) {
        *from = sender;
    }
    *size = static_cast<uint32_t>(n);
    return static_cast<int>(n);
}

bool UdpLink::Pause(uint32_t milliseconds) {
    if (m_stopEvent < 0) {
        std::this_thread::sleep_for(std::chrono::milliseconds(milliseconds));
        return true;
    }
    pollfd fd{m_stopEvent, POLLIN, 0};
    return poll(&fd, 1, static_cast<int>(milliseconds)) == 0;
}

void UdpLink::SignalStop() {
    if (m_stopEvent >= 0) {
        const uint64_t one = 1;
        (void)!write(m_stopEvent, &one, sizeof one);
    }
}
