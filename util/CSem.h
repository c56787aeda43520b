#pragma once

#include <semaphore.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "util/Export.h"

// A semaphore with a maximum count of 1, used as a lock that any thread may release. The named
// form is a POSIX named semaphore and is shared by every process that opens the same name.
class UTIL_API CSem {
  public:
    CSem();                            // free (count 1)
    explicit CSem(long initialCount);  // 0 starts taken, anything else starts free
    explicit CSem(const char* name);   // named; starts free when first created
    ~CSem();

    CSem(const CSem&) = delete;
    CSem& operator=(const CSem&) = delete;

    // INFINITE: waits without limit, records the caller as owner and returns 1 (0 if the wait
    // fails). Any other value: waits at most that many milliseconds, returns 1 when acquired and
    // 0 on time-out or failure, and leaves the owner as it was.
    uint32_t WaitOnSemaphore(uint32_t milliseconds);

    // Releases the semaphore (never above a count of 1) and clears the owner. Any thread may call
    // it. Returns 1 when the semaphore was taken, 0 when it was already free.
    int SignalSemaphore();

    void* GetHandle() const { return m_handle; }

    // Id of the thread that last took the semaphore with an unlimited wait; 0 after a release.
    uint32_t GetOwner() const { return m_owner.load(); }

    // Removes a named semaphore from the system (processes that have it open keep it).
    static void Unlink(const char* name);

  private:
    static std::string SystemName(const char* name);

    sem_t m_unnamed{};
    sem_t* m_handle = nullptr;
    bool m_named = false;
    std::atomic<uint32_t> m_owner{0};
    std::mutex m_signalLock;  // keeps two releases from raising the count above 1
};
