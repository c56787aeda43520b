#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QSettings>

#include "SettingsTestSupport.h"
#include "app/settings/IdentityStore.h"
#include "app/settings/ProgramSettings.h"

namespace {

QString FileValue() {
    return QSettings(ProgramSettings::FilePath(), QSettings::IniFormat)
        .value(identity_store::kKey)
        .toString();
}

QString SeedHex(const IdentityKey& identity) {
    return QString::fromLatin1(QByteArray::fromStdString(identity.Seed()).toHex());
}

bool InKeyringSession() {
    return qEnvironmentVariableIsSet("ZORVO_TEST_KEYRING_SESSION");
}

TEST(IdentityStore, WithoutAKeyringTheIdentityIsMadeOnceAndKeptInTheOwnerOnlyFile) {
    if (InKeyringSession()) {
        GTEST_SKIP() << "runs outside the keyring session";
    }
    qunsetenv("DBUS_SESSION_BUS_ADDRESS");
    PrivateConfig config;
    const IdentityKey first = identity_store::Identity();
    EXPECT_EQ(FileValue(), SeedHex(first));
    EXPECT_EQ(QFile::permissions(ProgramSettings::FilePath()) &
                  (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
              QFile::Permissions());
    EXPECT_EQ(KeyHex(identity_store::Identity().publicKey), KeyHex(first.publicKey));

    // A kept text that does not read gives way to a new identity.
    ProgramSettings::WriteText(identity_store::kKey, "0123");
    const IdentityKey other = identity_store::Identity();
    EXPECT_NE(KeyHex(other.publicKey), KeyHex(first.publicKey));
    EXPECT_EQ(FileValue(), SeedHex(other));
}

// In a private session bus with gnome-keyring's Secret Service: an identity kept in the file
// while no keyring answered moves to the keyring, and the file no longer holds it.
TEST(IdentityStore, WithAKeyringTheSettingsFileHoldsNoIdentity) {
    if (InKeyringSession()) {
        PrivateConfig config;
        const IdentityKey earlier = IdentityKey::Generate();
        ProgramSettings::WriteText(identity_store::kKey, SeedHex(earlier));
        EXPECT_EQ(KeyHex(identity_store::Identity().publicKey), KeyHex(earlier.publicKey));
        EXPECT_EQ(FileValue(), "");
        QFile file(ProgramSettings::FilePath());
        ASSERT_TRUE(file.open(QIODevice::ReadOnly));
        EXPECT_FALSE(file.readAll().contains(SeedHex(earlier).toLatin1()));
        EXPECT_EQ(KeyHex(identity_store::Identity().publicKey), KeyHex(earlier.publicKey));
        return;
    }
    PrivateConfig home;
    QProcess child;
    auto environment = QProcessEnvironment::systemEnvironment();
    environment.insert("ZORVO_TEST_KEYRING_SESSION", "1");
    environment.insert("HOME", home.Path());
    environment.insert("XDG_DATA_HOME", home.Path() + "/data");
    environment.remove("DBUS_SESSION_BUS_ADDRESS");
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    const QString script = QStringLiteral(
        "printf zorvo | gnome-keyring-daemon --unlock --components=secrets >/dev/null "
        "&& exec \"$0\" --gtest_filter=IdentityStore.WithAKeyringTheSettingsFileHoldsNoIdentity");
    child.start("dbus-run-session",
                {"--", "sh", "-c", script, QCoreApplication::applicationFilePath()});
    ASSERT_TRUE(child.waitForStarted());
    ASSERT_TRUE(child.waitForFinished(40000));
    const QString output = QString::fromUtf8(child.readAll());
    EXPECT_EQ(child.exitCode(), 0) << output.toStdString();
    EXPECT_TRUE(output.contains("[  PASSED  ] 1 test")) << output.toStdString();
}

}  // namespace
