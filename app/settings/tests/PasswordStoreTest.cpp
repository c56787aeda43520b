#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSettings>

#include "SettingsTestSupport.h"
#include "app/settings/PasswordStore.h"
#include "app/settings/ProgramSettings.h"

namespace {

QString FileValue() {
    return QSettings(ProgramSettings::FilePath(), QSettings::IniFormat)
        .value(password_store::kKey)
        .toString();
}

// Set in the child that runs inside its own session bus with an unlocked keyring.
bool InKeyringSession() {
    return qEnvironmentVariableIsSet("ZORVO_TEST_KEYRING_SESSION");
}

TEST(PasswordStore, WithoutAKeyringThePasswordGoesToTheOwnerOnlyFile) {
    if (InKeyringSession()) {
        GTEST_SKIP() << "runs outside the keyring session";
    }
    // No session bus: no Secret Service can answer.
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    PrivateConfig config;
    EXPECT_FALSE(password_store::Save("s3cret"));
    EXPECT_EQ(FileValue(), "s3cret");
    EXPECT_EQ(QFile::permissions(ProgramSettings::FilePath()) &
                  (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
              QFile::Permissions());
    EXPECT_EQ(password_store::Read(), "s3cret");
    password_store::Erase();
    EXPECT_EQ(FileValue(), "");
    EXPECT_EQ(password_store::Read(), "");
}

// Runs the checks below again in a private session bus with gnome-keyring's Secret Service,
// unlocked with a throw-away password; the bus and the keyring end with the child.
TEST(PasswordStore, WithAKeyringTheSettingsFileHoldsNoPassword) {
    if (InKeyringSession()) {
        PrivateConfig config;
        EXPECT_TRUE(password_store::Save("s3cret"));
        EXPECT_EQ(FileValue(), "");
        QFile file(ProgramSettings::FilePath());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_FALSE(file.readAll().contains("s3cret"));
        EXPECT_EQ(password_store::Read(), "s3cret");
        password_store::Erase();
        EXPECT_EQ(password_store::Read(), "");
        return;
    }
    PrivateConfig home;
    QProcess child;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ZORVO_TEST_KEYRING_SESSION", "1");
    // The keyring keeps its files under a private home.
    environment.insert("HOME", home.Path());
    environment.insert("XDG_DATA_HOME", home.Path() + "/data");
    environment.remove("DBUS_SESSION_BUS_ADDRESS");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    const QString script = QStringLiteral(
        "printf zorvo | gnome-keyring-daemon --unlock --components=secrets >/dev/null "
        "&& exec \"$0\" --gtest_filter=PasswordStore.WithAKeyringTheSettingsFileHoldsNoPassword");
    child.start("dbus-run-session",
                {"--", "sh", "-c", script, QCoreApplication::applicationFilePath()});
    ASSERT_TRUE(child.waitForStarted());
    ASSERT_TRUE(child.waitForFinished(40000));
    const QString output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

}  // namespace
