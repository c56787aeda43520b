// The main window against a directory played by the test, on the paths a user meets less
// often: the call reports of a call's life, a heartbeat or list the service refuses, logins that
// cannot reach the service, and the buddy list's commands. What is checked is what the user sees
// (boxes, pages, panes) and what the directory received.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTreeWidgetItem>

#include <mutex>
#include <optional>

#include "ShellTestSupport.h"
#include "app/pages/BuddyListPage.h"
#include "app/pages/BuddyTreeCtrl.h"
#include "app/pages/ConnectIpPage.h"
#include "app/pages/IpAddressEdit.h"
#include "app/pages/LoginPage.h"
#include "app/pages/MyPropertySheet.h"
#include "app/session/BuddySync.h"
#include "app/session/LoginSession.h"
#include "app/session/PresenceWorker.h"
#include "app/session/SessionState.h"
#include "app/session/tests/FakeDirectory.h"
#include "app/session/tests/SignalWait.h"
#include "app/shell/SessionCoordinator.h"
#include "util/MessageBox.h"

using namespace shelltest;
using sessiontest::FakeDirectory;
using sessiontest::TriggerAndWait;
using shelltest::SessionBoxes;
using shelltest::Tabs;

namespace {

const QStringList kLoggedOutTabs{"Login", "Connect by IP"};

class WindowWithFakeDirectory : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_quiet = m_dir.filePath("quiet.wav");
        ASSERT_EQ(QProcess::execute("sox", {"-n", "-r", "8000", "-c", "1", "-b", "16", m_quiet,
                                            "trim", "0", "1"}),
                  0);
        m_directory.SetReply("iamtalking.asp", "+OK 42");
        qputenv("ZORVO_SERVICE_HOST", QByteArray::fromStdString(m_directory.Host()));
        m_client = std::make_unique<Client>(m_quiet);
        // Short pauses and bounds instead of a person's, and heartbeats only when asked for.
        SessionCoordinator* session = Window().Session();
        session->Login()->SetLoginPauseMs(20);
        session->Presence()->SetHeartbeatIntervalMs(3600000);
        session->State().SetTimeouts(1000, 2000, 1000);
    }
    void TearDown() override {
        if (m_peer.state() != QProcess::NotRunning) {
            m_peer.kill();
            m_peer.waitForFinished(3000);
        }
        m_client.reset();
        qunsetenv("ZORVO_SERVICE_HOST");
        qunsetenv("ZORVO_PEER_PORT");
    }

    CMainDialog& Window() { return *m_client->window; }

    // Types the credentials on the login page and presses "Login"; true once the login is over.
    bool LogIn(const QString& user) {
        LoginPage* page = Window().Login();
        page->UserEdit()->setText(user);
        page->PasswordEdit()->setText("pw");
        page->LoginButton()->click();
        return WaitUntil([&] { return !Window().Session()->Login()->IsBusy(); }, 60000);
    }

    // One heartbeat, asked for as "Refresh" does.
    bool Heartbeat() {
        return TriggerAndWait(Window().Session()->Presence(), &PresenceWorker::heartbeatDone,
                              [this] { Window().OnCommand(CMainDialog::ID_VIEW_REFRESH); });
    }

    // The heartbeat asked for at the end of the first login has listed the online buddies: no
    // heartbeat is pending any more.
    bool LoginHeartbeatDone() {
        return WaitUntil([&] { return !m_directory.Requests("GetUserList.asp").empty(); }, 60000);
    }

    // The call reports the directory received: the program's own, or the test's markers.
    std::vector<FakeDirectory::Request> Reports(bool markers = false) const {
        std::vector<FakeDirectory::Request> reports;
        for (const FakeDirectory::Request& report : m_directory.Requests("iamtalking.asp")) {
            if ((report.Param("RemUser") == "marker") == markers) {
                reports.push_back(report);
            }
        }
        return reports;
    }

    // Every call report asked for so far has gone out: the presence thread sends reports in the
    // order they were asked for, so once a marker report asked for now has reached the
    // directory, so have all before it.
    bool ReportsSettled() {
        const size_t markers = Reports(true).size();
        CallFigures marker;
        marker.connected = true;
        marker.callStart = ReportClockNow();
        marker.remoteUser = "marker";
        Window().Session()->Presence()->RequestCallReport(marker, false);
        return WaitUntil([&] { return Reports(true).size() > markers; }, 60000);
    }

    // Ticks the call clock as its timer would, until the tick count is `remainder` modulo 300.
    void TickUntil(unsigned remainder) {
        while (CMainDialog::TickCount() % 300 != remainder) {
            Window().OnClockTimer();
        }
    }

    // zorvo-call listens on a port of its own and accepts; Talk on the connect page calls it.
    // True once the call is up and the attempt is over: the window has then handled every
    // notification of the call's coming up (the caller's engine gives two).
    bool CallAPeer(const QStringList& extra = {}) {
        const uint16_t port = FreeUdpPort();
        qputenv("ZORVO_PEER_PORT", QByteArray::number(port));
        m_peer.setProgram(ZORVO_CALL_BIN);
        m_peer.setArguments(QStringList{"listen", "--port", QString::number(port), "--user",
                                        "carol", "--answer", "accept", "--mic", m_quiet,
                                        "--speaker", "none", "--timeout", "60"} +
                            extra);
        m_peer.setProcessChannelMode(QProcess::MergedChannels);
        m_peer.start();
        if (!m_peer.waitForStarted(10000) ||
            !WaitUntil([&] { return m_peer.peek(4096).contains("Bind Successful"); }, 30000)) {
            return false;
        }
        Window().Sheet()->SetActivePage(Window().ConnectPage());
        Window().ConnectPage()->AddressControl()->SetText("127.0.0.1");
        std::optional<bool> connected;
        const auto watch = QObject::connect(&Window(), &CMainDialog::attemptEnded,
                                            [&connected](bool up) { connected = up; });
        Window().OnTalk();
        const bool ended = WaitUntil([&] { return connected.has_value(); }, 60000);
        QObject::disconnect(watch);
        return ended && *connected;
    }

    bool PeerEnded() {
        return WaitUntil([&] { return m_peer.state() == QProcess::NotRunning; }, 60000);
    }

    QTemporaryDir m_dir;
    QString m_quiet;
    FakeDirectory m_directory;
    SessionBoxes m_boxes;
    std::unique_ptr<Client> m_client;
    QProcess m_peer;
};

// Reports go out when the call comes up, on every 300th tick of the clock during it and when the
// user hangs up; none when the other side hangs up or the program exits during a call.
TEST_F(WindowWithFakeDirectory, CallReportsGoOutAtCallUpEveryThreeHundredTicksAndAtHangUpOnly) {
    m_directory.SetReply("logmein.asp", "+OK ");
    ASSERT_TRUE(LogIn("alice"));
    ASSERT_TRUE(Window().Session()->LoggedIn());
    TickUntil(0);  // no tick of the window's own timer reaches the next boundary during the test

    ASSERT_TRUE(CallAPeer());
    ASSERT_TRUE(WaitUntil([&] { return !Reports().empty(); }, 60000));
    ASSERT_TRUE(ReportsSettled());
    // The caller hears of the call twice at most, and each time starts a new record.
    const std::vector<FakeDirectory::Request> opening = Reports();
    ASSERT_LE(opening.size(), 2u);
    for (const FakeDirectory::Request& report : opening) {
        EXPECT_EQ(report.target.substr(0, report.target.find("&Minutes=")),
                  "/p\\iamtalking.asp?User=alice&RemUser=127%2E0%2E0%2E1");
        EXPECT_EQ(report.Param("Minutes"), "0");
        EXPECT_EQ(report.Param("SessionID"), "0");
    }

    TickUntil(299);
    ASSERT_TRUE(ReportsSettled());
    EXPECT_EQ(Reports().size(), opening.size());  // 299 ticks: no report
    Window().OnClockTimer();
    ASSERT_TRUE(ReportsSettled());
    ASSERT_EQ(Reports().size(), opening.size() + 1);
    EXPECT_EQ(Reports().back().Param("SessionID"), "42");  // the record the first report opened
    EXPECT_EQ(Reports().back().Param("RemUser"), "127.0.0.1");

    Window().OnHangUp();  // confirmed with Yes
    EXPECT_EQ(m_client->boxes, QStringList{"Do you want to disconnect the current connection?"});
    ASSERT_TRUE(ReportsSettled());
    ASSERT_EQ(Reports().size(), opening.size() + 2);
    EXPECT_EQ(Reports().back().Param("SessionID"), "42");
    ASSERT_TRUE(PeerEnded());

    // The other side hangs up: no report.
    ASSERT_TRUE(CallAPeer({"--hangup-after", "2"}));
    ASSERT_TRUE(ReportsSettled());
    const size_t upToSecondCall = Reports().size();
    EXPECT_GT(upToSecondCall, opening.size() + 2);  // its opening report
    ASSERT_TRUE(PeerEnded());
    ASSERT_TRUE(WaitUntil([&] { return Window().TalkButton()->isVisibleTo(&Window()); }));
    ASSERT_TRUE(ReportsSettled());
    EXPECT_EQ(Reports().size(), upToSecondCall);

    // Exit during a call: no report. The presence thread has ended when OnExit returns, after
    // every report asked for before.
    ASSERT_TRUE(CallAPeer());
    ASSERT_TRUE(ReportsSettled());
    const size_t upToThirdCall = Reports().size();
    Window().OnExit();
    EXPECT_EQ(Window().Engine(), nullptr);
    EXPECT_EQ(Reports().size(), upToThirdCall);
    EXPECT_TRUE(PeerEnded());
    EXPECT_EQ(m_boxes.Text(), "");
}

// The service refuses the heartbeat with a "#" reply: the client logs off and shows the reply as
// it came. Later it refuses the list of online buddies with "-": the client logs off again.
TEST_F(WindowWithFakeDirectory, ARefusedHeartbeatOrListLogsOffAndTheHashReplyIsShown) {
    m_directory.SetReply("logmein.asp", "+OK ");
    ASSERT_TRUE(LogIn("alice"));
    ASSERT_TRUE(Window().Session()->LoggedIn());
    ASSERT_TRUE(LoginHeartbeatDone());

    m_directory.SetReply("iamup.asp", "#You are logged in on another computer");
    ASSERT_TRUE(Heartbeat());
    ASSERT_TRUE(WaitUntil([&] { return !Window().Session()->LoggedIn(); }, 60000));
    ASSERT_TRUE(WaitUntil([&] { return !m_boxes.Get().isEmpty(); }, 60000));
    EXPECT_EQ(m_boxes.Text(), "#You are logged in on another computer");
    EXPECT_EQ(m_directory.Requests("GetUserList.asp").size(), 1u);  // no list asked for
    ASSERT_TRUE(WaitUntil([&] { return m_directory.Requests("logmeoff.asp").size() == 1; }));
    EXPECT_EQ(m_directory.Requests("logmeoff.asp")[0].Param("User"), "alice");
    EXPECT_EQ(Tabs(Window()), kLoggedOutTabs);
    ASSERT_TRUE(WaitUntil([&] { return Window().PaneText(0) == "Please Login"; }));

    m_directory.SetReply("iamup.asp", "+OK");
    m_directory.SetReply("GetUserList.asp", "-ERR");
    ASSERT_TRUE(LogIn("alice"));
    ASSERT_TRUE(WaitUntil([&] { return !Window().Session()->LoggedIn(); }, 60000));
    ASSERT_TRUE(WaitUntil([&] { return m_directory.Requests("logmeoff.asp").size() == 2; }));
    EXPECT_EQ(Tabs(Window()), kLoggedOutTabs);
    ASSERT_TRUE(WaitUntil([&] { return Window().PaneText(0) == "Please Login"; }));
    EXPECT_EQ(m_boxes.Text(), "#You are logged in on another computer");  // "-" shows nothing
}

// A login that cannot reach the service host at all (state 2), and one whose request finds no
// answer in time (state 1), each end with their box and the login page back.
TEST_F(WindowWithFakeDirectory, LoginsThatCannotReachTheServiceSayWhyInTheirBoxes) {
    qputenv("ZORVO_SERVICE_HOST", "127.0.0.1:" + QByteArray::number(testsupport::FreeTcpPort()));
    ASSERT_TRUE(LogIn("alice"));
    EXPECT_EQ(m_boxes.Text(), "Login Failed.. Cannot reach the server");
    EXPECT_EQ(Window().Session()->Login()->LoginState(), LoginSession::kNoLocalAddress);

    qputenv("ZORVO_SERVICE_HOST", QByteArray::fromStdString(m_directory.Host()));
    m_directory.SetReply("logmein.asp", "+OK ", 4000);  // longer than the 2 s bound
    ASSERT_TRUE(LogIn("alice"));
    EXPECT_EQ(m_boxes.Text(),
              "Login Failed.. Cannot reach the server | "
              "Cannot connect to 127.0.0.1. Please check your Internet connection");
    EXPECT_EQ(Window().Session()->Login()->LoginState(), LoginSession::kCannotConnect);
    EXPECT_EQ(m_directory.Requests("logmein.asp").size(), 1u);
    EXPECT_FALSE(Window().Session()->LoggedIn());
    EXPECT_EQ(Tabs(Window()), kLoggedOutTabs);
    EXPECT_EQ(Window().PaneText(0), "Please Login");
    EXPECT_TRUE(Window().Login()->LoginButton()->isEnabled());
}

// "Add Buddy" and "Delete Buddy" from the window's menu: logged out they say "Please login first";
// logged in they edit the list, which the next sync and heartbeat send.
TEST_F(WindowWithFakeDirectory, AddAndDeleteBuddyEditTheListTheDirectoryGets) {
    Window().OnCommand(CMainDialog::ID_BUDDY_ADD);
    Window().OnCommand(CMainDialog::ID_BUDDY_DELETE);
    EXPECT_EQ(m_boxes.Text(), "Please login first | Please login first");
    EXPECT_EQ(Tabs(Window()), kLoggedOutTabs);

    m_directory.SetReply("logmein.asp", "+OK bob");
    ASSERT_TRUE(LogIn("alice"));
    ASSERT_TRUE(Window().Session()->LoggedIn());
    ASSERT_TRUE(LoginHeartbeatDone());
    Window().show();
    Window().activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&Window()));
    BuddyListPage* page = Window().Buddies();
    ASSERT_EQ(page->Buddies(), QStringList{"bob"});

    Window().OnCommand(CMainDialog::ID_BUDDY_ADD);
    EXPECT_EQ(Window().Sheet()->GetActivePage(), page);
    ASSERT_TRUE(page->Tree()->IsEditingLabel());
    auto* editor = qobject_cast<QLineEdit*>(QApplication::focusWidget());
    ASSERT_NE(editor, nullptr);
    EXPECT_EQ(editor->text(), "**new buddy**");
    editor->selectAll();
    QTest::keyClicks(editor, " Carol ");
    QTest::keyClick(editor, Qt::Key_Return);
    EXPECT_EQ(page->Buddies(), QStringList({"bob", "carol"}));

    BuddySync* sync = Window().Session()->Sync();
    ASSERT_TRUE(TriggerAndWait(sync, &BuddySync::syncFinished, [sync] { sync->Check(); }));
    ASSERT_EQ(m_directory.Requests("SyncBList.asp").size(), 1u);
    EXPECT_EQ(m_directory.Requests("SyncBList.asp")[0].target,
              "/p\\SyncBList.asp?User=alice&Pass=pw&buddy=bob&buddy=carol");
    ASSERT_TRUE(Heartbeat());
    const std::string list = m_directory.Requests("GetUserList.asp").back().target;
    EXPECT_NE(list.find("&buddy=bob&buddy=carol"), std::string::npos) << list;

    page->Tree()->setCurrentItem(page->m_hRoot->child(0));
    Window().OnCommand(CMainDialog::ID_BUDDY_DELETE);
    EXPECT_EQ(page->Buddies(), QStringList{"carol"});
    EXPECT_EQ(page->m_hRoot->childCount(), 1);
    EXPECT_TRUE(m_client->boxes.isEmpty());  // nothing is asked before deleting
    ASSERT_TRUE(TriggerAndWait(sync, &BuddySync::syncFinished, [sync] { sync->Check(); }));
    ASSERT_EQ(m_directory.Requests("SyncBList.asp").size(), 2u);
    EXPECT_EQ(m_directory.Requests("SyncBList.asp")[1].target,
              "/p\\SyncBList.asp?User=alice&Pass=pw&buddy=carol");
    EXPECT_EQ(m_boxes.Text(), "Please login first | Please login first");
}

}  // namespace
