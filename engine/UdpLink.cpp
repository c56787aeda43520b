#include "engine/UdpLink.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <thread>

namespace {

// A wait result of _ReceiveOnce: the stop signal ended it.
constexpr int kStopped = -2;

}  // namespace

uint64_t UdpLink::NowMs() {
    using namespace std::chrono;
    return static_cast<uint64_t>(
        duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

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
    m_lastSendMs.store(NowMs());
    if (m_filter) {
        // Reused by each sending thread: a call sends a few datagrams a second.
        thread_local std::vector<uint8_t> wrapped;
        sockaddr_in to{};
        if (m_filter->Wrap(bytes, size, m_peer, &wrapped, &to)) {
            return SendTo(to, wrapped.data(), wrapped.size());
        }
    }
    return SendTo(m_peer, bytes, size);
}

int UdpLink::SendTo(const sockaddr_in& to, const uint8_t* bytes, std::size_t size) {
    const ssize_t sent =
        sendto(m_socket.load(), bytes, size, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    return sent < 0 ? 0 : 1;
}

bool UdpLink::FromPeer(const sockaddr_in& from) const {
    if (from.sin_addr.s_addr != m_peer.sin_addr.s_addr) {
        return false;
    }
    return !m_strictPeer.load() || from.sin_port == m_peer.sin_port;
}

int UdpLink::Receive(uint8_t* buffer, uint32_t* size, uint32_t timeoutMs, sockaddr_in* from,
                     Fault* fault) {
    if (m_filter) {
        return _ReceiveFiltered(buffer, size, timeoutMs, from, fault);
    }
    const int n = _ReceiveOnce(buffer, size, timeoutMs, from, fault);
    return n == kStopped ? 0 : n;
}

// The same contract as a plain receive, but the filter's datagrams are taken out and its timers
// run while the reader waits: the wait goes on until a datagram for the reader arrives or the
// reader's own time is up.
int UdpLink::_ReceiveFiltered(uint8_t* buffer, uint32_t* size, uint32_t timeoutMs,
                              sockaddr_in* from, Fault* fault) {
    const uint32_t capacity = *size;
    const uint64_t start = NowMs();
    for (;;) {
        uint64_t now = NowMs();
        if (m_filter->MsUntilDue(*this, now) == 0) {
            m_filter->OnTimer(*this, now);
            now = NowMs();
        }
        const uint64_t elapsed = now - start;
        if (timeoutMs != 0 && elapsed >= timeoutMs) {
            *fault = Fault{};
            return 0;
        }
        uint32_t wait = std::max<uint32_t>(1, m_filter->MsUntilDue(*this, now));
        if (timeoutMs != 0) {
            wait = std::min<uint32_t>(wait, static_cast<uint32_t>(timeoutMs - elapsed));
        }
        *size = capacity;
        sockaddr_in sender{};
        const int n = _ReceiveOnce(buffer, size, wait, &sender, fault);
        if (n == kStopped) {
            return 0;
        }
        if (n < 0) {
            return n;
        }
        if (n > 0 && m_filter->OnDatagram(*this, buffer, size, capacity, &sender) ==
                         DatagramFilter::Verdict::kPass) {
            if (from) {
                *from = sender;
            }
            return static_cast<int>(*size);
        }
    }
}

int UdpLink::_ReceiveOnce(uint8_t* buffer, uint32_t* size, uint32_t timeoutMs, sockaddr_in* from,
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
        return kStopped;  // stop has begun: every caller looks at the stop flag next
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
