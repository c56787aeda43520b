#include "util/Messages.h"

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "util/RingQueue.h"

namespace {

class MessageQueue {
  public:
    ~MessageQueue() {
        while (!m_messages.empty()) {
            ThreadMsg msg = m_messages.pop();
            DisposeMessage(msg);
        }
    }

    void Push(const ThreadMsg& msg) {
        std::function<void()> wake;
        {
            std::lock_guard lock(m_lock);
            m_messages.push(msg);
            wake = m_wake;
        }
        m_ready.notify_one();
        if (wake) {
            wake();
        }
    }

    // Waits up to `milliseconds` (INFINITE: without limit) for a message.
    bool Take(ThreadMsg& msg, uint32_t milliseconds) {
        std::unique_lock lock(m_lock);
        auto ready = [this] { return !m_messages.empty(); };
        if (milliseconds == INFINITE) {
            m_ready.wait(lock, ready);
        } else if (!m_ready.wait_for(lock, std::chrono::milliseconds(milliseconds), ready)) {
            return false;
        }
        msg = m_messages.pop();
        return true;
    }

    bool Peek(ThreadMsg& msg, bool remove) {
        std::lock_guard lock(m_lock);
        if (m_messages.empty()) {
            return false;
        }
        msg = remove ? m_messages.pop() : m_messages.front();
        return true;
    }

    void SetWake(std::function<void()> wake) {
        std::lock_guard lock(m_lock);
        m_wake = std::move(wake);
    }

  private:
    std::mutex m_lock;
    std::condition_variable m_ready;
    zorvo::RingQueue<ThreadMsg> m_messages;
    std::function<void()> m_wake;
};

struct Window {
    WindowSink sink;
    uint32_t owner;
};

// All queues and windows of the process. Lookups copy a shared pointer under the lock and use the
// object outside it, so a queue or window can go away while another thread is using it.
struct Registry {
    std::mutex lock;
    std::unordered_map<uint32_t, std::shared_ptr<MessageQueue>> queues;
    std::unordered_map<HWND, std::shared_ptr<const Window>> windows;
    uint32_t nextThreadId = 1;
    HWND nextWindow = 1;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry;  // never destroyed: threads may outlive statics
    return *registry;
}

std::shared_ptr<MessageQueue> FindQueue(uint32_t threadId) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.lock);
    auto it = r.queues.find(threadId);
    return it == r.queues.end() ? nullptr : it->second;
}

std::shared_ptr<const Window> FindWindow(HWND window) {
    Registry& r = TheRegistry();
    std::lock_guard lock(r.lock);
    auto it = r.windows.find(window);
    return it == r.windows.end() ? nullptr : it->second;
}

// The id of a thread that was not made by `Thread`: taken on first use, released at thread exit.
struct AdHocThreadId {
    uint32_t id = 0;
    ~AdHocThreadId() {
        if (id != 0) {
            zorvo::detail::DestroyThreadQueue(id);
        }
    }
};

thread_local uint32_t t_threadId = 0;
thread_local AdHocThreadId t_adHoc;

int Post(HWND hwnd, uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam,
         MessageDisposer dispose) {
    ThreadMsg msg{hwnd, message, wParam, lParam, dispose};
    auto queue = FindQueue(threadId);
    if (!queue) {
        DisposeMessage(msg);
        return 0;
    }
    queue->Push(msg);
    return 1;
}

}  // namespace

namespace zorvo::detail {

uint32_t CreateThreadQueue() {
    Registry& r = TheRegistry();
    auto queue = std::make_shared<MessageQueue>();
    std::lock_guard lock(r.lock);
    const uint32_t id = r.nextThreadId++;
    r.queues.emplace(id, std::move(queue));
    return id;
}

void AdoptThreadId(uint32_t threadId) {
    t_threadId = threadId;
}

void DestroyThreadQueue(uint32_t threadId) {
    std::shared_ptr<MessageQueue> doomed;
    Registry& r = TheRegistry();
    {
        std::lock_guard lock(r.lock);
        auto it = r.queues.find(threadId);
        if (it == r.queues.end()) {
            return;
        }
        doomed = std::move(it->second);
        r.queues.erase(it);
    }
    // The queue (and any message still in it) is freed here, outside the registry lock, unless a
    // poster still holds it; then the poster's copy frees it.
}

}  // namespace zorvo::detail

uint32_t GetCurrentThreadId() {
    if (t_threadId == 0) {
        t_threadId = zorvo::detail::CreateThreadQueue();
        t_adHoc.id = t_threadId;
    }
    return t_threadId;
}

int PostThreadMessage(uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return Post(0, threadId, message, wParam, lParam, nullptr);
}

int GetMessageTimeout(ThreadMsg& msg, uint32_t milliseconds) {
    auto queue = FindQueue(GetCurrentThreadId());
    return queue && queue->Take(msg, milliseconds) ? 1 : 0;
}

int GetMessage(ThreadMsg& msg) {
    return GetMessageTimeout(msg, INFINITE);
}

int PeekMessage(ThreadMsg& msg, bool remove) {
    auto queue = FindQueue(GetCurrentThreadId());
    return queue && queue->Peek(msg, remove) ? 1 : 0;
}

void DisposeMessage(ThreadMsg& msg) {
    if (msg.dispose) {
        MessageDisposer dispose = msg.dispose;
        msg.dispose = nullptr;
        dispose(msg.lParam);
    }
}

void DispatchMessage(ThreadMsg& msg) {
    if (msg.hwnd != 0) {
        if (auto window = FindWindow(msg.hwnd)) {
            window->sink(msg.message, msg.wParam, msg.lParam);
        }
    }
    DisposeMessage(msg);
}

int PumpMessages() {
    int count = 0;
    ThreadMsg msg;
    while (PeekMessage(msg, true)) {
        DispatchMessage(msg);
        ++count;
    }
    return count;
}

int SetQueueWakeHook(uint32_t threadId, std::function<void()> hook) {
    auto queue = FindQueue(threadId);
    if (!queue) {
        return 0;
    }
    queue->SetWake(std::move(hook));
    return 1;
}

HWND RegisterWindow(WindowSink sink, uint32_t ownerThreadId) {
    Registry& r = TheRegistry();
    auto window = std::make_shared<const Window>(Window{std::move(sink), ownerThreadId});
    std::lock_guard lock(r.lock);
    const HWND handle = r.nextWindow++;
    r.windows.emplace(handle, std::move(window));
    return handle;
}

HWND RegisterWindow(WindowSink sink) {
    return RegisterWindow(std::move(sink), GetCurrentThreadId());
}

void UnregisterWindow(HWND window) {
    std::shared_ptr<const Window> doomed;
    Registry& r = TheRegistry();
    std::lock_guard lock(r.lock);
    auto it = r.windows.find(window);
    if (it != r.windows.end()) {
        doomed = std::move(it->second);
        r.windows.erase(it);
    }
}

int IsWindow(HWND window) {
    return FindWindow(window) ? 1 : 0;
}

int PostOwnedMessage(HWND window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                     MessageDisposer dispose) {
    auto target = FindWindow(window);
    if (!target) {
        ThreadMsg msg{window, message, wParam, lParam, dispose};
        DisposeMessage(msg);
        return 0;
    }
    return Post(window, target->owner, message, wParam, lParam, dispose);
}

int PostMessage(HWND window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    return PostOwnedMessage(window, message, wParam, lParam, nullptr);
}

int SendNotifyMessage(HWND window, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    auto target = FindWindow(window);
    if (!target) {
        return 0;
    }
    if (target->owner == GetCurrentThreadId()) {
        target->sink(message, wParam, lParam);
        return 1;
    }
    return Post(window, target->owner, message, wParam, lParam, nullptr);
}
