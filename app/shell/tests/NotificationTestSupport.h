#pragma once

#include <QDBusConnection>
#include <QList>
#include <QObject>
#include <QString>
#include <QStringList>
#include <QVariantMap>

namespace shelltest {

// A dbus-daemon of the test program's own, with no activatable services, started on the first
// call and ended with the program. Its address becomes the program's session bus
// (DBUS_SESSION_BUS_ADDRESS), so call it before anything in the program uses the session bus.
// Empty when the daemon cannot start.
QString PrivateSessionBus();

// A notification service for tests: owns org.freedesktop.Notifications on a connection of its
// own to the bus at `address`, records every Notify and CloseNotification, and can play the
// user's click on a note.
class TestNotificationService : public QObject {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")
  public:
    struct Note {
        uint id = 0;
        QString appName;
        uint replaces = 0;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
    };

    explicit TestNotificationService(const QString& address);
    ~TestNotificationService() override;

    // The name is ours on the bus.
    bool Registered() const { return m_registered; }
    // The user clicks the note: its "default" action.
    void Click(uint id);

    QList<Note> notes;
    QList<uint> closed;

  public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& appIcon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int expireTimeout);
    void CloseNotification(uint id);
    QStringList GetCapabilities();
    QString GetServerInformation(QString& vendor, QString& version, QString& specVersion);

  signals:
    void ActionInvoked(uint id, const QString& actionKey);
    void NotificationClosed(uint id, uint reason);

  private:
    QString m_connectionName;
    QDBusConnection m_bus;
    bool m_registered = false;
    uint m_lastId = 0;
};

}  // namespace shelltest
