// The main window with its directory session against the real zorvo-directory on a loopback
// port: login through the page, refusal, the service going away and coming back, and a service
// that never answers.

#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <QAction>
#include <QCheckBox>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <QTreeWidgetItem>

#include <mutex>

#include "app/pages/LoginPage.h"
#include "app/pages/MyPropertySheet.h"
#include "app/pages/OnlinePage.h"
#include "app/session/LoginSession.h"
#include "app/session/PresenceWorker.h"
#include "app/session/SessionSettings.h"
#include "app/session/SessionState.h"
#include "app/shell/SessionCoordinator.h"
#include "app/shell/tests/ShellTestSupport.h"
#include "app/widgets/LinkLabel.h"
#include "app/widgets/MainStatusBar.h"
#include "directory/client/Requests.h"
#include "directory/client/WebClient.h"
#include "testsupport/DirectoryProcess.h"
#include "testsupport/FreePort.h"
#include "testsupport/GuiLatency.h"
#include "util/MessageBox.h"

namespace {

using shelltest::Client;
using shelltest::SessionBoxes;
using shelltest::Tabs;
using shelltest::WaitUntil;

// Short pauses and bounds instead of a person's, and heartbeats only when asked for.
void UseTestTimings(CMainDialog& window) {
    SessionCoordinator* session = window.Session();
    session->Login()->SetLoginPauseMs(20);
    session->Presence()->SetHeartbeatIntervalMs(3600000);
    session->State().SetTimeouts(1000, 2000, 1000);
}

// "Refresh", waited for until the heartbeat has run and the window has heard what it said.
bool Refresh(CMainDialog& window) {
    QSignalSpy done(window.Session()->Presence(), &PresenceWorker::heartbeatDone);
    window.OnCommand(CMainDialog::ID_VIEW_REFRESH);
    if (done.count() == 0 && !done.wait(10000)) {
        return false;
    }
    QTest::qWait(100);  // the worker's queued requests reach the window
    return true;
}

// Types the credentials on the login page, sets "Auto Login" and presses "Login".
void PressLogin(CMainDialog& window, const QString& user, const QString& password, bool autoLogin) {
    LoginPage* page = window.Login();
    page->UserEdit()->setText(user);
    page->PasswordEdit()->setText(password);
    if (page->AutoLoginCheck()->isChecked() != autoLogin) {
        page->AutoLoginCheck()->click();
    }
    page->LoginButton()->click();
}

bool LoginEnds(CMainDialog& window) {
    return WaitUntil([&] { return !window.Session()->Login()->IsBusy(); }, 15000);
}

class WindowWithService : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        m_port = testsupport::FreeTcpPort();
        m_db = (m_dir.path() + "/dir.db").toStdString();
        ASSERT_TRUE(m_service.Start(m_db, m_port));
        m_host = "127.0.0.1:" + std::to_string(m_port);
        qputenv("ZORVO_SERVICE_HOST", QByteArray::fromStdString(m_host));
        CWebClient web;
        std::string reply;
        ASSERT_EQ(web.Get(m_host, "register.asp?User=alice&Pass=" + UrlEncode("pw 1"), &reply), 1);
        ASSERT_NE(reply.find("is ready"), std::string::npos) << reply;
        m_client = std::make_unique<Client>();
        UseTestTimings(*m_client->window);
    }
    void TearDown() override {
        m_client.reset();
        qunsetenv("ZORVO_SERVICE_HOST");
    }

    CMainDialog& Window() { return *m_client->window; }

    QTemporaryDir m_dir;
    testsupport::DirectoryProcess m_service{ZORVO_DIRECTORY_BIN};
    int m_port = 0;
    std::string m_db;
    std::string m_host;
    SessionBoxes m_boxes;
    std::unique_ptr<Client> m_client;
};

TEST_F(WindowWithService, LoginShowsTheLoggedInWindowAndLogoffTheLoggedOutOne) {
    ASSERT_TRUE(Refresh(Window()));
    EXPECT_EQ(Window().PaneText(1), "Behind firewall");  // loopback counts as a LAN
    emit Window().Tray()->aboutToShowMenu();
    EXPECT_TRUE(Window().Tray()->Action(CSystemTray::kLogin)->isEnabled());
    EXPECT_FALSE(Window().Tray()->Action(CSystemTray::kLogoff)->isEnabled());
    PressLogin(Window(), "alice", "pw 1", false);
    EXPECT_EQ(Window().StatusBar()->HasSavedState(0), true);  // pane 0 is the busy indicator
    ASSERT_TRUE(LoginEnds(Window()));
    EXPECT_TRUE(m_boxes.Get().isEmpty()) << m_boxes.Get().join('|').toStdString();
    EXPECT_TRUE(Window().Session()->LoggedIn());
    EXPECT_FALSE(Window().StatusBar()->HasSavedState(0));
    EXPECT_EQ(Window().windowTitle(), "Mervane-alice");
    EXPECT_EQ(Tabs(Window()), QStringList({"Online", "Buddies", "Connect by IP"}));
    EXPECT_EQ(Window().Sheet()->GetActivePage(), Window().Online());
    EXPECT_TRUE(Window().Online()->m_hRoot->isExpanded());
    EXPECT_EQ(Window().PaneText(0), QString::fromStdString(m_host));
    emit Window().Tray()->aboutToShowMenu();
    EXPECT_FALSE(Window().Tray()->Action(CSystemTray::kLogin)->isEnabled());
    EXPECT_TRUE(Window().Tray()->Action(CSystemTray::kLogoff)->isEnabled());

    Window().OnCommand(CSystemTray::kLogoff);
    ASSERT_TRUE(WaitUntil([&] { return !Window().Session()->LoggedIn(); }, 10000));
    EXPECT_EQ(Tabs(Window()), QStringList({"Login", "Connect by IP"}));
    EXPECT_EQ(Window().Sheet()->GetActivePage(), Window().Login());
    EXPECT_EQ(Window().PaneText(0), "Please Login");
    EXPECT_EQ(Window().windowTitle(), "Mervane-alice");  // the title keeps the name
    emit Window().Tray()->aboutToShowMenu();
    EXPECT_TRUE(Window().Tray()->Action(CSystemTray::kLogin)->isEnabled());
    EXPECT_FALSE(Window().Tray()->Action(CSystemTray::kLogoff)->isEnabled());
}

TEST_F(WindowWithService, WrongPasswordKeepsAutomaticLoginOffUntilTheNextManualLogin) {
    PressLogin(Window(), "alice", "wrong", true);
    ASSERT_TRUE(LoginEnds(Window()));
    EXPECT_EQ(m_boxes.Get(), QStringList({"Invalid UserName/Pass"}));
    EXPECT_FALSE(Window().Session()->LoggedIn());
    EXPECT_EQ(Window().PaneText(0), "Please Login");
    EXPECT_TRUE(Window().Login()->LoginButton()->isEnabled());

    // The service goes away and comes back: "AutoLogin" is on, but after a refusal the client
    // waits for the user.
    m_service.Stop();
    ASSERT_TRUE(Refresh(Window()));
    EXPECT_EQ(Window().PaneText(1), "The server cannot be reached");
    ASSERT_TRUE(m_service.Start(m_db, m_port));
    ASSERT_TRUE(Refresh(Window()));
    EXPECT_EQ(Window().PaneText(1), "Behind firewall");
    EXPECT_FALSE(Window().Session()->Login()->IsBusy());
    EXPECT_FALSE(Window().Session()->LoggedIn());

    PressLogin(Window(), "alice", "pw 1", true);
    ASSERT_TRUE(LoginEnds(Window()));
    EXPECT_TRUE(Window().Session()->LoggedIn());
}

TEST_F(WindowWithService, StoppedServiceLogsOffAndAutomaticLoginComesBackWithIt) {
    PressLogin(Window(), "alice", "pw 1", true);
    ASSERT_TRUE(LoginEnds(Window()));
    ASSERT_TRUE(Window().Session()->LoggedIn());

    m_service.Stop();
    ASSERT_TRUE(Refresh(Window()));
    EXPECT_EQ(Window().PaneText(1), "The server cannot be reached");
    ASSERT_TRUE(WaitUntil([&] { return !Window().Session()->LoggedIn(); }, 10000));
    ASSERT_TRUE(WaitUntil([&] { return !Window().Session()->Login()->IsBusy(); }, 10000));
    EXPECT_EQ(Tabs(Window()), QStringList({"Login", "Connect by IP"}));
    EXPECT_EQ(Window().PaneText(0), "Please Login");
    // The saved credentials are back in the login page's fields for the automatic login.
    EXPECT_EQ(Window().Login()->UserEdit()->text(), "alice");

    ASSERT_TRUE(m_service.Start(m_db, m_port));
    ASSERT_TRUE(Refresh(Window()));
    ASSERT_TRUE(WaitUntil([&] { return Window().Session()->LoggedIn(); }, 15000));
    EXPECT_EQ(Window().windowTitle(), "Mervane-alice");
    EXPECT_EQ(Tabs(Window()), QStringList({"Online", "Buddies", "Connect by IP"}));
}

TEST_F(WindowWithService, TheLinksLeadToTheServicePages) {
    EXPECT_EQ(Window().RegisterLink()->Url(),
              QString::fromStdString("http://" + m_host + "/register.asp"));
    EXPECT_TRUE(Window().InviteLink()->Url().startsWith(
        QString::fromStdString("http://" + m_host + "/myaccount.asp?")));
    EXPECT_FALSE(Window().InviteLink()->Url().contains("%25"));  // not escaped twice
}

// Talk on the online page: the selection must be an online buddy who can be called.
TEST(TalkFromTheOnlinePage, RefusesWithoutABuddyOrBehindAFirewallAndCallsByName) {
    Client client;
    CMainDialog& window = *client.window;
    window.ArrangePages(1);
    window.Online()->SetOwnName("alice");
    window.Online()->UpdateFromReply("+OK bob LAN carol 127.0.0.1 Alice 127.0.0.1");
    QTreeWidgetItem* root = window.Online()->m_hRoot;
    ASSERT_EQ(root->childCount(), 2);  // the own name is left out
    const QString selectText =
        "Please select the buddy to talk with from the list of buddies online";

    window.Online()->Tree()->setCurrentItem(root);
    window.TalkButton()->click();
    EXPECT_EQ(client.boxes, QStringList({selectText}));

    window.Online()->Tree()->setCurrentItem(root->child(0));  // bob, behind a firewall
    window.TalkButton()->click();
    EXPECT_EQ(client.boxes.value(1),
              "Cannot connect to bob's computer since it is behind a firewall. Computers behind a "
              "firewall cannot be reached. But they can initiate a connection to you.");
    EXPECT_FALSE(window.Call()->Attempting());

    window.Online()->Tree()->setCurrentItem(root->child(1));  // carol, callable
    window.TalkButton()->click();
    EXPECT_EQ(client.boxes.size(), 2);
    EXPECT_TRUE(window.Call()->Attempting());
    EXPECT_EQ(window.RemoteUser(), "carol");
    window.Call()->CancelCall();
    EXPECT_TRUE(WaitUntil([&] { return !window.Call()->Attempting(); }, 10000));
}

// A service that takes connections and never answers.
TEST(WindowWithSilentService, TheWindowKeepsRepaintingWhileTheServiceHangs) {
    testsupport::SilentTcpService silent;
    ASSERT_FALSE(silent.Host().empty());
    qputenv("ZORVO_SERVICE_HOST", QByteArray::fromStdString(silent.Host()));
    SessionBoxes boxes;
    {
        Client client;
        CMainDialog& window = *client.window;
        UseTestTimings(window);
        window.Session()->State().SetTimeouts(1000, 3000, 1000);
        window.show();

        // The status bar is asked to repaint every 10 ms and its paints are counted; the GUI
        // thread's event latency is measured beside it.
        int paints = 0;
        QTimer repaint;
        QObject::connect(&repaint, &QTimer::timeout, [&] { window.StatusBar()->repaint(); });
        struct PaintWatch : QObject {
            int* paints = nullptr;
            bool eventFilter(QObject*, QEvent* e) override {
                *paints += e->type() == QEvent::Paint ? 1 : 0;
                return false;
            }
        } watch;
        watch.paints = &paints;
        window.StatusBar()->installEventFilter(&watch);
        testsupport::GuiLatencyProbe latency;
        latency.Start();
        repaint.start(10);
        PressLogin(window, "alice", "pw", false);
        window.OnCommand(CMainDialog::ID_VIEW_REFRESH);
        QTest::qWait(2000);  // the login and the heartbeat both wait for the silent service
        latency.Stop();
        repaint.stop();
        EXPECT_TRUE(window.Session()->Login()->IsBusy());
        EXPECT_GT(paints, 50);
        EXPECT_LT(latency.HeldMs(), 100) << "the GUI thread was held for " << latency.HeldMs()
                                         << " ms (" << latency.RawMs() << " ms measured)";
        ASSERT_TRUE(LoginEnds(window));
        window.StatusBar()->removeEventFilter(&watch);
    }
    qunsetenv("ZORVO_SERVICE_HOST");
}

}  // namespace
