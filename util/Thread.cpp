#include "util/Thread.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <system_error>

#include "util/Messages.h"

struct Thread::State {
    enum class Gate { Held, Open, Cancelled };

    Routine routine = nullptr;
    void* argument = nullptr;
    uint32_t id = 0;
    std::atomic<int> running{0};
    std::atomic<int> started{0};

    std::mutex lock;
    std::condition_variable changed;
    Gate gate = Gate::Held;
    bool finished = false;
};

Thread::Thread(Routine routine, void* argument) : m_state(std::make_shared<State>()) {
    m_state->routine = routine;
    m_state->argument = argument;
    m_id = zorvo::detail::CreateThreadQueue();
    m_state->id = m_id;
    try {
        m_thread = std::thread(&Thread::_ThreadFunc, m_state);
        m_hasHandle = true;
    } catch (const std::system_error&) {
        // No thread: waits fail and Resume does nothing, as for a failed creation elsewhere.
        zorvo::detail::DestroyThreadQueue(m_id);
    }
}

Thread::~Thread() {
    Free();
}

void Thread::_ThreadFunc(std::shared_ptr<State> state) {
    bool run = false;
    {
        std::unique_lock lock(state->lock);
        state->changed.wait(lock, [&] { return state->gate != State::Gate::Held; });
        run = state->gate == State::Gate::Open;
    }
    if (run) {
        zorvo::detail::AdoptThreadId(state->id);
        state->started.store(1);
        state->running.store(1);
        state->routine(state->argument);  // its result is not used
        state->running.store(0);
    }
    zorvo::detail::DestroyThreadQueue(state->id);
    {
        std::lock_guard lock(state->lock);
        state->finished = true;
    }
    state->changed.notify_all();
}

void Thread::Resume() {
    if (!m_hasHandle) {
        return;
    }
    {
        std::lock_guard lock(m_state->lock);
        if (m_state->gate != State::Gate::Held) {
            return;
        }
        m_state->gate = State::Gate::Open;
    }
    m_state->changed.notify_all();
}

uint32_t Thread::WaitForDeath(uint32_t milliseconds) {
    if (!m_hasHandle) {
        return kWaitFailed;
    }
    std::unique_lock lock(m_state->lock);
    auto ended = [this] { return m_state->finished; };
    if (milliseconds == INFINITE) {
        m_state->changed.wait(lock, ended);
    } else if (!m_state->changed.wait_for(lock, std::chrono::milliseconds(milliseconds), ended)) {
        return kWaitTimeout;
    }
    return kWaitObject0;
}

uint32_t Thread::Free() {
    if (!m_hasHandle) {
        return 0;
    }
    m_hasHandle = false;
    bool finishedOrCancelled = false;
    {
        std::lock_guard lock(m_state->lock);
        if (m_state->gate == State::Gate::Held) {
            m_state->gate = State::Gate::Cancelled;
        }
        finishedOrCancelled = m_state->finished || m_state->gate == State::Gate::Cancelled;
    }
    m_state->changed.notify_all();
    if (finishedOrCancelled && m_thread.get_id() != std::this_thread::get_id()) {
        m_thread.join();  // returns at once: the thread has ended or is leaving its gate
    } else {
        m_thread.detach();  // still running its routine; the shared state keeps it safe
    }
    return 0;
}

int Thread::IsRunning() const {
    return m_state->running.load();
}

int Thread::HasStarted() const {
    return m_state->started.load();
}
