#pragma once

#include <atomic>
#include <cstdint>

// Where one engine stands in its call. Every change goes through CallState::Move or BeginStop.
//
//   Idle --StartServer--> Listening --connect request--> AwaitingDecision
//   AwaitingDecision --rejected--> Listening
//   AwaitingDecision --accepted, call threads resumed--> Connected
//   Listening or AwaitingDecision --server gives up--> Idle
//   Idle --Connect--> Calling --MSG_RINGING--> Ringing
//   Calling or Ringing --accepted, call threads resumed--> Connected
//   Calling or Ringing --rejected, unanswered or stopped--> Idle
//   Connected --record-send thread sent MSG_HANGUP--> Ended
//   any --Stop--> Stopping (the phase is kept beside it; nothing enters Connected any more)
enum class CallPhase : uint8_t {
    kIdle,
    kListening,
    kAwaitingDecision,
    kCalling,
    kRinging,
    kConnected,
    kEnded,
};

class CallState {
  public:
    CallPhase Phase() const { return PhaseOf(m_word.load()); }
    // Stop has begun; never cleared.
    bool Stopping() const { return (m_word.load() & kStopBit) != 0; }
    // A call attempt or a server occupies the engine.
    bool Busy() const { return Phase() != CallPhase::kIdle; }
    bool Connected() const { return Phase() == CallPhase::kConnected; }
    // The call came up, so both call threads were resumed (or are about to be).
    bool CallThreadsStarted() const {
        const CallPhase phase = Phase();
        return phase == CallPhase::kConnected || phase == CallPhase::kEnded;
    }

    // Moves from `from` to `to`; false when the engine is in another phase. Entering Connected
    // also fails once Stop has begun, so no call thread starts behind Stop's back.
    bool Move(CallPhase from, CallPhase to) {
        uint32_t word = m_word.load();
        for (;;) {
            if (PhaseOf(word) != from) {
                return false;
            }
            if (to == CallPhase::kConnected && (word & kStopBit) != 0) {
                return false;
            }
            const uint32_t next = (word & kStopBit) | static_cast<uint32_t>(to);
            if (m_word.compare_exchange_weak(word, next)) {
                return true;
            }
        }
    }
    // Moves from either of two phases.
    bool Move(CallPhase from1, CallPhase from2, CallPhase to) {
        return Move(from1, to) || Move(from2, to);
    }

    void BeginStop() { m_word.fetch_or(kStopBit); }

  private:
    static constexpr uint32_t kStopBit = 0x100;
    static CallPhase PhaseOf(uint32_t word) { return static_cast<CallPhase>(word & 0xFF); }

    std::atomic<uint32_t> m_word{static_cast<uint32_t>(CallPhase::kIdle)};
};
