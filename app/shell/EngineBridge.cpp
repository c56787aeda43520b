#include "app/shell/EngineBridge.h"

#include <QCoreApplication>
#include <QMessageBox>

#include <atomic>

#include "app/sounds/SoundPlayer.h"
#include "util/MessageBox.h"
#include "util/Messages.h"

namespace bridge {
namespace {

std::atomic<bool> g_pumpScheduled{false};

// Runs on the posting thread: schedules one pump on the GUI thread (at most one pending).
void WakeGuiThread() {
    if (g_pumpScheduled.exchange(true)) {
        return;
    }
    QMetaObject::invokeMethod(
        QCoreApplication::instance(),
        [] {
            g_pumpScheduled.store(false);
            PumpMessages();
        },
        Qt::QueuedConnection);
}

}  // namespace

void Install() {
    SetQueueWakeHook(GetCurrentThreadId(), &WakeGuiThread);
    // A box asked for by an engine thread is shown on the GUI thread without a modal loop, so
    // neither the engine thread nor the GUI thread waits for the user.
    SetMessageBoxHook([](const std::string& text, const std::string& caption) {
        const QString body = QString::fromStdString(text);
        const QString title = QString::fromStdString(caption);
        QMetaObject::invokeMethod(
            QCoreApplication::instance(),
            [body, title] {
                auto* box = new QMessageBox(QMessageBox::NoIcon, title, body, QMessageBox::Ok);
                // The service's "#" replies and callers' names: shown as received.
                box->setTextFormat(Qt::PlainText);
                box->setAttribute(Qt::WA_DeleteOnClose);
                box->show();
            },
            Qt::QueuedConnection);
    });
    SetBeepHook([](unsigned frequency, unsigned milliseconds) {
        SoundPlayer::Instance().Beep(frequency, milliseconds);
    });
    // Pending messages from before the hook was set.
    WakeGuiThread();
}

}  // namespace bridge
