#pragma once

#include <QDBusConnection>
#include <QObject>
#include <QPointer>
#include <QString>

#include <cstdint>
#include <functional>

class QWidget;

// Desktop notifications of calls through the freedesktop notification service
// (org.freedesktop.Notifications on the session bus): a call that rings while the user is away
// from the window (hidden in the tray, minimised, or another program in front), and a call that
// rang out unanswered. Each note offers the "default" action, which the service runs when the
// user clicks the note. Where no service answers (no session bus, or nobody owns the name) the
// notes are simply not shown; nothing waits for the service.
class DesktopNotifier : public QObject {
    Q_OBJECT
  public:
    static constexpr const char* kService = "org.freedesktop.Notifications";
    static constexpr const char* kPath = "/org/freedesktop/Notifications";
    static constexpr const char* kInterface = "org.freedesktop.Notifications";
    static constexpr const char* kDefaultAction = "default";

    explicit DesktopNotifier(QWidget* window,
                             const QDBusConnection& bus = QDBusConnection::sessionBus());
    ~DesktopNotifier() override;

    // True when `window` is on screen, not minimised, and it or one of its own dialogs is the
    // active window.
    static bool InFront(const QWidget* window);

    // A call starts ringing; call it before the window is brought forward. When the user is away
    // the call is noted with the caller's name, and a click on the note runs `onClick`. True when
    // a note was asked for.
    bool CallRinging(const QString& caller, std::function<void()> onClick);
    // The ringing is over (answered, turned down or rung out): its note goes.
    void RingingEnded();
    // A call rang out unanswered: noted when its ringing was noted or the window is hidden or
    // minimised now.
    bool CallMissed(const QString& caller, std::function<void()> onClick);

    // The service's id of the note on screen (0: none, or not confirmed yet).
    uint32_t NoteId() const { return m_noteId; }

  signals:
    // The service confirmed a note (tests wait on it).
    void noteShown(uint32_t id);

  private slots:
    void OnActionInvoked(uint id, const QString& action);
    void OnNotificationClosed(uint id, uint reason);

  private:
    void Show(const QString& summary, uint8_t urgency, std::function<void()> onClick);
    void Withdraw();
    void Close(uint32_t id);

    QPointer<QWidget> m_window;
    QDBusConnection m_bus;
    // The note this object wants on screen is the one asked for with this serial; a reply for an
    // older request belongs to a note that has been withdrawn since.
    uint64_t m_serial = 0;
    uint32_t m_noteId = 0;
    std::function<void()> m_onClick;
    bool m_ringingNoted = false;
};
