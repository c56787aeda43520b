#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>

#include "util/Messages.h"
#include "util/Thread.h"
#include "util/TickCount.h"

namespace {

struct Gate {
    std::atomic<int> calls{0};
    std::atomic<int> release{0};
    std::atomic<uint32_t> seenId{0};
};

uint32_t CountAndWait(void* arg) {
    auto* gate = static_cast<Gate*>(arg);
    gate->seenId = GetCurrentThreadId();
    gate->calls++;
    while (!gate->release) {
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return 42;
}

TEST(Thread, StaysSuspendedUntilResumeAndReportsRunning) {
    Gate gate;
    Thread thread(&CountAndWait, &gate);
    Sleep(50);
    EXPECT_EQ(gate.calls, 0);
    EXPECT_EQ(thread.IsRunning(), 0);
    EXPECT_EQ(thread.HasStarted(), 0);
    EXPECT_EQ(thread.WaitForDeath(20), Thread::kWaitTimeout);  // a suspended thread never ends

    thread.Resume();
    thread.Resume();  // a second Resume must not start the routine again
    while (gate.calls == 0) {
        Sleep(1);
    }
    EXPECT_EQ(thread.IsRunning(), 1);
    EXPECT_EQ(thread.HasStarted(), 1);
    EXPECT_EQ(gate.seenId, thread.GetID());  // the routine sees the id others post to
    EXPECT_EQ(thread.WaitForDeath(0), Thread::kWaitTimeout);

    gate.release = 1;
    EXPECT_EQ(thread.WaitForDeath(INFINITE), Thread::kWaitObject0);
    EXPECT_EQ(thread.IsRunning(), 0);
    EXPECT_EQ(thread.HasStarted(), 1);
    EXPECT_EQ(gate.calls, 1);
    EXPECT_EQ(thread.WaitForDeath(0), Thread::kWaitObject0);  // an ended thread answers at once
}

TEST(Thread, FreeTwiceAndWaitOnFreedHandle) {
    Gate gate;
    gate.release = 1;
    Thread thread(&CountAndWait, &gate);
    thread.Resume();
    ASSERT_EQ(thread.WaitForDeath(5000), Thread::kWaitObject0);
    EXPECT_EQ(thread.Free(), 0u);
    EXPECT_EQ(thread.Free(), 0u);
    EXPECT_EQ(thread.WaitForDeath(INFINITE), Thread::kWaitFailed);  // returns without waiting
}

TEST(Thread, NeverResumedThreadIsEndedByDestructionWithoutRunning) {
    Gate gate;
    uint32_t id = 0;
    {
        Thread thread(&CountAndWait, &gate);
        id = thread.GetID();
        EXPECT_EQ(PostThreadMessage(id, 1, 0, 0), 1);  // a queue exists before the thread runs
    }
    EXPECT_EQ(gate.calls, 0);
    EXPECT_EQ(PostThreadMessage(id, 1, 0, 0), 0);  // and is gone with the thread
}

TEST(Thread, FreeWhileRunningLetsTheThreadFinishOnItsOwn) {
    Gate gate;
    auto thread = std::make_unique<Thread>(&CountAndWait, &gate);
    thread->Resume();
    while (gate.calls == 0) {
        Sleep(1);
    }
    thread.reset();  // detaches; the routine keeps running
    gate.release = 1;
    const uint32_t id = gate.seenId;
    for (int i = 0; i < 500 && PostThreadMessage(id, 1, 0, 0) == 1; ++i) {
        Sleep(2);
    }
    EXPECT_EQ(PostThreadMessage(id, 1, 0, 0), 0);  // it ended and took its queue with it
}

TEST(Thread, IdsAreDistinctAndNeverReused) {
    Gate gate;
    uint32_t previous = 0;
    for (int i = 0; i < 20; ++i) {
        Thread thread(&CountAndWait, &gate);
        EXPECT_GT(thread.GetID(), previous);
        previous = thread.GetID();
    }
}

}  // namespace
