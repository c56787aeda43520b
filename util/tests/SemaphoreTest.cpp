#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>
#include <vector>

#include "util/CSem.h"
#include "util/Messages.h"
#include "util/TickCount.h"

namespace {

TEST(CSem, UnlimitedWaitRecordsOwnerAndSignalClearsIt) {
    CSem sem;
    EXPECT_EQ(sem.GetOwner(), 0u);
    ASSERT_EQ(sem.WaitOnSemaphore(INFINITE), 1u);
    EXPECT_EQ(sem.GetOwner(), GetCurrentThreadId());
    EXPECT_EQ(sem.SignalSemaphore(), 1);
    EXPECT_EQ(sem.GetOwner(), 0u);
    // Free again: a zero wait takes it at once.
    EXPECT_EQ(sem.WaitOnSemaphore(0), 1u);
    sem.SignalSemaphore();
}

TEST(CSem, ZeroAndTimedWaitsOnATakenSemaphoreFailAndKeepTheOwner) {
    CSem sem;
    ASSERT_EQ(sem.WaitOnSemaphore(INFINITE), 1u);
    const uint32_t owner = sem.GetOwner();
    EXPECT_EQ(sem.WaitOnSemaphore(0), 0u);
    const uint32_t before = GetTickCount();
    EXPECT_EQ(sem.WaitOnSemaphore(120), 0u);
    EXPECT_GE(GetTickCount() - before, 100u);
    EXPECT_EQ(sem.GetOwner(), owner);
    sem.SignalSemaphore();
}

TEST(CSem, TimedWaitDoesNotRecordOwner) {
    CSem sem;
    ASSERT_EQ(sem.WaitOnSemaphore(100), 1u);
    EXPECT_EQ(sem.GetOwner(), 0u);
    sem.SignalSemaphore();
}

TEST(CSem, CountNeverExceedsOne) {
    CSem sem;
    EXPECT_EQ(sem.SignalSemaphore(), 0);  // already free: the release is refused
    EXPECT_EQ(sem.SignalSemaphore(), 0);
    EXPECT_EQ(sem.WaitOnSemaphore(0), 1u);
    EXPECT_EQ(sem.WaitOnSemaphore(0), 0u);  // only one taker despite the extra releases
    sem.SignalSemaphore();
}

TEST(CSem, InitialCountZeroStartsTakenAndAnotherThreadMayRelease) {
    CSem sem(0L);
    EXPECT_EQ(sem.WaitOnSemaphore(0), 0u);
    std::thread releaser([&] {
        Sleep(30);
        sem.SignalSemaphore();
    });
    EXPECT_EQ(sem.WaitOnSemaphore(5000), 1u);
    releaser.join();
    sem.SignalSemaphore();
}

TEST(CSem, GivesMutualExclusion) {
    CSem sem;
    int counter = 0;  // guarded only by the semaphore
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t) {
        workers.emplace_back([&] {
            for (int i = 0; i < 2000; ++i) {
                sem.WaitOnSemaphore(INFINITE);
                ++counter;
                sem.SignalSemaphore();
            }
        });
    }
    for (auto& w : workers) {
        w.join();
    }
    EXPECT_EQ(counter, 8000);
}

TEST(CSem, NamedSemaphoreIsSharedBetweenProcesses) {
    const std::string name = "util-test-" + std::to_string(getpid());
    CSem::Unlink(name.c_str());
    CSem mine(name.c_str());
    ASSERT_NE(mine.GetHandle(), nullptr);
    ASSERT_EQ(mine.WaitOnSemaphore(INFINITE), 1u);

    int pipeFds[2];
    ASSERT_EQ(pipe(pipeFds), 0);
    const pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        // The child opens the same name: taken by the parent, then released by it.
        CSem theirs(name.c_str());
        const char blocked = theirs.WaitOnSemaphore(0) == 0 ? 'b' : 'x';
        (void)!write(pipeFds[1], &blocked, 1);
        const bool gotAfterRelease = theirs.WaitOnSemaphore(5000) == 1;
        _exit(blocked == 'b' && gotAfterRelease ? 0 : 1);
    }
    char report = 0;
    ASSERT_EQ(read(pipeFds[0], &report, 1), 1);
    EXPECT_EQ(report, 'b');
    mine.SignalSemaphore();
    int status = 0;
    waitpid(child, &status, 0);
    close(pipeFds[0]);
    close(pipeFds[1]);
    CSem::Unlink(name.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
