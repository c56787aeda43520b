#include "testsupport/StatusLog.h"

#include <algorithm>
#include <chrono>

#include "util/TickCount.h"

namespace testsupport {

StatusLog::StatusLog(Keep keep) : m_keep(keep), m_pump(&StatusLog::PumpThread, this) {
    m_window = RegisterWindow(
        [this](uint32_t message, uintptr_t code, intptr_t value) {
            if (message == WM_ENGINE_STATUS) {
                Record(static_cast<unsigned>(code), static_cast<uintptr_t>(value));
            }
        },
        m_pump.GetID());
    m_pump.Resume();
}

StatusLog::~StatusLog() {
    UnregisterWindow(m_window);
    PostThreadMessage(m_pump.GetID(), kQuit, 0, 0);
    m_pump.WaitForDeath(INFINITE);
}

uint32_t StatusLog::PumpThread(void*) {
    ThreadMsg msg;
    while (GetMessage(msg)) {
        if (msg.message == kQuit && msg.hwnd == 0) {
            break;
        }
        DispatchMessage(msg);
    }
    return 0;  // anything still queued is freed with the queue
}

void StatusLog::OnEvent(std::function<void(const Event&)> reaction) {
    std::lock_guard lock(m_lock);
    m_reaction = std::move(reaction);
}

void StatusLog::Record(unsigned code, uintptr_t value) {
    Event e{code, value, {}, GetTickCount()};
    if (code == STATUS_DEBUG_TEXT && m_keep == Keep::kEverything) {
        e.text = reinterpret_cast<const char*>(value);
    }
    std::function<void(const Event&)> reaction;
    {
        std::lock_guard lock(m_lock);
        if (code < m_counts.size()) {
            ++m_counts[code];
        }
        if (m_keep == Keep::kEverything) {
            m_events.push_back(e);
        }
        reaction = m_reaction;
    }
    m_changed.notify_all();
    if (reaction) {
        reaction(e);
    }
}

bool StatusLog::WaitFor(unsigned code, int count, uint32_t timeoutMs) {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return code < m_counts.size() && m_counts[code] >= count; });
}

bool StatusLog::WaitForText(const std::string& needle, int count, uint32_t timeoutMs) {
    std::unique_lock lock(m_lock);
    return m_changed.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return CountTextLocked(needle) >= count; });
}

int StatusLog::Count(unsigned code) {
    std::lock_guard lock(m_lock);
    return code < m_counts.size() ? m_counts[code] : 0;
}

int StatusLog::CountText(const std::string& needle) {
    std::lock_guard lock(m_lock);
    return CountTextLocked(needle);
}

int StatusLog::CountTextLocked(const std::string& needle) const {
    return static_cast<int>(std::count_if(m_events.begin(), m_events.end(), [&](const Event& e) {
        return e.code == STATUS_DEBUG_TEXT && e.text.find(needle) != std::string::npos;
    }));
}

std::vector<Event> StatusLog::Events() {
    std::lock_guard lock(m_lock);
    return m_events;
}

std::vector<unsigned> StatusLog::Codes() {
    std::lock_guard lock(m_lock);
    std::vector<unsigned> codes;
    for (const auto& e : m_events) {
        if (e.code != STATUS_DEBUG_TEXT) {
            codes.push_back(e.code);
        }
    }
    return codes;
}

std::optional<Event> StatusLog::Last(unsigned code) {
    std::lock_guard lock(m_lock);
    for (auto it = m_events.rbegin(); it != m_events.rend(); ++it) {
        if (it->code == code) {
            return *it;
        }
    }
    return std::nullopt;
}

}  // namespace testsupport
