#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

#include "util/MessageBox.h"
#include "util/Messages.h"
#include "util/Thread.h"
#include "util/TickCount.h"

namespace {

struct Collected {
    std::vector<uint32_t> messages;
    std::vector<uintptr_t> wParams;
};

uint32_t CollectUntilQuit(void* arg) {
    auto* out = static_cast<Collected*>(arg);
    ThreadMsg msg;
    while (GetMessage(msg)) {
        if (msg.message == 0xDEAD) {
            break;
        }
        out->messages.push_back(msg.message);
        out->wParams.push_back(msg.wParam);
    }
    return 0;
}

TEST(ThreadQueue, MessagesPostedBeforeTheThreadRunsAreKeptInOrder) {
    Collected got;
    Thread thread(&CollectUntilQuit, &got);
    for (uintptr_t i = 0; i < 100; ++i) {
        ASSERT_EQ(PostThreadMessage(thread.GetID(), 0x3C0, i, 0), 1);
    }
    PostThreadMessage(thread.GetID(), 0xDEAD, 0, 0);
    thread.Resume();
    ASSERT_EQ(thread.WaitForDeath(5000), Thread::kWaitObject0);
    ASSERT_EQ(got.wParams.size(), 100u);
    for (uintptr_t i = 0; i < 100; ++i) {
        EXPECT_EQ(got.wParams[i], i);
    }
}

TEST(ThreadQueue, OrderFromEachOfSeveralPostersIsKept) {
    Collected got;
    Thread thread(&CollectUntilQuit, &got);
    thread.Resume();
    std::vector<std::thread> posters;
    for (uint32_t p = 0; p < 3; ++p) {
        posters.emplace_back([&, p] {
            for (uintptr_t i = 0; i < 500; ++i) {
                PostThreadMessage(thread.GetID(), 0x400 + p, i, 0);
            }
        });
    }
    for (auto& t : posters) {
        t.join();
    }
    PostThreadMessage(thread.GetID(), 0xDEAD, 0, 0);
    ASSERT_EQ(thread.WaitForDeath(5000), Thread::kWaitObject0);
    ASSERT_EQ(got.messages.size(), 1500u);
    uintptr_t next[3] = {0, 0, 0};
    for (size_t k = 0; k < got.messages.size(); ++k) {
        const uint32_t p = got.messages[k] - 0x400;
        ASSERT_LT(p, 3u);
        EXPECT_EQ(got.wParams[k], next[p]++);
    }
}

TEST(ThreadQueue, PeekWithAndWithoutRemoval) {
    ThreadMsg msg;
    EXPECT_EQ(PeekMessage(msg, true), 0);  // empty queue: no wait, nothing
    const uint32_t me = GetCurrentThreadId();
    PostThreadMessage(me, 10, 1, 0);
    PostThreadMessage(me, 11, 2, 0);
    ASSERT_EQ(PeekMessage(msg, false), 1);
    EXPECT_EQ(msg.message, 10u);
    ASSERT_EQ(PeekMessage(msg, false), 1);
    EXPECT_EQ(msg.message, 10u);  // still there
    ASSERT_EQ(PeekMessage(msg, true), 1);
    EXPECT_EQ(msg.message, 10u);
    ASSERT_EQ(GetMessage(msg), 1);
    EXPECT_EQ(msg.message, 11u);
    EXPECT_EQ(PeekMessage(msg, true), 0);
}

TEST(ThreadQueue, TimedGetWaitsForAPostFromAnotherThread) {
    const uint32_t me = GetCurrentThreadId();
    ThreadMsg msg;
    EXPECT_EQ(GetMessageTimeout(msg, 30), 0);
    std::thread poster([me] {
        Sleep(50);
        PostThreadMessage(me, 77, 0, 0);
    });
    EXPECT_EQ(GetMessageTimeout(msg, 5000), 1);
    EXPECT_EQ(msg.message, 77u);
    poster.join();
}

TEST(ThreadQueue, PostToUnknownThreadFails) {
    EXPECT_EQ(PostThreadMessage(0x7FFFFFF0, 1, 0, 0), 0);
}

int g_disposed = 0;
void CountDisposal(intptr_t) {
    ++g_disposed;
}

TEST(Window, PostsArriveOnTheOwnerThroughDispatchAndGoneHandlesAreNoOps) {
    std::vector<uintptr_t> seen;
    const HWND window = RegisterWindow(
        [&](uint32_t message, uintptr_t w, intptr_t) { seen.push_back(message + w); });
    ASSERT_NE(window, 0u);
    EXPECT_EQ(IsWindow(window), 1);

    std::thread other([window] {
        PostMessage(window, 100, 1, 0);
        SendNotifyMessage(window, 200, 2, 0);  // from another thread: queued, not run here
    });
    other.join();
    EXPECT_TRUE(seen.empty());
    EXPECT_EQ(PumpMessages(), 2);
    EXPECT_EQ(seen, (std::vector<uintptr_t>{101, 202}));

    // From the owner thread SendNotifyMessage runs the sink at once.
    EXPECT_EQ(SendNotifyMessage(window, 300, 3, 0), 1);
    EXPECT_EQ(seen.back(), 303u);

    // A message queued for a window that goes away before dispatch is dropped and freed.
    g_disposed = 0;
    EXPECT_EQ(PostOwnedMessage(window, 400, 0, 0, &CountDisposal), 1);
    UnregisterWindow(window);
    EXPECT_EQ(IsWindow(window), 0);
    EXPECT_EQ(PumpMessages(), 1);
    EXPECT_EQ(seen.size(), 3u);
    EXPECT_EQ(g_disposed, 1);

    // Posting to the gone handle does nothing and frees what the message owns.
    EXPECT_EQ(PostMessage(window, 500, 0, 0), 0);
    EXPECT_EQ(SendNotifyMessage(window, 500, 0, 0), 0);
    EXPECT_EQ(PostOwnedMessage(window, 500, 0, 0, &CountDisposal), 0);
    EXPECT_EQ(g_disposed, 2);
    EXPECT_EQ(PumpMessages(), 0);
}

TEST(Window, WakeHookRunsForEachPost) {
    std::atomic<int> wakes{0};
    const uint32_t me = GetCurrentThreadId();
    ASSERT_EQ(SetQueueWakeHook(me, [&] { wakes++; }), 1);
    const HWND window = RegisterWindow([](uint32_t, uintptr_t, intptr_t) {});
    std::thread other([window] {
        PostMessage(window, 1, 0, 0);
        PostMessage(window, 2, 0, 0);
    });
    other.join();
    EXPECT_EQ(wakes, 2);
    SetQueueWakeHook(me, {});
    PumpMessages();
    UnregisterWindow(window);
}

TEST(MessageBoxHook, HookReceivesTextAndCaption) {
    std::string text, caption;
    SetMessageBoxHook([&](const std::string& t, const std::string& c) {
        text = t;
        caption = c;
    });
    MessageBox("Bind Failed on socket 3 , Error = 98", "Bind Failed");
    SetMessageBoxHook({});
    EXPECT_EQ(caption, "Bind Failed");
    EXPECT_EQ(text, "Bind Failed on socket 3 , Error = 98");
}

}  // namespace
