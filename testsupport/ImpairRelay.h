#pragma once

// A UDP relay that sits between a caller and a callee on this machine and makes the line between
// them worse in a controlled way. The caller calls the relay's port; the relay passes everything
// on to the callee from a socket of its own and everything the callee sends back to the caller.
// Both engines see the relay as their peer: it sends from the loopback address, which is what
// each engine checks (the port is never compared).
//
// Voice frames (MSG_VOICE) are impaired, per direction, by: a fixed delay; a random extra delay
// up to the jitter (frames overtake each other when it exceeds their spacing); loss; duplication
// (the copy takes its own jitter); and a clock-rate difference, as when the sender's sound card
// runs faster or slower than the receiver's: the frames are passed on on a time scale stretched
// by 1/rate from the first frame on. A rate above 1 makes the frames arrive faster than they are
// sent, so the relay needs a head start: `holdMs` holds the first frame back, and must be at least
// the call's length times (1 - 1/rate). Set-up and control records pass at once, untouched.
// The random choices come from a seeded generator: the same seed impairs a call the same way.

#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace testsupport {

struct Impairment {
    double delayMs = 0;
    double jitterMs = 0;   // extra delay, uniform in [0, jitterMs]
    double loss = 0;       // share of frames dropped, 0 to 1
    double duplicate = 0;  // share of frames sent twice, 0 to 1
    double rate = 1;       // sender's clock against real time: 1.005 = 0.5% fast
    double holdMs = 0;     // head start for rate > 1
};

class ImpairRelay {
  public:
    using Clock = std::chrono::steady_clock;
    // Called on the relay's thread for each voice frame handed to the callee (index: the frame's
    // place in the caller's sending order, from 0; a duplicate repeats its index).
    using Observer = std::function<void(uint64_t index, Clock::time_point sent)>;

    // Relays to the callee at 127.0.0.1:`calleePort`.
    ImpairRelay(uint16_t calleePort, const Impairment& toCallee, const Impairment& toCaller,
                uint32_t seed = 1);
    ~ImpairRelay();
    ImpairRelay(const ImpairRelay&) = delete;
    ImpairRelay& operator=(const ImpairRelay&) = delete;

    // False when a socket could not be made.
    bool Ok() const { return m_ok; }
    // The port the caller calls.
    uint16_t Port() const { return m_callerSidePort; }

    void OnVoiceToCallee(Observer observer);

    struct Counts {
        uint64_t voice = 0;       // voice frames received from the sender
        uint64_t dropped = 0;     // lost on purpose
        uint64_t duplicated = 0;  // sent twice
    };
    Counts ToCallee() const;
    Counts ToCaller() const;

  private:
    struct Pending {
        Clock::time_point due;
        int socket;
        sockaddr_in to;
        std::vector<uint8_t> bytes;
        bool voice;
        uint64_t index;
        bool operator>(const Pending& other) const { return due > other.due; }
    };
    struct Direction {
        Impairment impairment;
        bool started = false;
        Clock::time_point first{};
        uint64_t next = 0;
        Counts counts;
    };

    void Run();
    void Receive(int socket);
    void Schedule(Direction& direction, bool towardsCallee, std::vector<uint8_t> bytes);
    void SendDue();
    double Uniform();

    bool m_ok = false;
    int m_callerSide = -1;  // the caller talks to this one
    int m_calleeSide = -1;  // this one talks to the callee
    uint16_t m_callerSidePort = 0;
    sockaddr_in m_callee{};
    sockaddr_in m_caller{};
    bool m_haveCaller = false;
    int m_stop[2] = {-1, -1};

    mutable std::mutex m_lock;  // the counts and the observer
    Direction m_toCallee;
    Direction m_toCaller;
    Observer m_observer;
    std::vector<Pending> m_queue;  // a heap, earliest first
    std::mt19937 m_random;
    std::thread m_thread;
};

}  // namespace testsupport
