// Desktop notes of calls: the real window called by zorvo-call in another process, with a test
// notification service on a private session bus standing in for the desktop's.

#include <gtest/gtest.h>

#include <QDBusConnection>
#include <QProcess>
#include <QPushButton>
#include <QTreeWidget>

#include "NotificationTestSupport.h"
#include "ShellTestSupport.h"
#include "app/settings/ProgramSettings.h"
#include "app/shell/DesktopNotifier.h"

using namespace shelltest;

namespace {

class DesktopNotification : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        // Before any window: the program's session bus is the private one.
        s_bus = PrivateSessionBus();
    }

    void SetUp() override {
        ASSERT_FALSE(s_bus.isEmpty()) << "dbus-daemon did not start";
        ASSERT_TRUE(QDBusConnection::sessionBus().isConnected());
    }

    void TearDown() override {
        if (peer.state() != QProcess::NotRunning) {
            peer.kill();
            peer.waitForFinished(3000);
        }
    }

    // zorvo-call calls the window as `user` and gives up after 30 s.
    void CallFrom(const Client& client, const QString& user) {
        peer.setProgram(ZORVO_CALL_BIN);
        peer.setArguments({"call", "127.0.0.1", "--port", QString::number(client.Port()), "--user",
                           user, "--mic", "none", "--speaker", "none", "--timeout", "30"});
        peer.setProcessChannelMode(QProcess::MergedChannels);
        peer.start();
        ASSERT_TRUE(peer.waitForStarted(5000));
    }

    int PeerExit() {
        if (!WaitUntil([&] { return peer.state() == QProcess::NotRunning; }, 30000)) {
            return -1;
        }
        return peer.exitCode();
    }

    // The user turns to another program: another window takes the front.
    static void TurnAway(QWidget& elsewhere) {
        elsewhere.show();
        elsewhere.activateWindow();
        ASSERT_TRUE(WaitUntil([&] { return QApplication::activeWindow() == &elsewhere; }));
    }

    static bool Ringing(CMainDialog& w) { return w.Ringing() && w.Ringing()->isVisible(); }

    static QString s_bus;
    QProcess peer;
};

QString DesktopNotification::s_bus;

TEST_F(DesktopNotification, AHiddenWindowNotesTheCallerAndTheClickBringsUpTheRingingDialog) {
    TestNotificationService service(s_bus);
    ASSERT_TRUE(service.Registered());
    Client client;  // started hidden, as from the tray
    CMainDialog& w = *client.window;
    ASSERT_FALSE(w.isVisible());
    CallFrom(client, "alice");
    ASSERT_TRUE(WaitUntil([&] { return w.Notifier()->NoteId() != 0; }));
    ASSERT_EQ(service.notes.size(), 1);
    const TestNotificationService::Note note = service.notes[0];
    EXPECT_EQ(note.summary, "Incoming call from alice");
    EXPECT_EQ(note.appName, "Zorvo");
    ASSERT_GE(note.actions.size(), 2);
    EXPECT_EQ(note.actions[0], "default");
    EXPECT_EQ(note.hints.value("urgency").toInt(), 2);
    ASSERT_TRUE(Ringing(w));

    // The user has hidden the window again and works elsewhere; then clicks the note.
    QWidget elsewhere;
    w.hide();
    TurnAway(elsewhere);
    service.Click(note.id);
    ASSERT_TRUE(WaitUntil([&] { return w.isVisible() && Ringing(w); }));
    ASSERT_TRUE(WaitUntil([&] { return QApplication::activeWindow() == w.Ringing(); }));

    // Turning the call down takes the note away.
    QTest::mouseClick(w.Ringing()->findChild<QPushButton*>("reject"), Qt::LeftButton);
    EXPECT_EQ(PeerExit(), 1);
    EXPECT_TRUE(WaitUntil([&] { return service.closed.contains(note.id); }));
    EXPECT_EQ(service.notes.size(), 1);
}

TEST_F(DesktopNotification, AWindowInFrontGetsNoNoteNeitherForRingingNorForTheMissedCall) {
    TestNotificationService service(s_bus);
    ASSERT_TRUE(service.Registered());
    Client client;
    CMainDialog& w = *client.window;
    ProgramSettings::WriteNumber(settings::kRingTime, 2);
    w.show();
    w.activateWindow();
    ASSERT_TRUE(WaitUntil([&] { return DesktopNotifier::InFront(&w); }));
    CallFrom(client, "carol");
    ASSERT_TRUE(WaitUntil([&] { return Ringing(w); }));
    ASSERT_TRUE(WaitUntil([&] { return w.MissedCalls()->List()->topLevelItemCount() == 1; }));
    EXPECT_EQ(PeerExit(), 1);
    // A note would have reached the service in well under this time.
    QTest::qWait(500);
    EXPECT_TRUE(service.notes.isEmpty()) << service.notes.value(0).summary.toStdString();
}

TEST_F(DesktopNotification, ACallMissedWhileAwayIsNotedAndTheClickShowsTheMissedCalls) {
    TestNotificationService service(s_bus);
    ASSERT_TRUE(service.Registered());
    Client client;
    CMainDialog& w = *client.window;
    ProgramSettings::WriteNumber(settings::kRingTime, 2);
    CallFrom(client, "bob");
    ASSERT_TRUE(WaitUntil([&] { return w.MissedCalls()->List()->topLevelItemCount() == 1; }));
    ASSERT_TRUE(WaitUntil([&] { return service.notes.size() == 2; }));
    EXPECT_EQ(service.notes[0].summary, "Incoming call from bob");
    const TestNotificationService::Note missed = service.notes[1];
    EXPECT_EQ(missed.summary, "Missed call from bob");
    EXPECT_EQ(missed.actions.value(0), "default");
    // The ringing note went when the ringing ended.
    EXPECT_TRUE(WaitUntil([&] { return service.closed.contains(service.notes[0].id); }));
    EXPECT_EQ(PeerExit(), 1);

    QWidget elsewhere;
    w.MissedCalls()->hide();
    w.hide();
    TurnAway(elsewhere);
    ASSERT_TRUE(WaitUntil([&] { return w.Notifier()->NoteId() == missed.id; }));
    service.Click(missed.id);
    ASSERT_TRUE(WaitUntil(
        [&] { return w.isVisible() && QApplication::activeWindow() == w.MissedCalls(); }));
    EXPECT_EQ(w.MissedCalls()->List()->topLevelItem(0)->text(0), "bob");
}

TEST_F(DesktopNotification, WithoutANotificationServiceTheCallRingsAndIsMissedAsBefore) {
    // The bus is there, but nobody owns the notification service's name.
    Client client;
    CMainDialog& w = *client.window;
    ProgramSettings::WriteNumber(settings::kRingTime, 2);
    CallFrom(client, "dave");
    ASSERT_TRUE(WaitUntil([&] { return Ringing(w); }));
    EXPECT_TRUE(w.isVisible());
    EXPECT_EQ(w.Ringing()->m_strCaller, "dave");
    ASSERT_TRUE(WaitUntil([&] { return w.MissedCalls()->List()->topLevelItemCount() == 1; }));
    EXPECT_TRUE(w.MissedCalls()->isVisible());
    EXPECT_EQ(PeerExit(), 1);
    QTest::qWait(300);
    EXPECT_EQ(w.Notifier()->NoteId(), 0u);
    EXPECT_TRUE(client.boxes.isEmpty());
    EXPECT_EQ(w.PaneText(2), "Ready to receive calls");
}

}  // namespace
