// The main window calling a buddy behind a home router, with the directory service and its
// rendezvous played by the test: the heartbeat's rendezvous reaches the listening engine, which
// registers; pane 1 says so; Talk on a buddy listed "LAN/rv" asks for the call page off the GUI
// thread and calls over the path found; a refused page shows the reason and listening goes on.

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTreeWidget>

#include <memory>

#include "ShellTestSupport.h"
#include "app/call/tests/FakeRendezvous.h"
#include "app/pages/LoginPage.h"
#include "app/pages/MyPropertySheet.h"
#include "app/pages/OnlinePage.h"
#include "app/session/LoginSession.h"
#include "app/session/PresenceWorker.h"
#include "app/session/SessionState.h"
#include "app/session/tests/FakeDirectory.h"
#include "app/shell/SessionCoordinator.h"
#include "testsupport/StatusLog.h"

using namespace shelltest;

namespace {

const std::string kAliceKey = "alice's key 0123";
const std::string kBobKey = "bob's key 4567!!";
const std::string kToken = "token of a call!";

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    return address;
}

// Bob's program behind his router: an engine that listens, registered with the rendezvous, and
// accepts every call.
class Bob {
  public:
    // `microphone`: a quiet WAV file, so that the send thread runs and hangs up.
    Bob(const calltest::FakeRendezvous& rendezvous, uint16_t port, const QString& microphone)
        : port(port) {
        log.OnEvent([](const testsupport::Event& e) {
            if (e.code == STATUS_INCOMING_CALL) {
                Voxlane::WriteDecision(e.value, DECISION_ACCEPT);
            }
        });
        EngineOptions options;
        options.microphone = microphone.toStdString();
        options.speaker = "none";
        options.rendezvous = RendezvousConfig{rendezvous.Address(), "bob", kBobKey, port};
        engine = std::make_unique<Voxlane>(port, 1, &stats, "bob", options);
        engine->StartServer();
    }
    ~Bob() { engine->Stop(); }

    const uint16_t port;
    testsupport::StatusLog log;
    Statistics stats{log.Window()};
    std::unique_ptr<Voxlane> engine;
};

std::string BobSaid(Bob& bob) {
    std::string said;
    for (const testsupport::Event& e : bob.log.Events()) {
        said += "\n bob: " + std::to_string(e.code) + " " + e.text;
    }
    return said;
}

class WindowWithRendezvous : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        quiet = m_dir.filePath("quiet.wav");
        ASSERT_EQ(QProcess::execute(
                      "sox", {"-n", "-r", "8000", "-c", "1", "-b", "16", quiet, "trim", "0", "1"}),
                  0);
        rendezvous.AddUser("alice", kAliceKey);
        rendezvous.AddUser("bob", kBobKey);
        directory.SetReply("logmein.asp", "+OK bob carol");
        directory.SetReply("iamup.asp", "+OK rv=127.0.0.1:" + std::to_string(rendezvous.Port()) +
                                            " rvkey=" + stun::ToHex(kAliceKey));
        directory.SetReply("GetUserList.asp", "+OK bob LAN/rv carol LAN");
        qputenv("ZORVO_SERVICE_HOST", QByteArray::fromStdString(directory.Host()));
        client = std::make_unique<Client>(quiet);
        SessionCoordinator* session = Window().Session();
        session->Login()->SetLoginPauseMs(20);
        session->Presence()->SetHeartbeatIntervalMs(3600000);
        session->State().SetTimeouts(1000, 3000, 1000);
    }
    void TearDown() override {
        client.reset();
        qunsetenv("ZORVO_SERVICE_HOST");
    }

    CMainDialog& Window() { return *client->window; }

    // Logs in through the page; the heartbeat at the end of the login names the rendezvous.
    void LogInAndRegister() {
        LoginPage* page = Window().Login();
        page->UserEdit()->setText("alice");
        page->PasswordEdit()->setText("pw");
        page->LoginButton()->click();
        ASSERT_TRUE(WaitUntil([&] { return Window().Session()->LoggedIn(); }, 15000));
        ASSERT_TRUE(WaitUntil([&] { return Window().Online()->m_hRoot->childCount() == 2; }));
        ASSERT_TRUE(WaitUntil([&] { return Window().Call()->Registered(); }));
    }

    void Talk(int child) {
        Window().Online()->Tree()->setCurrentItem(Window().Online()->m_hRoot->child(child));
        Window().TalkButton()->click();
    }

    QTemporaryDir m_dir;
    QString quiet;
    sessiontest::FakeDirectory directory;
    calltest::FakeRendezvous rendezvous;
    std::unique_ptr<Client> client;
};

TEST_F(WindowWithRendezvous, TalkOnARegisteredBuddyBehindARouterCallsThroughTheDirectory) {
    LogInAndRegister();
    ASSERT_FALSE(HasFatalFailure());
    CMainDialog& w = Window();
    // The listening engine registered from the call port with alice's key.
    ASSERT_TRUE(rendezvous.RegisteredAt("alice"));
    EXPECT_EQ(ntohs(rendezvous.RegisteredAt("alice")->sin_port), client->Port());
    ASSERT_TRUE(WaitUntil([&] { return w.PaneText(1).contains("via directory"); }));
    EXPECT_EQ(w.PaneText(1), "Behind firewall, via directory");
    EXPECT_EQ(w.Online()->m_hRoot->child(0)->text(0), "bob");

    // Bob's program is registered too; the call page makes the rendezvous tell him about alice.
    Bob bob(rendezvous, testsupport::FreeUdpPort(), quiet);
    ASSERT_TRUE(WaitUntil([&] { return rendezvous.Registrations("bob") >= 1; }));
    directory.SetReply("CallBuddy.asp", "+OK token=" + stun::ToHex(kToken) + " key=" +
                                            stun::ToHex(stun::HmacSha256(kBobKey, kToken)) +
                                            " cand=local:127.0.0.1:" + std::to_string(bob.port));
    bool notified = false;
    directory.SetAction("CallBuddy.asp", [&] {
        notified = rendezvous.Notify("bob", kToken, "alice",
                                     {{stun::CandidateKind::kLocal, Loopback(client->Port())}});
    });

    Talk(0);
    EXPECT_TRUE(w.Call()->Attempting());
    ASSERT_TRUE(WaitUntil([&] { return w.HangUpButton()->isVisibleTo(&w); }, 15000))
        << w.DebugLines().join(" | ").toStdString();
    EXPECT_TRUE(notified);
    const auto pages = directory.Requests("CallBuddy.asp");
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].target, "/p\\CallBuddy.asp?User=alice&Pass=pw&Buddy=bob&Caps=rv1");
    EXPECT_EQ(w.RemoteUser(), "bob");
    EXPECT_TRUE(w.CallText().startsWith("Active 00:00:0"));
    EXPECT_TRUE(w.CallPathLabel()->isVisibleTo(&w));
    EXPECT_EQ(w.CallPathLabel()->text(), "Connected (same local network)");
    ASSERT_TRUE(bob.log.WaitFor(STATUS_CONNECTED));
    ASSERT_TRUE(bob.log.Last(STATUS_PATH));
    EXPECT_EQ(bob.log.Last(STATUS_PATH)->value, static_cast<uintptr_t>(PathKind::kLocal));
    EXPECT_TRUE(client->boxes.isEmpty()) << client->boxes.join('|').toStdString();

    // Bob hangs up: the window listens again, registered as before, and the path goes away.
    const int registrations = rendezvous.Registrations("alice");
    bob.engine->Stop();
    ASSERT_TRUE(WaitUntil([&] { return w.TalkButton()->isVisibleTo(&w); }, 15000))
        << w.DebugLines().join(" | ").toStdString() << BobSaid(bob);
    EXPECT_FALSE(w.CallPathLabel()->isVisibleTo(&w));
    EXPECT_EQ(w.PaneText(2), "Ready to receive calls");
    ASSERT_TRUE(WaitUntil([&] { return rendezvous.Registrations("alice") > registrations; }));
    EXPECT_EQ(w.PaneText(1), "Behind firewall, via directory");
}

TEST_F(WindowWithRendezvous, ARefusedCallPageShowsTheReasonAndListeningGoesOn) {
    LogInAndRegister();
    ASSERT_FALSE(HasFatalFailure());
    CMainDialog& w = Window();
    Voxlane* listening = w.Engine();
    directory.SetReply("CallBuddy.asp", "-ERR bob is not online through the rendezvous");
    Talk(0);
    ASSERT_TRUE(WaitUntil([&] { return !w.Call()->Attempting(); }));
    EXPECT_EQ(client->boxes,
              QStringList({"Cannot connect to bob: bob is not online through the rendezvous"}));
    EXPECT_EQ(w.Engine(), listening);
    EXPECT_EQ(w.PaneText(2), "Ready to receive calls");
    EXPECT_EQ(w.Connecting(), nullptr);

    // Carol is behind a router without the extension: the firewall box as before, no page.
    Talk(1);
    ASSERT_EQ(client->boxes.size(), 2);
    EXPECT_TRUE(
        client->boxes[1].startsWith("Cannot connect to carol's computer since it is "
                                    "behind a firewall."));
    EXPECT_EQ(directory.Requests("CallBuddy.asp").size(), 1u);
    EXPECT_FALSE(w.Call()->Attempting());

    // Logged off, the rendezvous is dropped: a new listening engine no longer registers.
    w.OnCommand(CSystemTray::kLogoff);
    ASSERT_TRUE(WaitUntil([&] { return !w.Session()->LoggedIn(); }));
    EXPECT_FALSE(w.Call()->NextEngineOptions().rendezvous);
    EXPECT_FALSE(w.Call()->Registered());
    EXPECT_NE(w.Engine(), nullptr);
    ASSERT_TRUE(WaitUntil([&] { return w.PaneText(1) == "Behind firewall"; }));
}

}  // namespace
