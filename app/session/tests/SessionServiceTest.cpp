// The login session, the presence worker, the call reports, the buddy sync and the buddy key page
// against the real zorvo-directory on a free loopback port, and against services that refuse or
// never answer.

#include <gtest/gtest.h>
#include <httplib.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <mutex>
#include <optional>
#include <thread>

#include "app/session/BuddyKeyRequest.h"
#include "app/session/BuddySync.h"
#include "app/session/LoginSession.h"
#include "app/session/PresenceWorker.h"
#include "app/session/SessionSettings.h"
#include "app/session/SessionState.h"
#include "app/session/tests/SignalWait.h"
#include "app/settings/ProgramSettings.h"
#include "directory/client/Requests.h"
#include "engine/CallCrypto.h"
#include "testsupport/DirectoryProcess.h"
#include "testsupport/FreePort.h"
#include "testsupport/GuiLatency.h"
#include "testsupport/TestHttpServer.h"
#include "util/MessageBox.h"

namespace {

using sessiontest::TriggerAndWait;

std::mutex g_boxLock;
QStringList g_boxes;

QStringList Boxes() {
    std::lock_guard<std::mutex> lock(g_boxLock);
    return g_boxes;
}

class SessionAgainstService : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        qputenv("ZORVO_CONFIG_DIR", m_dir.path().toUtf8());
        {
            std::lock_guard<std::mutex> lock(g_boxLock);
            g_boxes.clear();
        }
        SetMessageBoxHook([](const std::string& text, const std::string&) {
            std::lock_guard<std::mutex> lock(g_boxLock);
            g_boxes << QString::fromStdString(text);
        });
        m_port = testsupport::FreeTcpPort();
        m_db = (m_dir.path() + "/dir.db").toStdString();
        ASSERT_TRUE(m_service.Start(m_db, m_port));
        m_host = "127.0.0.1:" + std::to_string(m_port);
        m_state.SetServiceHost(m_host);
        m_state.SetTimeouts(1000, 2000, 1000);
        m_login.SetLoginPauseMs(20);
        m_presence.SetHeartbeatIntervalMs(3600000);  // heartbeats only when asked for
        // The window's wiring: automatic login from the page's fields, local logoff.
        QObject::connect(&m_presence, &PresenceWorker::loginRequested, &m_login, [this] {
            ++m_autoLogins;
            if (m_state.loggedIn.load() == 0) {
                QString user;
                QString password;
                session_settings::ReadCredentials(&user, &password);
                m_login.Login(user, password);
            }
        });
        QObject::connect(&m_presence, &PresenceWorker::logoffRequested, &m_login,
                         [this] { m_login.Logoff(); });
    }
    void TearDown() override {
        m_presence.Stop();
        SetMessageBoxHook({});
    }

    void Register(const std::string& user, const std::string& pass) {
        CWebClient web;
        std::string reply;
        ASSERT_EQ(
            web.Get(m_host, "register.asp?User=" + UrlEncode(user) + "&Pass=" + UrlEncode(pass),
                    &reply),
            1);
        ASSERT_NE(reply.find("is ready"), std::string::npos) << reply;
    }

    int LoginAndWait(const QString& user, const QString& pass) {
        QSignalSpy finished(&m_login, &LoginSession::loginFinished);
        if (!m_login.Login(user, pass)) {
            return -1;
        }
        if (!finished.wait(10000)) {
            return -2;
        }
        return finished.takeFirst().at(0).toInt();
    }

    // One heartbeat, waited for.
    void Heartbeat() {
        ASSERT_TRUE(TriggerAndWait(&m_presence, &PresenceWorker::heartbeatDone,
                                   [this] { m_presence.Refresh(); }));
    }

    QTemporaryDir m_dir;
    testsupport::DirectoryProcess m_service{ZORVO_DIRECTORY_BIN};
    int m_port = 0;
    std::string m_db;
    std::string m_host;
    SessionState m_state;
    LoginSession m_login{&m_state};
    PresenceWorker m_presence{&m_state};
    int m_autoLogins = 0;
};

TEST_F(SessionAgainstService, LoginGivesTheBuddyTextAndSavesCredentialsOwnerOnly) {
    Register("alice", "pw one");
    session_settings::WriteAutoLogin(true);
    QSignalSpy loggedIn(&m_login, &LoginSession::loggedIn);
    QSignalSpy busy(&m_login, &LoginSession::busyTextChanged);
    ASSERT_EQ(LoginAndWait("alice", "pw one"), LoginSession::kLoggedIn);
    ASSERT_EQ(loggedIn.count(), 1);
    EXPECT_EQ(loggedIn.at(0).at(0).toString(), "alice");
    EXPECT_EQ(loggedIn.at(0).at(1).toString(), "");
    EXPECT_EQ(busy.at(0).at(0).toString(), "Logging in.. Please wait");
    EXPECT_EQ(m_state.loggedIn.load(), 1);
    EXPECT_TRUE(Boxes().isEmpty()) << Boxes().join("|").toStdString();

    // The server's copy of the list comes back with the next login.
    std::string reply;
    CWebClient web;
    const ServerInfo server = m_state.Server();
    ASSERT_EQ(
        web.Get(server.host, SyncBListTarget(server, "alice", "pw one", "bob carol "), &reply), 1);
    ASSERT_EQ(LoginAndWait("alice", "pw one"), LoginSession::kLoggedIn);
    EXPECT_EQ(loggedIn.at(1).at(1).toString(), "bob carol");

    QString user;
    QString pass;
    session_settings::ReadCredentials(&user, &pass);
    EXPECT_EQ(user, "alice");
    EXPECT_EQ(pass, "pw one");
    struct stat st {};
    ASSERT_EQ(stat(ProgramSettings::FilePath().toUtf8().constData(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    session_settings::WriteAutoLogin(false);
    session_settings::ReadCredentials(&user, &pass);
    EXPECT_EQ(user, "");
    EXPECT_EQ(pass, "");
}

TEST_F(SessionAgainstService, WrongPasswordShowsTheBoxAndStopsAutomaticLogin) {
    Register("alice", "right");
    session_settings::WriteAutoLogin(true);
    ASSERT_EQ(LoginAndWait("alice", "wrong"), LoginSession::kRefused);
    EXPECT_EQ(Boxes(), QStringList({"Invalid UserName/Pass"}));
    EXPECT_EQ(m_state.loggedIn.load(), 0);
    EXPECT_EQ(m_state.autoLoginPending.load(), 0);

    ASSERT_TRUE(TriggerAndWait(&m_presence, &PresenceWorker::heartbeatDone,
                               [this] { m_presence.Start(); }));
    QTest::qWait(50);
    EXPECT_EQ(m_autoLogins, 0);
    EXPECT_EQ(m_presence.ServerStatus(), "Behind firewall");
}

TEST_F(SessionAgainstService, StoppedServiceLogsOffAndAutomaticLoginReturnsWithIt) {
    Register("alice", "pw");
    session_settings::WriteAutoLogin(true);
    ASSERT_EQ(LoginAndWait("alice", "pw"), LoginSession::kLoggedIn);
    ASSERT_TRUE(TriggerAndWait(&m_presence, &PresenceWorker::heartbeatDone,
                               [this] { m_presence.Start(); }));
    QTest::qWait(50);
    // The first reachable heartbeat asks once; the window ignores it while logged in.
    EXPECT_EQ(m_autoLogins, 1);
    Heartbeat();
    QTest::qWait(50);
    EXPECT_EQ(m_autoLogins, 1);

    m_service.Stop();
    QSignalSpy loggedOff(&m_login, &LoginSession::loggedOff);
    Heartbeat();
    EXPECT_EQ(m_presence.ServerStatus(), "The server cannot be reached");
    ASSERT_TRUE(loggedOff.count() > 0 || loggedOff.wait(10000));
    EXPECT_EQ(m_state.loggedIn.load(), 0);

    ASSERT_TRUE(m_service.Start(m_db, m_port));
    QSignalSpy loggedIn(&m_login, &LoginSession::loggedIn);
    Heartbeat();
    EXPECT_EQ(m_presence.ServerStatus(), "Behind firewall");
    ASSERT_TRUE(loggedIn.count() > 0 || loggedIn.wait(10000));
    EXPECT_EQ(m_autoLogins, 2);
    EXPECT_EQ(m_state.loggedIn.load(), 1);
}

TEST_F(SessionAgainstService, HeartbeatListsOnlineBuddiesAndReportsKeepTheFirstId) {
    Register("alice", "pw");
    Register("bob", "pw");
    ASSERT_EQ(LoginAndWait("bob", "pw"), LoginSession::kLoggedIn);
    ASSERT_EQ(LoginAndWait("alice", "pw"), LoginSession::kLoggedIn);
    m_presence.SetBuddySource([] { return std::vector<std::string>{"bob"}; });
    QSignalSpy online(&m_presence, &PresenceWorker::onlineReplyReceived);
    m_presence.Start();
    ASSERT_TRUE(online.count() > 0 || online.wait(10000));
    EXPECT_TRUE(online.at(0).at(0).toString().startsWith('+'));
    EXPECT_NE(online.at(0).at(0).toString().indexOf("bob"), -1)
        << online.at(0).at(0).toString().toStdString();

    CallFigures call;
    call.connected = true;
    call.callStart = ReportClockNow() - 61;
    call.avgDelay = 123.9;
    call.remoteUser = "bob";
    call.newCall = true;
    m_presence.RequestCallReport(call, true);
    ASSERT_TRUE(QTest::qWaitFor([this] { return m_presence.SessionId() != 0; }, 10000));
    const int first = m_presence.SessionId();
    call.newCall = false;
    m_presence.RequestCallReport(call, false);
    Heartbeat();  // runs after the report on the same thread
    EXPECT_EQ(m_presence.SessionId(), first);

    // A call that is not connected sends nothing.
    call.connected = false;
    call.newCall = true;
    m_presence.RequestCallReport(call, true);
    Heartbeat();
    EXPECT_EQ(m_presence.SessionId(), 0);
}

// The encryption extension: the login publishes the identity key, and a buddy's key comes back
// from the buddy key page, asked for off the GUI thread.
TEST_F(SessionAgainstService, TheLoginPublishesTheIdentityKeyThatBuddiesThenFetch) {
    Register("alice", "pw");
    Register("bob", "pw");
    const std::string aliceKey = KeyHex(IdentityKey::Generate().publicKey);
    m_state.SetIdentityKeyHex(aliceKey);
    ASSERT_EQ(LoginAndWait("alice", "pw"), LoginSession::kLoggedIn);
    m_state.SetIdentityKeyHex("");  // bob's client has no identity
    ASSERT_EQ(LoginAndWait("bob", "pw"), LoginSession::kLoggedIn);

    BuddyKeyRequest request(&m_state);
    auto ask = [&request](const QString& buddy) {
        std::optional<BuddyKeyReply> answer;
        const auto c =
            QObject::connect(&request, &BuddyKeyRequest::answered,
                             [&answer, buddy](const QString& name, const BuddyKeyReply& reply) {
                                 EXPECT_EQ(name, buddy);
                                 answer = reply;
                             });
        EXPECT_TRUE(request.Start(buddy));
        EXPECT_FALSE(request.Start(buddy));  // one at a time
        EXPECT_TRUE(QTest::qWaitFor([&] { return answer.has_value(); }, 10000));
        QObject::disconnect(c);
        return answer.value_or(BuddyKeyReply());
    };
    const BuddyKeyReply alice = ask("alice");
    EXPECT_EQ(alice.kind, BuddyKeyReply::Kind::kKey) << alice.reason;
    EXPECT_EQ(alice.keyHex, aliceKey);
    EXPECT_EQ(ask("bob").kind, BuddyKeyReply::Kind::kNoKey);
    const BuddyKeyReply nobody = ask("nobody");
    EXPECT_EQ(nobody.kind, BuddyKeyReply::Kind::kRefused);
    EXPECT_EQ(nobody.reason, "no such user");
}

TEST_F(SessionAgainstService, BuddySyncSendsTheSavedListOnceAfterAChange) {
    Register("alice", "pw");
    ASSERT_EQ(LoginAndWait("alice", "pw"), LoginSession::kLoggedIn);
    session_settings::SaveBuddyList("alice", {"bob", "carol"});
    BuddySync sync(&m_state);
    sync.SetIntervalMs(20);
    QSignalSpy finished(&sync, &BuddySync::syncFinished);
    QTest::qWait(100);
    EXPECT_EQ(sync.SyncsStarted(), 0);  // nothing changed
    sync.MarkDirty();
    ASSERT_TRUE(finished.wait(5000));
    QTest::qWait(100);
    EXPECT_EQ(sync.SyncsStarted(), 1);
    EXPECT_FALSE(sync.IsDirty());
    QSignalSpy loggedIn(&m_login, &LoginSession::loggedIn);
    ASSERT_EQ(LoginAndWait("alice", "pw"), LoginSession::kLoggedIn);
    EXPECT_EQ(loggedIn.at(0).at(1).toString(), "bob carol");
}

// A service whose login page refuses with its own message.
TEST(SessionWithRefusingService, AHashReplyGivesTwoBoxesAndSwitchesAutomaticLoginOff) {
    QTemporaryDir dir;
    qputenv("ZORVO_CONFIG_DIR", dir.path().toUtf8());
    testsupport::TestHttpServer server;
    std::string host;  // known once the server listens, before any request comes
    server.server().Get("/ZorvoServer.txt", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content("[ZORVO]\nCURRENT IP=" + host + "\nPATH=/p\n", "text/plain");
    });
    server.server().Get(R"(/p\\logmein\.asp)", [](const httplib::Request&, httplib::Response& res) {
        res.set_content("#Your account is locked", "text/plain");
    });
    host = server.Start();

    QStringList boxes;
    SetMessageBoxHook([&](const std::string& text, const std::string&) {
        boxes << QString::fromStdString(text);
    });
    SessionState state;
    state.SetServiceHost(host);
    LoginSession login(&state);
    login.SetLoginPauseMs(0);
    QSignalSpy finished(&login, &LoginSession::loginFinished);
    ASSERT_TRUE(login.Login("alice", "pw"));
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_EQ(finished.at(0).at(0).toInt(), LoginSession::kRefused);
    EXPECT_EQ(boxes, QStringList({"#Your account is locked", "Invalid UserName/Pass"}));
    EXPECT_EQ(state.autoLoginPending.load(), 0);
    SetMessageBoxHook({});
}

// A service that takes connections and never answers: the GUI thread goes on meanwhile.
TEST(SessionWithSilentService, WorkersNeverHoldTheGuiThread) {
    QTemporaryDir dir;
    qputenv("ZORVO_CONFIG_DIR", dir.path().toUtf8());
    testsupport::SilentTcpService silent;
    ASSERT_FALSE(silent.Host().empty());
    const std::string host = silent.Host();

    SessionState state;
    state.SetServiceHost(host);
    state.SetTimeouts(1000, 4000, 1000);
    state.loggedIn = 1;  // so the heartbeat also sends its requests
    state.SetLoggedInUser("alice", "pw");
    LoginSession login(&state);
    login.SetLoginPauseMs(0);
    PresenceWorker presence(&state);
    presence.SetHeartbeatIntervalMs(3600000);
    QSignalSpy finished(&login, &LoginSession::loginFinished);
    QSignalSpy beat(&presence, &PresenceWorker::heartbeatDone);

    // The GUI thread's event latency, without the times when the loaded machine did not run
    // the process at all.
    testsupport::GuiLatencyProbe latency;
    QTest::qWait(100);  // the loop settles before measuring
    latency.Start();
    presence.Start();
    ASSERT_TRUE(login.Login("alice", "pw"));
    QTest::qWait(2000);  // both workers are waiting for the silent service now
    EXPECT_LT(latency.HeldMs(), 100) << "GUI thread held for " << latency.HeldMs() << " ms ("
                                     << latency.RawMs() << " ms measured)";
    EXPECT_EQ(finished.count(), 0);
    ASSERT_TRUE(finished.wait(10000));
    EXPECT_EQ(finished.at(0).at(0).toInt(), LoginSession::kCannotConnect);
    latency.Stop();
    EXPECT_LT(latency.HeldMs(), 100) << "GUI thread held for " << latency.HeldMs() << " ms ("
                                     << latency.RawMs() << " ms measured)";
    presence.Stop();
}

// Closing the program while a heartbeat waits on a directory server that never answers: the
// worker ends at once instead of when the request's time-out runs out.
TEST(SessionWithSilentService, ClosingEndsAHeartbeatThatWaitsOnTheServer) {
    QTemporaryDir dir;
    qputenv("ZORVO_CONFIG_DIR", dir.path().toUtf8());
    testsupport::SilentTcpService silent;
    ASSERT_FALSE(silent.Host().empty());
    // The web host answers discovery and the address check; its directory server is silent.
    testsupport::TestHttpServer web;
    web.server().Get("/ZorvoServer.txt", [&](const httplib::Request&, httplib::Response& res) {
        res.set_content("[ZORVO]\nCURRENT IP=" + silent.Host() + "\nPATH=/p\n", "text/plain");
    });

    SessionState state;
    state.SetServiceHost(web.Start());
    state.SetTimeouts(1000, 30000, 1000);
    ASSERT_EQ(state.Discover(*state.MakeWebClient()), 1);
    state.loggedIn = 1;
    state.SetLoggedInUser("alice", "pw");
    PresenceWorker presence(&state);
    presence.SetHeartbeatIntervalMs(3600000);
    QSignalSpy status(&presence, &PresenceWorker::statusChanged);
    QSignalSpy beat(&presence, &PresenceWorker::heartbeatDone);
    presence.Start();
    ASSERT_TRUE(status.wait(5000));  // the address check is done: "iamup.asp" waits now
    QTest::qWait(500);
    EXPECT_EQ(beat.count(), 0);
    const auto start = std::chrono::steady_clock::now();
    state.CancelRequests();
    presence.Stop();
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5))
        << "the request's time-out was 30 s";
}

}  // namespace
