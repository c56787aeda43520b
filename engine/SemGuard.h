#pragma once

#include "util/CSem.h"
#include "util/Messages.h"

// Holds a CSem from construction (waiting without limit) until destruction, so that every way out
// of a scope releases it exactly once.
class SemGuard {
  public:
    explicit SemGuard(CSem& sem) : m_sem(sem), m_held(sem.WaitOnSemaphore(INFINITE) != 0) {}
    ~SemGuard() {
        if (m_held) {
            m_sem.SignalSemaphore();
        }
    }
    SemGuard(const SemGuard&) = delete;
    SemGuard& operator=(const SemGuard&) = delete;

  private:
    CSem& m_sem;
    bool m_held;
};
