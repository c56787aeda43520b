#pragma once

// A forwarder on the path between two engines: the caller calls the tap, which passes every
// datagram on to the callee and back, keeps a copy of each, may rewrite them on the way (an
// active man in the middle) and may send datagrams of its own to the callee (an injector).

#include <poll.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "EngineTestSupport.h"

namespace enginetest {

class UdpTap {
  public:
    enum class Way { kToCallee, kToCaller };
    struct Datagram {
        Way way;
        std::vector<uint8_t> bytes;
    };
    // Sees each datagram before it is passed on; may change it, or empty it to drop it.
    using Rewrite = std::function<void(Way, std::vector<uint8_t>*)>;

    explicit UdpTap(uint16_t calleePort, Rewrite rewrite = {})
        : m_callee(Address("127.0.0.1", calleePort)), m_rewrite(std::move(rewrite)) {
        m_thread = std::thread([this] { Run(); });
    }
    ~UdpTap() {
        m_stop = true;
        m_thread.join();
    }
    UdpTap(const UdpTap&) = delete;
    UdpTap& operator=(const UdpTap&) = delete;

    // The port the caller calls.
    uint16_t Port() const { return m_callerSide.Port(); }

    // Sends `bytes` to the callee from the tap's callee-side socket, as if the caller sent them.
    void InjectToCallee(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        m_calleeSide.SendTo(m_callee, bytes);
    }
    // Sends `bytes` to the caller, as if the callee sent them.
    void InjectToCaller(const std::vector<uint8_t>& bytes) {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        m_callerSide.SendTo(m_caller, bytes);
    }

    std::vector<Datagram> Seen() {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        return m_seen;
    }

  private:
    void Run() {
        while (!m_stop) {
            if (auto bytes = m_callerSide.Receive(20)) {
                Pass(Way::kToCallee, std::move(*bytes));
            }
            if (auto bytes = m_calleeSide.Receive(1)) {
                Pass(Way::kToCaller, std::move(*bytes));
            }
        }
    }

    void Pass(Way way, std::vector<uint8_t> bytes) {
        std::lock_guard<std::recursive_mutex> lock(m_lock);
        if (way == Way::kToCallee) {
            m_caller = m_callerSide.Peer();
        }
        if (m_rewrite) {
            m_rewrite(way, &bytes);
        }
        if (bytes.empty()) {
            return;
        }
        m_seen.push_back({way, bytes});
        if (way == Way::kToCallee) {
            m_calleeSide.SendTo(m_callee, bytes);
        } else {
            m_callerSide.SendTo(m_caller, bytes);
        }
    }

    UdpPeer m_callerSide;
    UdpPeer m_calleeSide;
    const sockaddr_in m_callee;
    sockaddr_in m_caller{};
    Rewrite m_rewrite;
    std::recursive_mutex m_lock;  // a rewrite may inject
    std::vector<Datagram> m_seen;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

}  // namespace enginetest
