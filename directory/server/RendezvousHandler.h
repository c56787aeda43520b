#pragma once

#include <netinet/in.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <mutex>
#include <string>
#include <vector>

#include "directory/server/RendezvousRegistry.h"
#include "stun/StunMessage.h"

// The rendezvous's handling of datagrams, without a socket: each received datagram, and each
// tick of the clock, gives the datagrams to send. It answers plain Binding requests, takes the
// keep-alives of registered clients, sends call notices (again every 250 ms, four times at most,
// until the callee acknowledges one) and forwards relay offers under a caller's token.
// Nothing is ever answered or sent that the rules below do not allow:
//  - an unauthenticated datagram gets an answer only when it is a plain Binding request;
//  - notices go only to a registered user's registration address;
//  - each source address has a budget of datagrams a second, and the plain answers of all
//    sources together another; what is over it is dropped, never queued.

struct RendezvousSettings {
    int64_t onlineSeconds = 120;     // a user's key lasts this long after its last heartbeat
    std::function<int64_t()> clock;  // seconds since the epoch; default the system clock
    double sourceRate = 100;         // datagrams a second one source address may send
    double sourceBurst = 200;
    double answerRate = 20000;  // plain Binding answers a second, all sources together
    double answerBurst = 20000;
};

struct OutDatagram {
    sockaddr_in to{};
    std::vector<uint8_t> bytes;
};

// A budget of events a second that refills continuously up to its burst.
class TokenBucket {
  public:
    TokenBucket(double rate, double burst) : m_rate(rate), m_burst(burst), m_tokens(burst) {}
    bool Take(int64_t nowMs);

  private:
    double m_rate;
    double m_burst;
    double m_tokens;
    int64_t m_lastMs = 0;
};

// The budgets of source addresses in a table of fixed size: an address shares its slot with
// those that hash alike until one of them takes the slot over (starting again with a full
// budget), so memory never grows with the number of addresses.
class SourceBudgets {
  public:
    SourceBudgets(double rate, double burst) : m_rate(rate), m_burst(burst) {}
    bool Take(uint32_t address, int64_t nowMs);

  private:
    struct Slot {
        uint32_t address = 0;
        double tokens = 0;
        int64_t lastMs = 0;
        bool used = false;
    };
    double m_rate;
    double m_burst;
    std::array<Slot, 4096> m_slots{};
};

class RendezvousHandler {
  public:
    RendezvousHandler(RendezvousRegistry& registry, RendezvousSettings settings);

    // One received datagram from `from`; what to send goes to *out. Called by one thread.
    void OnDatagram(const uint8_t* data, size_t size, const sockaddr_in& from, int64_t nowMs,
                    std::vector<OutDatagram>* out);
    // Sends new notices and the retransmissions that are due. Called by the same thread.
    void OnTimer(int64_t nowMs, std::vector<OutDatagram>* out);
    // When OnTimer has work next (milliseconds on the clock of nowMs); INT64_MAX for none.
    int64_t NextDue() const;

    // A call notice to send; may be called from any thread. Dropped when too many wait.
    void Order(const CallNoticeOrder& order);

    // Calls this process rang (first notices) and calls that went to the relay (forwarded
    // relay offers) since the last call; from any thread.
    struct Counts {
        uint64_t calls = 0;
        uint64_t relayed = 0;
    };
    Counts TakeCounts();

    static constexpr int kNoticeSends = 4;
    static constexpr int64_t kNoticeIntervalMs = 250;
    static constexpr size_t kMaxWaitingOrders = 256;
    static constexpr size_t kMaxPendingNotices = 1024;

  private:
    std::atomic<uint64_t> m_calls{0};
    std::atomic<uint64_t> m_relayedCalls{0};

    struct Pending {
        stun::TransactionId transaction{};
        std::string key;  // the callee's
        OutDatagram datagram;
        int sent = 0;
        int64_t dueMs = 0;
    };

    int64_t Now() const;
    // The user and key of an authenticated message: USERNAME, MESSAGE-INTEGRITY with the key of
    // that user's presence, FINGERPRINT. False for anything else.
    bool Authenticate(const stun::Message& m, std::string* name, RendezvousPeer* peer) const;
    void AnswerPlainBinding(const stun::Message& m, const sockaddr_in& from, int64_t nowMs,
                            std::vector<OutDatagram>* out);
    void TakeKeepAlive(const stun::Message& m, const sockaddr_in& from,
                       std::vector<OutDatagram>* out);
    void TakeAcknowledgement(const stun::Message& m);
    void TakeRelayOffer(const stun::Message& m, const sockaddr_in& from,
                        std::vector<OutDatagram>* out);
    // Makes the notice of an order ready to send; false when the callee is not registered.
    bool Prepare(const CallNoticeOrder& order, int64_t nowMs, Pending* p) const;

    RendezvousRegistry& m_registry;
    RendezvousSettings m_settings;
    SourceBudgets m_sources;
    TokenBucket m_answers;
    std::vector<Pending> m_pending;
    std::mutex m_ordersLock;
    std::deque<CallNoticeOrder> m_orders;
};
