#pragma once

// Thread message queues and window handles.
//
// Every thread has one message queue, addressed by a 32-bit thread id that is never reused within
// the process. A `Thread` creates its queue when it is constructed, so that a message posted before
// the thread runs is kept; any other thread gets its id and queue the first time it asks for
// them. A queue goes away with its thread; posting to it afterwards fails harmlessly.
//
// A window is a message sink (a function) owned by one thread. Posting to a window puts the
// message on the owner thread's queue; the owner's message loop hands it to the sink through
// `DispatchMessage`. Posting to a window that is gone is a harmless no-op.

#include <cstdint>
#include <functional>

#include "util/Export.h"

using HWND = uint32_t;  // window handle; 0 is no window

constexpr uint32_t INFINITE = 0xFFFFFFFFu;
constexpr uint32_t WM_USER = 0x0400;

// Frees whatever a message's lParam owns. Called exactly once for a message that carries one:
// after its sink has handled it, or when the message is dropped undelivered.
using MessageDisposer = void (*)(intptr_t lParam);

struct ThreadMsg {
    HWND hwnd = 0;  // 0 for a thread message
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
    MessageDisposer dispose = nullptr;
};

using WindowSink = std::function<void(uint32_t message, uintptr_t wParam, intptr_t lParam)>;

// --- thread queues -----------------------------------------------------------------------------

// The calling thread's id (creates its queue on first use).
UTIL_API uint32_t GetCurrentThreadId();

// Queues a thread message; 1 on success, 0 when no thread with that id has a queue.
UTIL_API int PostThreadMessage(uint32_t threadId, uint32_t message, uintptr_t wParam,
                               intptr_t lParam);

// Takes the next message of the calling thread's queue, waiting as long as needed. Returns 1.
UTIL_API int GetMessage(ThreadMsg& msg);

// As GetMessage, waiting at most `milliseconds` (INFINITE: no limit). 1 with a message, 0 on
// time-out.
UTIL_API int GetMessageTimeout(ThreadMsg& msg, uint32_t milliseconds);

// Looks at the next message without waiting: 1 and the message when there is one (taken off the
// queue when `remove` is true), 0 when the queue is empty.
UTIL_API int PeekMessage(ThreadMsg& msg, bool remove);

// Hands a window message to its window's sink (when the window still exists), then frees what the
// message owns. Thread messages are only freed.
UTIL_API void DispatchMessage(ThreadMsg& msg);

// Frees what a message owns without delivering it.
UTIL_API void DisposeMessage(ThreadMsg& msg);

// Dispatches every message waiting on the calling thread's queue; returns how many there were.
UTIL_API int PumpMessages();

// Installs a function that is called, on the posting thread, after each message put on the
// queue of `threadId`. A thread whose loop is not a GetMessage loop (a GUI toolkit's) uses it to
// schedule a PumpMessages on itself. An empty function removes it. 1 on success, 0 when no such
// queue exists.
UTIL_API int SetQueueWakeHook(uint32_t threadId, std::function<void()> hook);

// --- windows -----------------------------------------------------------------------------------

// Registers a sink owned by `ownerThreadId` and returns its new handle (never 0, never reused).
UTIL_API HWND RegisterWindow(WindowSink sink, uint32_t ownerThreadId);
UTIL_API HWND RegisterWindow(WindowSink sink);  // owned by the calling thread

// Removes a window; messages still queued for it are dropped (and freed) when dispatched.
UTIL_API void UnregisterWindow(HWND window);

UTIL_API int IsWindow(HWND window);

// Queues a message for the window on its owner's queue. 1 on success, 0 when the window is gone.
UTIL_API int PostMessage(HWND window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// As PostMessage for a message whose lParam owns storage that `dispose` frees once the message
// has been handled or dropped; when the post fails, `dispose` has already run.
UTIL_API int PostOwnedMessage(HWND window, uint32_t message, uintptr_t wParam, intptr_t lParam,
                              MessageDisposer dispose);

// Called from the window's owner thread: runs the sink at once. From any other thread: queues the
// message like PostMessage and returns without waiting. 1 on success, 0 when the window is gone.
UTIL_API int SendNotifyMessage(HWND window, uint32_t message, uintptr_t wParam, intptr_t lParam);

// --- used by Thread ----------------------------------------------------------------------------

namespace zorvo::detail {
// Allocates a fresh thread id with an empty queue.
UTIL_API uint32_t CreateThreadQueue();
// Makes `threadId` the calling thread's id (called first thing on a new Thread).
UTIL_API void AdoptThreadId(uint32_t threadId);
// Removes a queue; messages still in it are freed.
UTIL_API void DestroyThreadQueue(uint32_t threadId);
}  // namespace zorvo::detail
