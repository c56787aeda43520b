#include "app/shell/EngineBridge.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPointer>

#include <atomic>

#include "app/sounds/SoundPlayer.h"
#include "util/MessageBox.h"

QEvent::Type EngineStatusEvent::Kind() {
    static const QEvent::Type kind = static_cast<QEvent::Type>(QEvent::registerEventType());
    return kind;
}

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

HWND RegisterEngineWindow(QObject* target) {
    QPointer<QObject> guarded(target);
    return RegisterWindow([guarded](uint32_t message, uintptr_t code, intptr_t value) {
        if (message == WM_ENGINE_STATUS && guarded) {
            EngineStatusEvent event(static_cast<unsigned>(code), static_cast<uintptr_t>(value));
            QCoreApplication::sendEvent(guarded, &event);
        }
    });
}

EngineOptions EngineOptionsFromEnvironment() {
    EngineOptions options;
    options.microphone = qEnvironmentVariable("ZORVO_MIC").toStdString();
    options.speaker = qEnvironmentVariable("ZORVO_SPEAKER").toStdString();
    return options;
}

namespace {

unsigned PortFrom(const char* variable, unsigned fallback) {
    bool ok = false;
    const unsigned port = qEnvironmentVariable(variable).toUInt(&ok);
    return ok && port > 0 && port < 65536 ? port : fallback;
}

}  // namespace

unsigned CallPort() {
    return PortFrom("ZORVO_CALL_PORT", kDefaultCallPort);
}

unsigned PeerPort() {
    return PortFrom("ZORVO_PEER_PORT", CallPort());
}

}  // namespace bridge
