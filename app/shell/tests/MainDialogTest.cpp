// The main window on its own: engine notifications, Talk's refusals, the missed calls list and
// the tray hint's check box.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QImage>
#include <QPushButton>
#include <QRegularExpression>
#include <QSettings>
#include <QTreeWidget>

#include "ShellTestSupport.h"
#include "app/pages/ConnectIpPage.h"
#include "app/pages/IpAddressEdit.h"
#include "app/pages/LoginPage.h"
#include "app/pages/MyPropertySheet.h"
#include "app/settings/ProgramSettings.h"
#include "app/shell/ZorvoApp.h"
#include "app/widgets/MainStatusBar.h"

using namespace shelltest;

namespace {

TEST(MainDialog, StartsListeningWithTheConnectPageShowingLoopback) {
    Client client;
    CMainDialog& w = *client.window;
    ASSERT_NE(w.Engine(), nullptr);
    EXPECT_EQ(w.PaneText(2), "Ready to receive calls");
    EXPECT_FALSE(w.HangUpButton()->isVisibleTo(&w));
    EXPECT_TRUE(w.TalkButton()->isVisibleTo(&w));
    EXPECT_EQ(w.ConnectPage()->AddressControl()->Text(), "127.0.0.1");
    EXPECT_EQ(w.Sheet()->GetActivePage(), static_cast<QWidget*>(w.Login()));
    EXPECT_FALSE(w.MenuAction(CMainDialog::ID_VIEW_LOGS)->isEnabled());
}

TEST(MainDialog, CodesOutsideTheTableAndFiguresWithoutACallAreIgnored) {
    Client client;
    CMainDialog& w = *client.window;
    Voxlane* engine = w.Engine();
    for (unsigned code : {0u, 14u, 99u, 0xFFFFFFFFu}) {
        EXPECT_EQ(w.OnEngineStatus(code, 1234), 0);
    }
    // The listening engine is not connected: byte counts and delays change nothing.
    w.OnEngineStatus(STATUS_BYTES_SENT, 330);
    w.OnEngineStatus(STATUS_BYTES_RECEIVED, 330);
    w.OnEngineStatus(STATUS_ROUND_TRIP, 120);
    w.OnEngineStatus(STATUS_MIC_FRAME, Statistics::LastFromMicAddress());
    EXPECT_EQ(w.BytesSent(), 0u);
    EXPECT_EQ(w.BytesReceived(), 0u);
    EXPECT_EQ(w.Call()->LastDelay(), 0u);
    EXPECT_EQ(w.Engine(), engine);
    EXPECT_EQ(w.PaneText(2), "Ready to receive calls");

    // Figures that arrive after the engine is gone change nothing either.
    ASSERT_TRUE(w.ReleaseEngine());
    EXPECT_EQ(w.Engine(), nullptr);
    w.OnEngineStatus(STATUS_BYTES_SENT, 330);
    w.OnEngineStatus(STATUS_ROUND_TRIP, 120);
    w.OnEngineStatus(STATUS_RINGING, 0);
    EXPECT_EQ(w.BytesSent(), 0u);
    EXPECT_EQ(w.Call()->LastDelay(), 0u);
    EXPECT_TRUE(client.boxes.isEmpty());
}

TEST(MainDialog, StartListeningTwiceSaysSo) {
    Client client;
    client.window->StartListening();
    EXPECT_EQ(client.boxes, QStringList{"Server Already started"});
}

TEST(MainDialog, TalkWithABlankAddressStartsNothing) {
    Client client;
    CMainDialog& w = *client.window;
    w.Sheet()->SetActivePage(w.ConnectPage());
    w.ConnectPage()->AddressControl()->Clear();
    Voxlane* listening = w.Engine();
    w.OnTalk();
    EXPECT_EQ(client.boxes, QStringList{"Enter IP Address"});
    EXPECT_EQ(w.Engine(), listening);
    EXPECT_EQ(w.Connecting(), nullptr);

    // A partly filled address is refused the same way.
    w.ConnectPage()->AddressControl()->SetText("10.1");
    w.OnTalk();
    EXPECT_EQ(client.boxes, (QStringList{"Enter IP Address", "Enter IP Address"}));
    EXPECT_EQ(w.Engine(), listening);
}

TEST(MainDialog, TalkOnAPageWithoutACalleeAsksForOneAndKeepsThePage) {
    Client client;
    CMainDialog& w = *client.window;
    w.Sheet()->SetActivePage(w.Login());
    Voxlane* listening = w.Engine();
    w.OnTalk();
    EXPECT_EQ(client.boxes,
              QStringList{"Please select the buddy to talk with from the online list"});
    EXPECT_EQ(w.Sheet()->GetActivePage(), static_cast<QWidget*>(w.Login()));  // no online page
    EXPECT_EQ(w.Engine(), listening);
}

TEST(MissedCalls, NewestFirstWithTheTime) {
    CMissedCallsDlg missed;
    missed.AddMissedCall("first");
    missed.AddMissedCall("second");
    ASSERT_EQ(missed.List()->topLevelItemCount(), 2);
    EXPECT_EQ(missed.List()->topLevelItem(0)->text(0), "second");
    EXPECT_EQ(missed.List()->topLevelItem(1)->text(0), "first");
    // "%B %d, %H:%M:%S": for example "December 07, 10:30:00".
    EXPECT_TRUE(QRegularExpression("^[A-Z][a-z]+ \\d\\d, \\d\\d:\\d\\d:\\d\\d$")
                    .match(missed.List()->topLevelItem(0)->text(1))
                    .hasMatch())
        << missed.List()->topLevelItem(0)->text(1).toStdString();
}

TEST(TrayInfo, TheCheckBoxWritesTheValueAtEachClick) {
    QTemporaryDir config;
    qputenv("ZORVO_CONFIG_DIR", config.path().toUtf8());
    CTrayInfoDlg info;
    info.show();
    EXPECT_FALSE(info.CheckBox()->isChecked());
    info.CheckBox()->click();
    EXPECT_EQ(ProgramSettings::ReadNumber(settings::kDontShowDlgOnMinimize, -1), 1);
    info.CheckBox()->click();
    EXPECT_EQ(ProgramSettings::ReadNumber(settings::kDontShowDlgOnMinimize, -1), 0);
    // The settings file is readable by its owner only.
    EXPECT_EQ(QFile::permissions(ProgramSettings::FilePath()) &
                  (QFile::ReadGroup | QFile::ReadOther | QFile::WriteGroup | QFile::WriteOther),
              QFile::Permissions());
}

TEST(Settings, RingTimeDefaultsAndRefusesValuesThatNeverRunOut) {
    QTemporaryDir config;
    qputenv("ZORVO_CONFIG_DIR", config.path().toUtf8());
    EXPECT_EQ(ProgramSettings::RingTime(), 10);
    ProgramSettings::WriteNumber(settings::kRingTime, 5);
    EXPECT_EQ(ProgramSettings::RingTime(), 5);
    ProgramSettings::WriteNumber(settings::kRingTime, 0);
    EXPECT_EQ(ProgramSettings::RingTime(), 10);
    ProgramSettings::WriteNumber(settings::kRingTime, -3);
    EXPECT_EQ(ProgramSettings::RingTime(), 10);
}

TEST(CommandLine, DontShowIsFoundInAnyCaseAnywhere) {
    EXPECT_TRUE(CZorvoApp::WantsHidden({"/usr/bin/Zorvo", "DontShow"}));
    EXPECT_TRUE(CZorvoApp::WantsHidden({"/usr/bin/Zorvo", "/dontshowX"}));
    EXPECT_TRUE(CZorvoApp::WantsHidden({"/opt/DONTSHOW/Zorvo"}));
    EXPECT_FALSE(CZorvoApp::WantsHidden({"/usr/bin/Zorvo", "Dont", "Show"}));
}

namespace paint {

// Pane 2 as it is painted on screen.
QImage PaneTwo(CMainDialog& w) {
    if (!w.isVisible()) {
        w.show();
        EXPECT_TRUE(QTest::qWaitForWindowExposed(&w));
    }
    MainStatusBar* bar = w.StatusBar();
    return bar->grab(bar->GetItemRect(2)).toImage();
}

}  // namespace paint

TEST(MainDialog, PaneTwoReadsReadyAgainAfterACallThatWasConnectedTwice) {
    Client client;
    CMainDialog& w = *client.window;
    const QImage before = paint::PaneTwo(w);
    ASSERT_FALSE(before.isNull());
    // A caller's engine says "connected" twice for one call.
    w.OnEngineStatus(STATUS_CONNECTED, 0);
    w.OnEngineStatus(STATUS_CONNECTED, 0);
    EXPECT_NE(paint::PaneTwo(w), before);  // the indicator covers the pane
    w.OnEngineStatus(STATUS_REMOTE_HANGUP, 0);
    EXPECT_EQ(w.PaneText(2), "Ready to receive calls");
    EXPECT_EQ(paint::PaneTwo(w), before);
}

}  // namespace
