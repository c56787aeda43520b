#include "app/shell/DesktopNotifier.h"

#include <QApplication>
#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QStringList>
#include <QVariantMap>
#include <QWidget>

#include <utility>

namespace {

// The service answers a Notify at once; a service that hangs must not keep a reply pending for
// long (nothing waits for it, but the watcher lives until then).
constexpr int kCallTimeoutMs = 5000;
// Urgency hint values of the notification protocol.
constexpr uint8_t kUrgencyNormal = 1;
constexpr uint8_t kUrgencyCritical = 2;
// The server's own expiry time.
constexpr int kServerExpiry = -1;

// The note's one line. The caller's name goes into the summary, which the protocol keeps plain
// text (the body may be read as markup), so the name is shown exactly as it was received.
QString Summary(const QString& what, const QString& caller) {
    return caller.isEmpty() ? what : what + " from " + caller;
}

}  // namespace

DesktopNotifier::DesktopNotifier(QWidget* window, const QDBusConnection& bus)
    : QObject(window), m_window(window), m_bus(bus) {
    if (!m_bus.isConnected()) {
        return;
    }
    m_bus.connect(kService, kPath, kInterface, "ActionInvoked", this,
                  SLOT(OnActionInvoked(uint, QString)));
    m_bus.connect(kService, kPath, kInterface, "NotificationClosed", this,
                  SLOT(OnNotificationClosed(uint, uint)));
}

DesktopNotifier::~DesktopNotifier() {
    // A ringing note must not outlive the program that rings.
    Withdraw();
}

bool DesktopNotifier::InFront(const QWidget* window) {
    if (!window || !window->isVisible() || window->isMinimized()) {
        return false;
    }
    // The ringing dialog, the settings and the other dialogs of the window count as the window.
    for (const QWidget* active = QApplication::activeWindow(); active;
         active = active->parentWidget() ? active->parentWidget()->window() : nullptr) {
        if (active == window) {
            return true;
        }
    }
    return false;
}

bool DesktopNotifier::CallRinging(const QString& caller, std::function<void()> onClick) {
    m_ringingNoted = !InFront(m_window);
    if (m_ringingNoted) {
        Show(Summary("Incoming call", caller), kUrgencyCritical, std::move(onClick));
    }
    return m_ringingNoted;
}

void DesktopNotifier::RingingEnded() {
    if (m_ringingNoted) {
        Withdraw();
    }
}

bool DesktopNotifier::CallMissed(const QString& caller, std::function<void()> onClick) {
    // The ringing dialog has just gone, and with it the active window: whether the user saw the
    // call is judged by where the window was when it rang, and whether it is still on screen.
    const bool away =
        m_ringingNoted || !m_window || !m_window->isVisible() || m_window->isMinimized();
    m_ringingNoted = false;
    if (away) {
        Show(Summary("Missed call", caller), kUrgencyNormal, std::move(onClick));
    }
    return away;
}

void DesktopNotifier::Show(const QString& summary, uint8_t urgency, std::function<void()> onClick) {
    if (!m_bus.isConnected()) {
        return;
    }
    const uint32_t replaces = m_noteId;
    const uint64_t serial = ++m_serial;
    m_noteId = 0;
    m_onClick = std::move(onClick);
    QDBusMessage call = QDBusMessage::createMethodCall(kService, kPath, kInterface, "Notify");
    const QVariantMap hints{{"desktop-entry", QStringLiteral("zorvo")},
                            {"urgency", QVariant::fromValue<uchar>(urgency)}};
    // The "default" action is the click on the note; its label is what servers that list
    // actions as buttons show.
    call << QStringLiteral("Zorvo") << uint(replaces) << QStringLiteral("zorvo") << summary
         << QString() << QStringList{kDefaultAction, "Show"} << hints << kServerExpiry;
    auto* watcher = new QDBusPendingCallWatcher(m_bus.asyncCall(call, kCallTimeoutMs), this);
    connect(watcher, &QDBusPendingCallWatcher::finished, this,
            [this, serial](QDBusPendingCallWatcher* done) {
                done->deleteLater();
                const QDBusPendingReply<uint> reply = *done;
                if (reply.isError()) {
                    // No service: the call goes on as it would without notes.
                    return;
                }
                if (serial != m_serial) {
                    // Withdrawn or replaced while the service was answering.
                    Close(reply.value());
                    return;
                }
                m_noteId = reply.value();
                emit noteShown(m_noteId);
            });
}

void DesktopNotifier::Withdraw() {
    ++m_serial;
    m_onClick = {};
    if (m_noteId != 0) {
        Close(m_noteId);
        m_noteId = 0;
    }
}

void DesktopNotifier::Close(uint32_t id) {
    QDBusMessage call =
        QDBusMessage::createMethodCall(kService, kPath, kInterface, "CloseNotification");
    call << uint(id);
    // Nothing depends on the answer.
    m_bus.send(call);
}

void DesktopNotifier::OnActionInvoked(uint id, const QString& action) {
    if (id == 0 || id != m_noteId || action != kDefaultAction || !m_onClick) {
        return;
    }
    // The handler may start another note; it runs on a copy.
    const std::function<void()> onClick = m_onClick;
    onClick();
}

void DesktopNotifier::OnNotificationClosed(uint id, uint /*reason*/) {
    if (id != 0 && id == m_noteId) {
        m_noteId = 0;
        m_onClick = {};
    }
}
