#pragma once

// A window for engine tests, fuzz targets and benchmarks: it lives on a pump thread of its own,
// as the program's window does, and keeps what the engine tells it through WM_ENGINE_STATUS.

#include <array>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "util/Messages.h"
#include "util/Statistics.h"
#include "util/Thread.h"

namespace testsupport {

struct Event {
    unsigned code;
    uintptr_t value;
    std::string text;  // debug text (kept only when the log keeps events)
    uint32_t tick;     // when it was handled
};

// Keeps every notification it receives (or, for long runs, only how many of each code arrived).
// An optional reaction runs for each event on the pump thread, as the program's window would
// react.
class StatusLog {
  public:
    enum class Keep { kEverything, kCountsOnly };

    explicit StatusLog(Keep keep = Keep::kEverything);
    ~StatusLog();
    StatusLog(const StatusLog&) = delete;
    StatusLog& operator=(const StatusLog&) = delete;

    HWND Window() const { return m_window; }

    void OnEvent(std::function<void(const Event&)> reaction);

    // Waits until `count` events with `code` have arrived; true when they did in time.
    bool WaitFor(unsigned code, int count = 1, uint32_t timeoutMs = 10000);
    // Waits for `count` debug texts that contain `needle`.
    bool WaitForText(const std::string& needle, int count = 1, uint32_t timeoutMs = 10000);

    int Count(unsigned code);
    int CountText(const std::string& needle);
    std::vector<Event> Events();
    // Status codes in arrival order, debug texts left out.
    std::vector<unsigned> Codes();
    std::optional<Event> Last(unsigned code);

  private:
    static constexpr uint32_t kQuit = WM_USER + 100;
    static uint32_t PumpThread(void* self);
    void Record(unsigned code, uintptr_t value);
    int CountTextLocked(const std::string& needle) const;

    const Keep m_keep;
    std::mutex m_lock;
    std::condition_variable m_changed;
    std::vector<Event> m_events;
    std::array<int, kLastEngineStatus + 1> m_counts{};
    std::function<void(const Event&)> m_reaction;
    Thread m_pump;
    HWND m_window = 0;
};

}  // namespace testsupport
