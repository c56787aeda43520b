#include "util/CSem.h"

#include <fcntl.h>
#include <time.h>

#include <cerrno>

#include "util/Messages.h"

CSem::CSem() : CSem(1L) {}

CSem::CSem(long initialCount) {
    if (sem_init(&m_unnamed, 0, initialCount > 0 ? 1 : 0) == 0) {
        m_handle = &m_unnamed;
    }
}

CSem::CSem(const char* name) {
    const std::string systemName = SystemName(name);
    sem_t* handle = sem_open(systemName.c_str(), O_CREAT, 0600, 1);
    if (handle != SEM_FAILED) {
        m_handle = handle;
        m_named = true;
    }
}

CSem::~CSem() {
    if (!m_handle) {
        return;
    }
    if (m_named) {
        sem_close(m_handle);
    } else {
        sem_destroy(m_handle);
    }
}

std::string CSem::SystemName(const char* name) {
    // A POSIX semaphore name is one path component after a leading slash.
    std::string result = "/zorvo-";
    for (const char* p = name ? name : ""; *p; ++p) {
        result += (*p == '/') ? '_' : *p;
    }
    return result;
}

void CSem::Unlink(const char* name) {
    sem_unlink(SystemName(name).c_str());
}

uint32_t CSem::WaitOnSemaphore(uint32_t milliseconds) {
    if (!m_handle) {
        return 0;
    }
    int rc;
    if (milliseconds == INFINITE) {
        while ((rc = sem_wait(m_handle)) != 0 && errno == EINTR) {
        }
        if (rc != 0) {
            return 0;
        }
        m_owner.store(GetCurrentThreadId());
        return 1;
    }
    if (milliseconds == 0) {
        while ((rc = sem_trywait(m_handle)) != 0 && errno == EINTR) {
        }
        return rc == 0 ? 1 : 0;
    }
    timespec deadline{};
    clock_gettime(CLOCK_MONOTONIC, &deadline);
    deadline.tv_sec += milliseconds / 1000;
    deadline.tv_nsec += static_cast<long>(milliseconds % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    while ((rc = sem_clockwait(m_handle, CLOCK_MONOTONIC, &deadline)) != 0 && errno == EINTR) {
    }
    return rc == 0 ? 1 : 0;
}

int CSem::SignalSemaphore() {
    m_owner.store(0);
    if (!m_handle) {
        return 0;
    }
    std::lock_guard lock(m_signalLock);
    int value = 0;
    if (sem_getvalue(m_handle, &value) == 0 && value >= 1) {
        return 0;  // already free: the count never goes above 1
    }
    return sem_post(m_handle) == 0 ? 1 : 0;
}
