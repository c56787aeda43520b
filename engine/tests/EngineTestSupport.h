#pragma once

// Test support for the engine: a raw UDP peer that speaks the wire protocol by hand, records built
// by hand, and the shared window and timings of testsupport/.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "engine/Voxlane.h"
#include "testsupport/FastTiming.h"
#include "testsupport/FreePort.h"
#include "testsupport/StatusLog.h"
#include "util/Messages.h"
#include "util/Statistics.h"
#include "util/Thread.h"
#include "util/TickCount.h"

namespace enginetest {

using testsupport::Event;
using testsupport::FastTiming;
using testsupport::StatusLog;

inline sockaddr_in Address(const char* ip, uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    inet_pton(AF_INET, ip, &a.sin_addr);
    return a;
}

// A UDP socket on a loopback address that sends and receives raw bytes.
class UdpPeer {
  public:
    explicit UdpPeer(const char* ip = "127.0.0.1", uint16_t port = 0) {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local = Address(ip, port);
        m_bound = bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local) == 0;
        socklen_t length = sizeof local;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length);
        m_port = ntohs(local.sin_port);
    }
    ~UdpPeer() { close(m_fd); }
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool Bound() const { return m_bound; }
    uint16_t Port() const { return m_port; }

    void SendTo(const sockaddr_in& to, const std::vector<uint8_t>& bytes) {
        sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
    }
    void Send(const std::vector<uint8_t>& bytes) { SendTo(m_peer, bytes); }

    // Receives one datagram within `timeoutMs`; remembers its sender as the peer.
    std::optional<std::vector<uint8_t>> Receive(uint32_t timeoutMs) {
        pollfd fd{m_fd, POLLIN, 0};
        if (poll(&fd, 1, static_cast<int>(timeoutMs)) <= 0) {
            return std::nullopt;
        }
        std::vector<uint8_t> bytes(65536);
        sockaddr_in from{};
        socklen_t length = sizeof from;
        const ssize_t n = recvfrom(m_fd, bytes.data(), bytes.size(), 0,
                                   reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) {
            return std::nullopt;
        }
        bytes.resize(static_cast<size_t>(n));
        m_peer = from;
        return bytes;
    }

    // Receives until a record of `type` arrives (others are collected into `skipped`).
    std::optional<std::vector<uint8_t>> ReceiveType(
        uint8_t type, uint32_t timeoutMs, std::vector<std::vector<uint8_t>>* skipped = nullptr) {
        const uint32_t start = GetTickCount();
        while (GetTickCount() - start < timeoutMs) {
            auto bytes = Receive(timeoutMs - (GetTickCount() - start));
            if (!bytes) {
                break;
            }
            if (bytes->size() > 4 && (*bytes)[4] == type) {
                return bytes;
            }
            if (skipped) {
                skipped->push_back(*bytes);
            }
        }
        return std::nullopt;
    }

    const sockaddr_in& Peer() const { return m_peer; }
    void SetPeer(const sockaddr_in& peer) { m_peer = peer; }

  private:
    int m_fd = -1;
    bool m_bound = false;
    uint16_t m_port = 0;
    sockaddr_in m_peer{};
};

inline std::vector<uint8_t> Record(uint8_t type, uint32_t length = 0, uint32_t samples = 0) {
    std::vector<uint8_t> bytes(13 + length, 0);
    ZorvoMsg msg(bytes.data(), bytes.size());
    msg.SetSignature();
    msg.SetType(type);
    msg.SetSampleCount(samples);
    msg.SetLength(length);
    return bytes;
}

inline std::vector<uint8_t> ConnectRequest(const char* name) {
    std::vector<uint8_t> bytes(zorvo::wire::kSetupBufferSize);
    bytes.resize(zorvo::wire::BuildConnectRequest(bytes.data(), bytes.size(), name));
    return bytes;
}

inline std::vector<uint8_t> Probe(uint8_t type, uint32_t tick) {
    std::vector<uint8_t> bytes(zorvo::wire::kSetupBufferSize);
    bytes.resize(zorvo::wire::BuildProbe(bytes.data(), bytes.size(), type, tick));
    return bytes;
}

using testsupport::FreeUdpPort;

inline in_addr Loopback() {
    in_addr a{};
    inet_pton(AF_INET, "127.0.0.1", &a);
    return a;
}

}  // namespace enginetest
