#pragma once

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <map>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "stun/StunMessage.h"

namespace calltest {

// The directory's rendezvous played by a test on a loopback UDP port, on a thread of its own: it
// answers registrations of the users it knows (their key checked, as the real one does) and
// sends call notices when the test asks, until the callee acknowledges them.
class FakeRendezvous {
  public:
    FakeRendezvous() {
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(m_fd, reinterpret_cast<sockaddr*>(&local), sizeof local);
        socklen_t length = sizeof local;
        getsockname(m_fd, reinterpret_cast<sockaddr*>(&local), &length);
        m_address = local;
        m_thread = std::thread([this] { Serve(); });
    }
    ~FakeRendezvous() {
        m_stop = true;
        m_thread.join();
        close(m_fd);
    }
    FakeRendezvous(const FakeRendezvous&) = delete;
    FakeRendezvous& operator=(const FakeRendezvous&) = delete;

    const sockaddr_in& Address() const { return m_address; }
    uint16_t Port() const { return ntohs(m_address.sin_port); }

    void AddUser(const std::string& user, const std::string& key) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_keys[user] = key;
    }

    // How many registrations of `user` were answered, and the source of the last one.
    int Registrations(const std::string& user) const {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_registrations.find(user);
        return found == m_registrations.end() ? 0 : found->second;
    }
    std::optional<sockaddr_in> RegisteredAt(const std::string& user) const {
        std::lock_guard<std::mutex> lock(m_lock);
        const auto found = m_registeredAt.find(user);
        return found == m_registeredAt.end() ? std::nullopt : std::optional(found->second);
    }
    // Datagrams received in all, answered or not.
    int Datagrams() const { return m_datagrams.load(); }

    // Sends `callee`, at its registered address, a call notice of `caller` with `token` and the
    // caller's candidates: up to 4 times, 250 ms apart, until acknowledged. True when it was.
    bool Notify(const std::string& callee, const std::string& token, const std::string& caller,
                const std::vector<stun::Candidate>& candidates) {
        std::string key;
        std::optional<sockaddr_in> to;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            key = m_keys[callee];
            to = RegisteredAtLocked(callee);
        }
        if (!to) {
            return false;
        }
        const stun::TransactionId transaction = stun::NewTransactionId();
        stun::Builder notice(stun::kCallNotice, stun::Class::kRequest, transaction);
        notice.Bytes(stun::kZorvoToken, token).Text(stun::kZorvoCaller, caller);
        for (const stun::Candidate& candidate : candidates) {
            notice.AddCandidate(candidate);
        }
        notice.Integrity(key).Fingerprint();
        for (int i = 0; i < 4; ++i) {
            SendTo(*to, notice.Bytes());
            std::this_thread::sleep_for(std::chrono::milliseconds(250));
            std::lock_guard<std::mutex> lock(m_lock);
            if (m_acknowledged.count(transaction) != 0) {
                return true;
            }
        }
        return false;
    }

  private:
    std::optional<sockaddr_in> RegisteredAtLocked(const std::string& user) const {
        const auto found = m_registeredAt.find(user);
        return found == m_registeredAt.end() ? std::nullopt : std::optional(found->second);
    }

    void SendTo(const sockaddr_in& to, const std::vector<uint8_t>& bytes) {
        sendto(m_fd, bytes.data(), bytes.size(), 0, reinterpret_cast<const sockaddr*>(&to),
               sizeof to);
    }

    void Serve() {
        std::vector<uint8_t> buffer(2048);
        while (!m_stop.load()) {
            pollfd fd{m_fd, POLLIN, 0};
            if (poll(&fd, 1, 50) <= 0) {
                continue;
            }
            sockaddr_in from{};
            socklen_t length = sizeof from;
            const ssize_t n = recvfrom(m_fd, buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &length);
            if (n <= 0) {
                continue;
            }
            ++m_datagrams;
            if (const auto message = stun::Message::Parse(buffer.data(), static_cast<size_t>(n))) {
                Handle(*message, from);
            }
        }
    }

    void Handle(const stun::Message& message, const sockaddr_in& from) {
        if (message.Method() == stun::kCallNotice && message.Kind() == stun::Class::kSuccess) {
            std::lock_guard<std::mutex> lock(m_lock);
            m_acknowledged.insert(message.Transaction());
            return;
        }
        if (message.Method() != stun::kBinding || message.Kind() != stun::Class::kRequest) {
            return;
        }
        const std::string user(message.Find(stun::kUsername).value_or(""));
        std::string key;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            const auto found = m_keys.find(user);
            if (found == m_keys.end() || !message.CheckIntegrity(found->second)) {
                return;  // an unknown user or a wrong key gets no answer
            }
            key = found->second;
            ++m_registrations[user];
            m_registeredAt[user] = from;
        }
        stun::Builder answer(stun::kBinding, stun::Class::kSuccess, message.Transaction());
        answer.XorAddress(stun::kXorMappedAddress, from).Integrity(key).Fingerprint();
        SendTo(from, answer.Bytes());
    }

    int m_fd = -1;
    sockaddr_in m_address{};
    std::atomic<bool> m_stop{false};
    std::atomic<int> m_datagrams{0};
    mutable std::mutex m_lock;
    std::map<std::string, std::string> m_keys;
    std::map<std::string, int> m_registrations;
    std::map<std::string, sockaddr_in> m_registeredAt;
    std::set<stun::TransactionId> m_acknowledged;
    std::thread m_thread;
};

}  // namespace calltest
