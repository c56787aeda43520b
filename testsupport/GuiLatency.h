#pragma once

#include <QElapsedTimer>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace testsupport {

// Measures how long the GUI thread was held: a 5 ms timer on the GUI thread and, beside it, an
// idle control thread that wakes every 5 ms. A gap between two GUI ticks is the GUI thread's
// event latency. On a loaded machine the whole process is sometimes not scheduled for a while;
// the control thread then misses its ticks too, and that time is not the GUI thread's doing.
// HeldMs() is the worst GUI gap less the time within it in which the control thread was stalled
// as well; RawMs() is the worst GUI gap as measured.
class GuiLatencyProbe {
  public:
    GuiLatencyProbe() {
        m_tick.setInterval(kTickMs);
        m_tick.setTimerType(Qt::PreciseTimer);
        QObject::connect(&m_tick, &QTimer::timeout, [this] { m_gui.push_back(m_clock.elapsed()); });
    }
    ~GuiLatencyProbe() { Stop(); }

    void Start() {
        m_clock.start();
        m_gui = {0};
        m_control = {0};
        m_running = true;
        m_thread = std::thread([this] {
            while (m_running.load()) {
                std::this_thread::sleep_for(std::chrono::milliseconds(kTickMs));
                std::lock_guard<std::mutex> lock(m_lock);
                m_control.push_back(m_clock.elapsed());
            }
        });
        m_tick.start();
    }

    void Stop() {
        m_tick.stop();
        m_running = false;
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    qint64 RawMs() const { return Worst(false); }
    qint64 HeldMs() const { return Worst(true); }

  private:
    static constexpr int kTickMs = 5;
    // A control gap this long means the process was not running (it only sleeps 5 ms).
    static constexpr qint64 kStallMs = 20;

    qint64 Worst(bool lessStalls) const {
        std::vector<std::pair<qint64, qint64>> stalls;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            for (size_t i = 1; i < m_control.size(); ++i) {
                if (m_control[i] - m_control[i - 1] >= kStallMs) {
                    stalls.emplace_back(m_control[i - 1], m_control[i]);
                }
            }
        }
        qint64 worst = 0;
        for (size_t i = 1; i < m_gui.size(); ++i) {
            const qint64 from = m_gui[i - 1];
            const qint64 to = m_gui[i];
            qint64 gap = to - from;
            for (const auto& [stallFrom, stallTo] : stalls) {
                if (lessStalls) {
                    gap -= std::max<qint64>(0, std::min(to, stallTo) - std::max(from, stallFrom));
                }
            }
            worst = std::max(worst, gap);
        }
        return worst;
    }

    QElapsedTimer m_clock;
    QTimer m_tick;
    std::vector<qint64> m_gui;  // GUI thread only
    mutable std::mutex m_lock;  // guards m_control
    std::vector<qint64> m_control;
    std::atomic<bool> m_running{false};
    std::thread m_thread;
};

}  // namespace testsupport
