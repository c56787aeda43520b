#include "directory/server/Rendezvous.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>

namespace {

constexpr int kBatch = 64;          // datagrams one recvmmsg takes
constexpr int kBatchesPerWake = 8;  // then the timers get their turn
constexpr size_t kDatagramMax = 1500;
constexpr int64_t kIdleWakeMs = 1000;
// How often the share of relayed calls goes to the log (stderr), when there were calls.
constexpr int64_t kReportMs = 10 * 60 * 1000;

int64_t SteadyMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

}  // namespace

Rendezvous::Rendezvous(RendezvousRegistry& registry, RendezvousSettings settings)
    : m_registry(registry), m_handler(registry, std::move(settings)) {}

std::unique_ptr<Rendezvous> Rendezvous::Open(const std::string& host, int port,
                                             RendezvousRegistry& registry,
                                             RendezvousSettings settings, std::string* error) {
    std::unique_ptr<Rendezvous> r(new Rendezvous(registry, std::move(settings)));
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    if (port < 0 || port > 65535 || inet_pton(AF_INET, host.c_str(), &a.sin_addr) != 1) {
        *error = "the rendezvous takes a dotted IPv4 address and a port: " + host;
        return nullptr;
    }
    r->m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    r->m_wake = eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
    if (r->m_fd < 0 || r->m_wake < 0 ||
        bind(r->m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        *error = "cannot open the rendezvous on UDP " + host + ":" + std::to_string(port) + ": " +
                 std::strerror(errno);
        return nullptr;
    }
    socklen_t length = sizeof a;
    getsockname(r->m_fd, reinterpret_cast<sockaddr*>(&a), &length);
    r->m_port = ntohs(a.sin_port);
    return r;
}

Rendezvous::~Rendezvous() {
    Stop();
    if (m_fd >= 0) {
        close(m_fd);
    }
    if (m_wake >= 0) {
        close(m_wake);
    }
}

void Rendezvous::Start() {
    Rendezvous* self = this;
    m_registry.SetNoticeSink([self](const CallNoticeOrder& order) {
        self->m_handler.Order(order);
        eventfd_write(self->m_wake, 1);
    });
    m_thread = std::thread([this] { Loop(); });
}

void Rendezvous::Stop() {
    if (!m_thread.joinable()) {
        return;
    }
    m_registry.SetNoticeSink(nullptr);
    m_stop = true;
    eventfd_write(m_wake, 1);
    m_thread.join();
}

void Rendezvous::Report() {
    const RendezvousHandler::Counts c = m_handler.TakeCounts();
    if (c.calls != 0) {
        std::fprintf(stderr,
                     "zorvo-directory: rendezvous: %llu calls by name rang here in the last %lld "
                     "minutes, %llu of them relayed (%.0f%%)\n",
                     static_cast<unsigned long long>(c.calls),
                     static_cast<long long>(kReportMs / 60000),
                     static_cast<unsigned long long>(c.relayed), 100.0 * c.relayed / c.calls);
    }
}

void Rendezvous::Loop() {
    std::vector<OutDatagram> out;
    int64_t nextReport = SteadyMs() + kReportMs;
    while (!m_stop) {
        int64_t now = SteadyMs();
        if (now >= nextReport) {
            Report();
            nextReport = now + kReportMs;
        }
        out.clear();
        m_handler.OnTimer(now, &out);
        Send(out);
        int64_t due = m_handler.NextDue();
        int64_t wait =
            due == INT64_MAX ? kIdleWakeMs : std::clamp<int64_t>(due - now, 0, kIdleWakeMs);
        pollfd fds[2] = {{m_fd, POLLIN, 0}, {m_wake, POLLIN, 0}};
        if (poll(fds, 2, static_cast<int>(wait)) <= 0) {
            continue;
        }
        if ((fds[1].revents & POLLIN) != 0) {
            eventfd_t ignored = 0;
            eventfd_read(m_wake, &ignored);
        }
        if ((fds[0].revents & POLLIN) != 0) {
            Drain();
        }
    }
}

void Rendezvous::Drain() {
    static thread_local uint8_t buffers[kBatch][kDatagramMax];
    sockaddr_in from[kBatch];
    iovec iov[kBatch];
    mmsghdr msgs[kBatch];
    std::vector<OutDatagram> out;
    for (int round = 0; round < kBatchesPerWake; ++round) {
        for (int i = 0; i < kBatch; ++i) {
            iov[i] = iovec{buffers[i], kDatagramMax};
            msgs[i] = mmsghdr{};
            msgs[i].msg_hdr.msg_name = &from[i];
            msgs[i].msg_hdr.msg_namelen = sizeof from[i];
            msgs[i].msg_hdr.msg_iov = &iov[i];
            msgs[i].msg_hdr.msg_iovlen = 1;
        }
        int n = recvmmsg(m_fd, msgs, kBatch, MSG_DONTWAIT, nullptr);
        if (n <= 0) {
            return;
        }
        const int64_t now = SteadyMs();
        out.clear();
        for (int i = 0; i < n; ++i) {
            // A datagram larger than any message of the rendezvous arrives cut short: dropped.
            bool whole = (msgs[i].msg_hdr.msg_flags & MSG_TRUNC) == 0;
            if (whole && msgs[i].msg_hdr.msg_namelen == sizeof(sockaddr_in) &&
                from[i].sin_family == AF_INET) {
                m_handler.OnDatagram(buffers[i], msgs[i].msg_len, from[i], now, &out);
            }
        }
        Send(out);
        if (n < kBatch) {
            return;
        }
    }
}

void Rendezvous::Send(const std::vector<OutDatagram>& datagrams) {
    for (const OutDatagram& d : datagrams) {
        // A full send queue drops the datagram: a client asks again, a notice goes again.
        sendto(m_fd, d.bytes.data(), d.bytes.size(), MSG_DONTWAIT,
               reinterpret_cast<const sockaddr*>(&d.to), sizeof d.to);
    }
}
