#pragma once

#include <cstdint>
#include <memory>
#include <thread>

#include "util/Export.h"

// One operating-system thread that is created held at a start gate ("suspended") and runs its
// routine only after Resume. Its id and message queue exist from construction on, so messages can
// be posted to it before it runs.
class UTIL_API Thread {
  public:
    using Routine = uint32_t (*)(void* argument);

    static constexpr uint32_t kWaitObject0 = 0;           // the thread has ended
    static constexpr uint32_t kWaitTimeout = 258;         // still running when the wait ran out
    static constexpr uint32_t kWaitFailed = 0xFFFFFFFFu;  // no thread (freed or never created)

    Thread(Routine routine, void* argument);
    ~Thread();

    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // Lets the thread run its routine; only the first call has an effect.
    void Resume();

    // Waits up to `milliseconds` (INFINITE: no limit) for the thread to end: kWaitObject0 when it
    // has ended, kWaitTimeout when not (a thread never resumed never ends), kWaitFailed at once
    // when the handle was freed or the thread could not be created.
    uint32_t WaitForDeath(uint32_t milliseconds);

    // Lets go of the thread: a thread still running goes on by itself, one never resumed is ended
    // without running its routine. Later waits fail. Always returns 0; a second call does nothing.
    uint32_t Free();

    uint32_t GetID() const { return m_id; }

    // 1 from the moment the routine starts until it returns, 0 before and after.
    int IsRunning() const;

    // 1 once the routine has started; never cleared.
    int HasStarted() const;

    struct State;

  private:
    static void _ThreadFunc(std::shared_ptr<State> state);

    std::shared_ptr<State> m_state;
    std::thread m_thread;
    uint32_t m_id = 0;
    bool m_hasHandle = false;
};
