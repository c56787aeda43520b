#pragma once

// Test support for the engine: a window that records every notification, a raw UDP peer that
// speaks the wire protocol by hand, fast protocol timings and WAV helpers.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "engine/Voxlane.h"
#include "testsupport/FreePort.h"
#include "util/Messages.h"
#include "util/Statistics.h"
#include "util/Thread.h"
#include "util/TickCount.h"

namespace enginetest {

struct Event {
    unsigned code;
    uintptr_t value;
    std::string text;  // debug text
    uint32_t tick;     // when it was handled
};

// A window on a thread of its own that keeps every WM_ENGINE_STATUS it receives. An optional
// reaction runs for each event on that thread (as the program's window would react).
class StatusLog {
  public:
    StatusLog() : m_pump(&StatusLog::PumpThread, this) {
        m_window = RegisterWindow(
            [this](uint32_t message, uintptr_t code, intptr_t value) {
                if (message == WM_ENGINE_STATUS) {
                    Record(static_cast<unsigned>(code), static_cast<uintptr_t>(value));
                }
            },
            m_pump.GetID());
        m_pump.Resume();
    }

    ~StatusLog() {
        UnregisterWindow(m_window);
        PostThreadMessage(m_pump.GetID(), kQuit, 0, 0);
        m_pump.WaitForDeath(INFINITE);
    }

    HWND Window() const { return m_window; }

    void OnEvent(std::function<void(const Event&)> reaction) {
        std::lock_guard lock(m_lock);
        m_reaction = std::move(reaction);
    }

    // Waits until `count` events with `code` have arrived; true when they did in time.
    bool WaitFor(unsigned code, int count = 1, uint32_t timeoutMs = 10000) {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return CountLocked(code) >= count; });
    }

    // Waits for a debug text that contains `needle`.
    bool WaitForText(const std::string& needle, int count = 1, uint32_t timeoutMs = 10000) {
        std::unique_lock lock(m_lock);
        return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                  [&] { return CountTextLocked(needle) >= count; });
    }

    int Count(unsigned code) {
        std::lock_guard lock(m_lock);
        return CountLocked(code);
    }

    int CountText(const std::string& needle) {
        std::lock_guard lock(m_lock);
        return CountTextLocked(needle);
    }

    std::vector<Event> Events() {
        std::lock_guard lock(m_lock);
        return m_events;
    }

    // Status codes in arrival order, debug texts left out.
    std::vector<unsigned> Codes() {
        std::lock_guard lock(m_lock);
        std::vector<unsigned> codes;
        for (const auto& e : m_events) {
            if (e.code != STATUS_DEBUG_TEXT) {
                codes.push_back(e.code);
            }
        }
        return codes;
    }

    std::optional<Event> Last(unsigned code) {
        std::lock_guard lock(m_lock);
        for (auto it = m_events.rbegin(); it != m_events.rend(); ++it) {
            if (it->code == code) {
                return *it;
            }
        }
        return std::nullopt;
    }

  private:
    static constexpr uint32_t kQuit = WM_USER + 100;

    static uint32_t PumpThread(void* self) {
        ThreadMsg msg;
        while (GetMessage(msg)) {
            if (msg.message == kQuit && msg.hwnd == 0) {
                break;
            }
            DispatchMessage(msg);
        }
        // Anything still queued is freed with the queue.
        (void)self;
        return 0;
    }

    void Record(unsigned code, uintptr_t value) {
        Event e{code, value, {}, GetTickCount()};
        if (code == STATUS_DEBUG_TEXT) {
            e.text = reinterpret_cast<const char*>(value);
        }
        std::function<void(const Event&)> reaction;
        {
            std::lock_guard lock(m_lock);
            m_events.push_back(e);
            reaction = m_reaction;
        }
        m_changed.notify_all();
        if (reaction) {
            reaction(e);
        }
    }

    int CountLocked(unsigned code) const {
        return static_cast<int>(std::count_if(m_events.begin(), m_events.end(),
                                              [&](const Event& e) { return e.code == code; }));
    }

    int CountTextLocked(const std::string& needle) const {
        return static_cast<int>(
            std::count_if(m_events.begin(), m_events.end(), [&](const Event& e) {
                return e.code == STATUS_DEBUG_TEXT && e.text.find(needle) != std::string::npos;
            }));
    }

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Event> m_events;
    std::function<void(const Event&)> m_reaction;
    Thread m_pump;
    HWND m_window = 0;
};

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

// Protocol timings shortened about twentyfold, so that handshake tests take fractions of a second.
inline EngineTiming FastTiming() {
    EngineTiming t;
    t.callerReceiveWaitMs = 250;
    t.calleeReceiveWaitMs = 100;
    t.listenErrorPauseMs = 50;
    t.nonConnectPauseMs = 100;
    t.decisionPollMs = 20;
    t.answerPauseMs = 5;
    t.callReceiveWaitMs = 100;
    t.lostPauseMs = 5;
    t.sendFailurePauseMs = 50;
    return t;
}

inline in_addr Loopback() {
    in_addr a{};
    inet_pton(AF_INET, "127.0.0.1", &a);
    return a;
}

}  // namespace enginetest
