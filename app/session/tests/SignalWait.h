#pragma once

#include <QEventLoop>
#include <QObject>
#include <QTimer>

#include <functional>

namespace sessiontest {

// Runs `trigger`, then this thread's event loop until `sender` emits `signal` or `ms` pass; true
// when the signal came. The signal is taken queued on this thread, so one that a worker thread
// emits before the loop runs (or even before `trigger` returns) is not missed, as it can be with
// QSignalSpy::wait.
template <typename Sender, typename Signal>
bool TriggerAndWait(Sender* sender, Signal signal, const std::function<void()>& trigger,
                    int ms = 60000) {
    QEventLoop loop;
    bool came = false;
    QObject::connect(
        sender, signal, &loop,
        [&loop, &came] {
            came = true;
            loop.quit();
        },
        Qt::QueuedConnection);
    trigger();
    QTimer bound;
    bound.setSingleShot(true);
    QObject::connect(&bound, &QTimer::timeout, &loop, &QEventLoop::quit);
    bound.start(ms);
    if (!came) {
        loop.exec();
    }
    return came;
}

}  // namespace sessiontest
