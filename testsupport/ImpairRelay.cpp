#include "testsupport/ImpairRelay.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <fcntl.h>

#include <algorithm>
#include <cerrno>

namespace testsupport {
namespace {

constexpr uint8_t kVoiceType = 3;  // MSG_VOICE

int LoopbackSocket(uint16_t* port) {
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof local;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length) != 0) {
        close(fd);
        return -1;
    }
    *port = ntohs(local.sin_port);
    return fd;
}

ImpairRelay::Clock::duration Ms(double ms) {
    return std::chrono::duration_cast<ImpairRelay::Clock::duration>(
        std::chrono::duration<double, std::milli>(ms));
}

}  // namespace

ImpairRelay::ImpairRelay(uint16_t calleePort, const Impairment& toCallee,
                         const Impairment& toCaller, uint32_t seed)
    : m_random(seed) {
    m_toCallee.impairment = toCallee;
    m_toCaller.impairment = toCaller;
    m_callee.sin_family = AF_INET;
    m_callee.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    m_callee.sin_port = htons(calleePort);
    uint16_t unused = 0;
    m_callerSide = LoopbackSocket(&m_callerSidePort);
    m_calleeSide = LoopbackSocket(&unused);
    if (m_callerSide < 0 || m_calleeSide < 0 || pipe2(m_stop, O_CLOEXEC) != 0) {
        return;
    }
    m_ok = true;
    m_thread = std::thread([this] { Run(); });
}

ImpairRelay::~ImpairRelay() {
    if (m_thread.joinable()) {
        const char byte = 1;
        [[maybe_unused]] ssize_t n = write(m_stop[1], &byte, 1);
        m_thread.join();
    }
    for (int fd : {m_callerSide, m_calleeSide, m_stop[0], m_stop[1]}) {
        if (fd >= 0) {
            close(fd);
        }
    }
}

void ImpairRelay::OnVoiceToCallee(Observer observer) {
    std::lock_guard guard(m_lock);
    m_observer = std::move(observer);
}

ImpairRelay::Counts ImpairRelay::ToCallee() const {
    std::lock_guard guard(m_lock);
    return m_toCallee.counts;
}

ImpairRelay::Counts ImpairRelay::ToCaller() const {
    std::lock_guard guard(m_lock);
    return m_toCaller.counts;
}

double ImpairRelay::Uniform() {
    return std::uniform_real_distribution<double>(0.0, 1.0)(m_random);
}

void ImpairRelay::Run() {
    for (;;) {
        int timeout = -1;
        if (!m_queue.empty()) {
            const auto wait = m_queue.front().due - Clock::now();
            timeout = static_cast<int>(std::max<int64_t>(
                0, std::chrono::duration_cast<std::chrono::microseconds>(wait).count() / 1000));
        }
        pollfd fds[3] = {
            {m_stop[0], POLLIN, 0}, {m_callerSide, POLLIN, 0}, {m_calleeSide, POLLIN, 0}};
        if (poll(fds, 3, timeout) < 0 && errno != EINTR) {
            return;
        }
        if (fds[0].revents != 0) {
            return;
        }
        if (fds[1].revents & POLLIN) {
            Receive(m_callerSide);
        }
        if (fds[2].revents & POLLIN) {
            Receive(m_calleeSide);
        }
        SendDue();
    }
}

void ImpairRelay::Receive(int socket) {
    std::vector<uint8_t> bytes(65536);
    sockaddr_in from{};
    socklen_t length = sizeof from;
    const ssize_t n = recvfrom(socket, bytes.data(), bytes.size(), 0,
                               reinterpret_cast<sockaddr*>(&from), &length);
    if (n < 0) {
        return;
    }
    bytes.resize(static_cast<std::size_t>(n));
    if (socket == m_callerSide) {
        m_caller = from;
        m_haveCaller = true;
        Schedule(m_toCallee, true, std::move(bytes));
    } else if (m_haveCaller) {
        Schedule(m_toCaller, false, std::move(bytes));
    }
}

void ImpairRelay::Schedule(Direction& direction, bool towardsCallee, std::vector<uint8_t> bytes) {
    const Clock::time_point now = Clock::now();
    Pending pending{now,
                    towardsCallee ? m_calleeSide : m_callerSide,
                    towardsCallee ? m_callee : m_caller,
                    std::move(bytes),
                    false,
                    0};
    auto push = [this](Pending p) {
        m_queue.push_back(std::move(p));
        std::push_heap(m_queue.begin(), m_queue.end(), std::greater<>());
    };
    pending.voice = pending.bytes.size() > 4 && pending.bytes[4] == kVoiceType;
    if (!pending.voice) {
        push(std::move(pending));
        return;
    }
    const Impairment& im = direction.impairment;
    if (!direction.started) {
        direction.started = true;
        direction.first = now;
    }
    // Where the frame falls on the sender's clock, seen from the receiver's.
    const Clock::time_point scaled =
        direction.first + Ms(im.holdMs) +
        std::chrono::duration_cast<Clock::duration>((now - direction.first) / im.rate);
    pending.index = direction.next++;
    const bool lost = Uniform() < im.loss;
    const bool twice = Uniform() < im.duplicate;
    {
        std::lock_guard guard(m_lock);
        ++direction.counts.voice;
        direction.counts.dropped += lost ? 1 : 0;
        direction.counts.duplicated += !lost && twice ? 1 : 0;
    }
    if (lost) {
        return;
    }
    const int copies = twice ? 2 : 1;
    for (int c = 0; c < copies; ++c) {
        Pending copy = pending;
        copy.due = std::max(now, scaled + Ms(im.delayMs + Uniform() * im.jitterMs));
        push(std::move(copy));
    }
}

void ImpairRelay::SendDue() {
    const Clock::time_point now = Clock::now();
    while (!m_queue.empty() && m_queue.front().due <= now) {
        std::pop_heap(m_queue.begin(), m_queue.end(), std::greater<>());
        Pending p = std::move(m_queue.back());
        m_queue.pop_back();
        sendto(p.socket, p.bytes.data(), p.bytes.size(), 0, reinterpret_cast<sockaddr*>(&p.to),
               sizeof p.to);
        if (p.voice && p.socket == m_calleeSide) {
            Observer observer;
            {
                std::lock_guard guard(m_lock);
                observer = m_observer;
            }
            if (observer) {
                observer(p.index, Clock::now());
            }
        }
    }
}

}  // namespace testsupport
