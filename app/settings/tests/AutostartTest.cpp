#include <gtest/gtest.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QThread>

#include "SettingsTestSupport.h"
#include "app/settings/Autostart.h"

namespace {

// Runs a tool and gives its exit code; -1 when it cannot be started.
int RunTool(const QString& program, const QStringList& arguments, QString* output = nullptr) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted() || !process.waitForFinished(20000)) {
        return -1;
    }
    if (output != nullptr) {
        *output = QString::fromUtf8(process.readAll());
    }
    return process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
}

// A stand-in program that records its arguments, one a line, in `record`.
QString MakeRecorder(const QString& folder, const QString& record) {
    QDir().mkpath(folder);
    const QString path = folder + "/Zorvo";
    QFile script(path);
    EXPECT_TRUE(script.open(QIODevice::WriteOnly));
    script.write(("#!/bin/sh\nprintf '%s\\n' \"$@\" > '" + record + ".part'\nmv '" + record +
                  ".part' '" + record + "'\n")
                     .toUtf8());
    script.close();
    script.setPermissions(QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    return path;
}

TEST(Autostart, TheEntryLivesInTheAutostartFolderOfTheConfigHome) {
    PrivateConfig config;
    EXPECT_EQ(autostart::EntryPath(), config.Path() + "/config/autostart/zorvo.desktop");
}

TEST(Autostart, ExecQuotesTheProgramPathAndAddsDontShow) {
    EXPECT_EQ(autostart::ExecLine("/usr/bin/Zorvo"), "\"/usr/bin/Zorvo\" DontShow");
    EXPECT_EQ(autostart::ExecLine("/home/a b/Zorvo"), "\"/home/a b/Zorvo\" DontShow");
    EXPECT_EQ(autostart::ExecLine("/x/$HOME`\"\\%/Zorvo"),
              "\"/x/\\$HOME\\`\\\"\\\\%%/Zorvo\" DontShow");
    // In the file the value's own escaping doubles every backslash once more.
    EXPECT_TRUE(
        autostart::EntryText("/x\\y/Zorvo").contains("\nExec=\"/x\\\\\\\\y/Zorvo\" DontShow\n"));
}

TEST(Autostart, AWrittenEntryIsAValidDesktopEntryAndRemovingItLeavesNone) {
    PrivateConfig config;
    ASSERT_FALSE(autostart::IsOn());
    ASSERT_TRUE(autostart::Write(config.Path() + "/my programs/Zorvo \"beta\" $1"));
    ASSERT_TRUE(autostart::IsOn());
    QString report;
    EXPECT_EQ(RunTool("desktop-file-validate", {autostart::EntryPath()}, &report), 0)
        << report.toStdString();
    EXPECT_TRUE(report.trimmed().isEmpty()) << report.toStdString();
    autostart::Remove();
    EXPECT_FALSE(autostart::IsOn());
    autostart::Remove();  // a missing entry is no error
    EXPECT_FALSE(QFile::exists(autostart::EntryPath()));
}

TEST(Autostart, AProgramPathWithASpaceIsStartedWithDontShowFromTheEntry) {
    PrivateConfig config;
    const QString record = config.Path() + "/arguments.txt";
    const QString program = MakeRecorder(config.Path() + "/Zorvo install dir", record);
    ASSERT_TRUE(autostart::Write(program));
    QString output;
    ASSERT_EQ(RunTool("gio", {"launch", autostart::EntryPath()}, &output), 0)
        << output.toStdString();
    QElapsedTimer clock;
    clock.start();
    while (!QFile::exists(record) && clock.elapsed() < 10000) {
        QThread::msleep(20);
    }
    QFile arguments(record);
    ASSERT_TRUE(arguments.open(QIODevice::ReadOnly)) << "the program was not started";
    EXPECT_EQ(arguments.readAll(), "DontShow\n");
}

}  // namespace
