#include "NotificationTestSupport.h"

#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <signal.h>
#include <sys/types.h>

#include <cstdlib>

namespace shelltest {

namespace {

// A session bus that listens on an abstract socket and knows no services to start: only what the
// test registers answers on it.
const char* const kBusConfig = R"(<!DOCTYPE busconfig PUBLIC
 "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:tmpdir=/tmp</listen>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

pid_t s_busPid = 0;

void EndBus() {
    if (s_busPid > 0) {
        ::kill(s_busPid, SIGTERM);
        s_busPid = 0;
    }
}

QString StartBus() {
    QTemporaryDir dir;
    QFile config(dir.filePath("bus.conf"));
    if (!dir.isValid() || !config.open(QIODevice::WriteOnly) || config.write(kBusConfig) < 0) {
        return {};
    }
    config.close();
    // The daemon reads its configuration once, at start; it prints its address and its id
    // when it is ready.
    QProcess daemon;
    daemon.start("dbus-daemon", {"--config-file=" + config.fileName(), "--fork",
                                 "--print-address=1", "--print-pid=1"});
    if (!daemon.waitForFinished(10000) || daemon.exitCode() != 0) {
        return {};
    }
    const QStringList lines =
        QString::fromUtf8(daemon.readAllStandardOutput()).split('\n', Qt::SkipEmptyParts);
    if (lines.size() < 2) {
        return {};
    }
    s_busPid = static_cast<pid_t>(lines[1].trimmed().toInt());
    std::atexit(EndBus);
    const QString address = lines[0].trimmed();
    qputenv("DBUS_SESSION_BUS_ADDRESS", address.toUtf8());
    return address;
}

}  // namespace

QString PrivateSessionBus() {
    static const QString address = StartBus();
    return address;
}

// --- TestNotificationService --------------------------------------------------------------------

TestNotificationService::TestNotificationService(const QString& address)
    : m_connectionName(QString("test-notifications-%1").arg(reinterpret_cast<quintptr>(this))),
      m_bus(QDBusConnection::connectToBus(address, m_connectionName)) {
    m_registered =
        m_bus.isConnected() &&
        m_bus.registerObject("/org/freedesktop/Notifications", this,
                             QDBusConnection::ExportAllSlots | QDBusConnection::ExportAllSignals) &&
        m_bus.registerService("org.freedesktop.Notifications");
}

TestNotificationService::~TestNotificationService() {
    m_bus.unregisterService("org.freedesktop.Notifications");
    m_bus.unregisterObject("/org/freedesktop/Notifications");
    QDBusConnection::disconnectFromBus(m_connectionName);
}

void TestNotificationService::Click(uint id) {
    // The note stays, as a resident note does; the program closes it when it is over.
    emit ActionInvoked(id, "default");
}

uint TestNotificationService::Notify(const QString& appName, uint replacesId,
                                     const QString& /*appIcon*/, const QString& summary,
                                     const QString& body, const QStringList& actions,
                                     const QVariantMap& hints, int /*expireTimeout*/) {
    Note note;
    note.id = replacesId != 0 ? replacesId : ++m_lastId;
    note.appName = appName;
    note.replaces = replacesId;
    note.summary = summary;
    note.body = body;
    note.actions = actions;
    note.hints = hints;
    notes << note;
    return note.id;
}

void TestNotificationService::CloseNotification(uint id) {
    closed << id;
    // Reason 3: closed by a call to CloseNotification.
    emit NotificationClosed(id, 3);
}

QStringList TestNotificationService::GetCapabilities() {
    return {"actions", "body"};
}

QString TestNotificationService::GetServerInformation(QString& vendor, QString& version,
                                                      QString& specVersion) {
    vendor = "Zorvo tests";
    version = "1";
    specVersion = "1.2";
    return "test-notifications";
}

}  // namespace shelltest
