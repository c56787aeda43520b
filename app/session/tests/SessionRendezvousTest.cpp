// The session's side of calls across home routers against a directory played by the test: the
// capabilities and addresses its requests carry, the rendezvous the heartbeat reply names, the
// router's port mapping, the call page asked for off the GUI thread, and pane 1's words.

#include <gtest/gtest.h>

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <atomic>
#include <mutex>

#include "app/session/CallPageRequest.h"
#include "app/session/CallPortMapping.h"
#include "app/session/LoginSession.h"
#include "app/session/PresenceWorker.h"
#include "app/session/ServerStatusText.h"
#include "app/session/SessionState.h"
#include "app/session/tests/FakeDirectory.h"
#include "app/session/tests/SignalWait.h"
#include "testsupport/GuiLatency.h"
#include "util/MessageBox.h"

namespace {

using sessiontest::FakeDirectory;
using sessiontest::TriggerAndWait;

const char* const kKeyHex = "00112233445566778899aabbccddeeff";
const std::string kKey("\x00\x11\x22\x33\x44\x55\x66\x77\x88\x99\xaa\xbb\xcc\xdd\xee\xff", 16);

// A router that forwards whatever it is asked to, on the external address 198.51.100.7.
class FakeMapping : public CallPortMapping {
  public:
    explicit FakeMapping(unsigned externalPort) : m_externalPort(externalPort) {}
    void Map(const std::string& localAddress, unsigned callPort) override {
        std::lock_guard<std::mutex> lock(m_lock);
        mappedFor = localAddress + ":" + std::to_string(callPort);
        m_mapped = true;
    }
    void RenewIfDue() override { ++renewals; }
    void Remove() override {
        std::lock_guard<std::mutex> lock(m_lock);
        m_mapped = false;
        ++removals;
    }
    std::string External() const override {
        std::lock_guard<std::mutex> lock(m_lock);
        return m_mapped ? "198.51.100.7:" + std::to_string(m_externalPort) : "";
    }
    std::string MappedFor() const {
        std::lock_guard<std::mutex> lock(m_lock);
        return mappedFor;
    }

    std::atomic<int> renewals{0};
    std::atomic<int> removals{0};

  private:
    const unsigned m_externalPort;
    mutable std::mutex m_lock;
    bool m_mapped = false;
    std::string mappedFor;
};

class SessionWithExtendedDirectory : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(m_dir.isValid());
        qputenv("ZORVO_CONFIG_DIR", m_dir.path().toUtf8());
        SetMessageBoxHook([this](const std::string& text, const std::string&) {
            std::lock_guard<std::mutex> lock(m_boxLock);
            m_boxes << QString::fromStdString(text);
        });
        m_state.SetServiceHost(m_directory.Host());
        m_state.SetTimeouts(1000, 3000, 1000);
        m_state.SetCallPort(4321);
        m_login.SetLoginPauseMs(0);
        m_presence.SetHeartbeatIntervalMs(3600000);  // heartbeats only when asked for
        m_presence.SetBuddySource([] { return std::vector<std::string>{"bob"}; });
    }
    void TearDown() override {
        m_presence.Stop();
        SetMessageBoxHook({});
    }

    int Login() {
        QSignalSpy finished(&m_login, &LoginSession::loginFinished);
        if (!TriggerAndWait(&m_login, &LoginSession::loginFinished,
                            [this] { EXPECT_TRUE(m_login.Login("alice", "pw")); })) {
            return -1;
        }
        return finished.takeFirst().at(0).toInt();
    }
    // One heartbeat, waited for however long a loaded machine takes.
    bool Heartbeat() {
        return TriggerAndWait(&m_presence, &PresenceWorker::heartbeatDone, [this] {
            if (!m_started) {
                m_started = true;
                m_presence.Start();
            } else {
                m_presence.Refresh();
            }
        });
    }

    QTemporaryDir m_dir;
    FakeDirectory m_directory;
    SessionState m_state;
    LoginSession m_login{&m_state};
    PresenceWorker m_presence{&m_state};
    bool m_started = false;
    std::mutex m_boxLock;
    QStringList m_boxes;
};

TEST_F(SessionWithExtendedDirectory,
       RequestsCarryTheCapabilitiesAndTheHeartbeatNamesTheRendezvous) {
    m_directory.SetReply("logmein.asp", "+OK bob");
    m_directory.SetReply("iamup.asp", std::string("+OK rv=127.0.0.1:3478 rvkey=") + kKeyHex);
    m_directory.SetReply("GetUserList.asp", "+OK bob LAN/rv");
    ASSERT_EQ(Login(), LoginSession::kLoggedIn);

    QSignalSpy rendezvous(&m_presence, &PresenceWorker::rendezvousReceived);
    QSignalSpy online(&m_presence, &PresenceWorker::onlineReplyReceived);
    ASSERT_TRUE(Heartbeat());

    // The described keys stay as they were, in their order; the extension's keys follow them.
    const auto logins = m_directory.Requests("logmein.asp");
    ASSERT_EQ(logins.size(), 1u);
    EXPECT_EQ(logins[0].target, "/p\\logmein.asp?User=alice&Pass=pw&IPAddr=LAN&Caps=rv1");
    const auto heartbeats = m_directory.Requests("iamup.asp");
    ASSERT_EQ(heartbeats.size(), 1u);
    EXPECT_EQ(heartbeats[0].target,
              "/p\\iamup.asp?User=alice&Pass=pw&IPAddr=LAN&Caps=rv1&Local=127%2E0%2E0%2E1%3A4321");
    EXPECT_EQ(heartbeats[0].Param("Local"), "127.0.0.1:4321");
    EXPECT_EQ(heartbeats[0].Param("Mapped"), "(none)");  // no router forwards the call port
    const auto lists = m_directory.Requests("GetUserList.asp");
    ASSERT_EQ(lists.size(), 1u);
    EXPECT_EQ(lists[0].target, "/p\\GetUserList.asp?User=alice&Pass=pw&buddy=bob&Caps=rv1");

    ASSERT_EQ(rendezvous.count(), 1);
    EXPECT_EQ(rendezvous.at(0).at(0).toString(), "127.0.0.1:3478");
    EXPECT_EQ(rendezvous.at(0).at(1).toByteArray().toStdString(), kKey);
    ASSERT_EQ(online.count(), 1);
    EXPECT_EQ(online.at(0).at(0).toString(), "+OK bob LAN/rv");

    // A service without the extension names no rendezvous: the program then has none.
    m_directory.SetReply("iamup.asp", "+OK");
    ASSERT_TRUE(Heartbeat());
    ASSERT_EQ(rendezvous.count(), 2);
    EXPECT_EQ(rendezvous.at(1).at(0).toString(), "");
    EXPECT_TRUE(rendezvous.at(1).at(1).toByteArray().isEmpty());
    // So does a reply whose key does not read.
    m_directory.SetReply("iamup.asp", "+OK rv=127.0.0.1:3478 rvkey=0011");
    ASSERT_TRUE(Heartbeat());
    ASSERT_EQ(rendezvous.count(), 3);
    EXPECT_EQ(rendezvous.at(2).at(0).toString(), "");

    // Pane 1 says whether callers reach this computer through the directory.
    EXPECT_EQ(m_presence.ServerStatus(), "Behind firewall");
    m_presence.SetRegistered(true);
    EXPECT_EQ(m_presence.ServerStatus(), "Behind firewall, via directory");
    std::lock_guard<std::mutex> lock(m_boxLock);
    EXPECT_TRUE(m_boxes.isEmpty()) << m_boxes.join('|').toStdString();
}

TEST_F(SessionWithExtendedDirectory, ARouterThatForwardsTheCallPortIsReportedAndReleased) {
    auto mapping = std::make_shared<FakeMapping>(4321);
    m_state.SetPortMapping(mapping);
    m_directory.SetReply("logmein.asp", "+OK ");
    ASSERT_EQ(Login(), LoginSession::kLoggedIn);
    EXPECT_EQ(mapping->MappedFor(), "127.0.0.1:4321");  // asked for at login

    QSignalSpy status(&m_presence, &PresenceWorker::statusChanged);
    ASSERT_TRUE(Heartbeat());
    EXPECT_EQ(mapping->renewals.load(), 1);
    // Forwarded on the call port's own number: old clients see the router's address and call it.
    auto heartbeats = m_directory.Requests("iamup.asp");
    ASSERT_EQ(heartbeats.size(), 1u);
    EXPECT_EQ(heartbeats[0].Param("IPAddr"), "198.51.100.7");
    EXPECT_EQ(heartbeats[0].Param("Mapped"), "198.51.100.7:4321");
    EXPECT_EQ(heartbeats[0].Param("Local"), "127.0.0.1:4321");
    EXPECT_EQ(m_presence.ServerStatus(), "Your IP:198.51.100.7 (mapped)");
    ASSERT_GE(status.count(), 1);
    EXPECT_EQ(status.last().at(0).toString(), "Your IP:198.51.100.7 (mapped)");

    ASSERT_TRUE(TriggerAndWait(&m_login, &LoginSession::loggedOff,
                               [this] { ASSERT_TRUE(m_login.Logoff()); }));
    EXPECT_EQ(mapping->removals.load(), 1);
    EXPECT_EQ(m_directory.Requests("logmeoff.asp").size(), 1u);
}

TEST_F(SessionWithExtendedDirectory, AMappingOnAnotherPortIsSentButTheAddressClassStays) {
    auto mapping = std::make_shared<FakeMapping>(40000);
    m_state.SetPortMapping(mapping);
    ASSERT_EQ(Login(), LoginSession::kLoggedIn);
    ASSERT_TRUE(Heartbeat());
    const auto heartbeats = m_directory.Requests("iamup.asp");
    ASSERT_EQ(heartbeats.size(), 1u);
    EXPECT_EQ(heartbeats[0].Param("IPAddr"), "LAN");
    EXPECT_EQ(heartbeats[0].Param("Mapped"), "198.51.100.7:40000");
    EXPECT_EQ(m_presence.ServerStatus(), "Behind firewall");
}

TEST_F(SessionWithExtendedDirectory, TheCallPageIsAskedForOffTheGuiThread) {
    m_state.SetLoggedInUser("alice", "pw");
    ASSERT_EQ(m_state.Discover(*m_state.MakeWebClient()), 1);
    m_directory.SetReply("CallBuddy.asp",
                         "+OK token=000102030405060708090a0b0c0d0e0f key=" + std::string(64, 'a') +
                             " cand=local:10.0.1.2:1720 cand=public:198.51.100.7:40000"
                             " turn=127.0.0.1:3478 tuser=1700000000:alice tpass=c2VjcmV0",
                         1000);
    CallPageRequest request(&m_state);
    QSignalSpy answered(&request, &CallPageRequest::answered);
    testsupport::GuiLatencyProbe latency;
    QTest::qWait(100);  // the loop settles before measuring
    latency.Start();
    ASSERT_TRUE(request.Start("bob"));
    EXPECT_FALSE(request.Start("carol"));  // one at a time
    ASSERT_TRUE(answered.wait(10000));
    latency.Stop();
    EXPECT_LT(latency.HeldMs(), 100) << "GUI thread held for " << latency.HeldMs() << " ms ("
                                     << latency.RawMs() << " ms measured)";

    const auto pages = m_directory.Requests("CallBuddy.asp");
    ASSERT_EQ(pages.size(), 1u);
    EXPECT_EQ(pages[0].target, "/p\\CallBuddy.asp?User=alice&Pass=pw&Buddy=bob&Caps=rv1");
    ASSERT_EQ(answered.count(), 1);
    EXPECT_EQ(answered.at(0).at(0).toString(), "bob");
    EXPECT_TRUE(answered.at(0).at(1).toBool());
    ASSERT_TRUE(request.Page());
    EXPECT_EQ(request.Page()->token.size(), 16u);
    ASSERT_EQ(request.Page()->candidates.size(), 2u);
    EXPECT_EQ(request.Page()->candidates[0].kind, stun::CandidateKind::kLocal);
    EXPECT_TRUE(request.Page()->turnServer);
    EXPECT_EQ(request.Page()->turnUser, "1700000000:alice");

    // A refusal comes back with the service's own words.
    m_directory.SetReply("CallBuddy.asp", "-ERR carol is not online through the rendezvous");
    ASSERT_TRUE(request.Start("carol"));
    ASSERT_TRUE(answered.wait(10000));
    EXPECT_FALSE(answered.at(1).at(1).toBool());
    EXPECT_EQ(answered.at(1).at(2).toString(), "carol is not online through the rendezvous");
    EXPECT_FALSE(request.Page());
}

TEST(CallPageRefusal, TheReasonIsTheServicesWordsOrWhatWentWrong) {
    EXPECT_EQ(CallPageRequest::RefusalReason(true, "-ERR bob is not online\r\n"),
              "bob is not online");
    EXPECT_EQ(CallPageRequest::RefusalReason(true, "#ERR Invalid password"), "Invalid password");
    EXPECT_EQ(CallPageRequest::RefusalReason(true, "-ERR"), "the directory refused the call");
    EXPECT_EQ(CallPageRequest::RefusalReason(false, ""), "no answer from the directory");
    // A service without the extension answers with its page-not-found text.
    EXPECT_EQ(CallPageRequest::RefusalReason(true, "<html>Page not found</html>"),
              "the directory cannot connect calls through home routers");
    EXPECT_EQ(CallPageRequest::RefusalReason(true, "-ERR " + std::string(5000, 'x')).size(), 200u);
}

TEST(ServerStatusText, SaysHowThisComputerCanBeReached) {
    using presence::ServerStatusText;
    EXPECT_EQ(ServerStatusText({"", false, ""}), "The server cannot be reached");
    EXPECT_EQ(ServerStatusText({"", true, "198.51.100.7"}), "The server cannot be reached");
    EXPECT_EQ(ServerStatusText({"1.2.3.4", false, ""}), "Your IP:1.2.3.4");
    EXPECT_EQ(ServerStatusText({"1.2.3.4", true, ""}), "Your IP:1.2.3.4");
    EXPECT_EQ(ServerStatusText({"LAN", false, ""}), "Behind firewall");
    EXPECT_EQ(ServerStatusText({"LAN", true, ""}), "Behind firewall, via directory");
    EXPECT_EQ(ServerStatusText({"LAN", false, "198.51.100.7"}), "Your IP:198.51.100.7 (mapped)");
    EXPECT_EQ(ServerStatusText({"LAN", true, "198.51.100.7"}), "Your IP:198.51.100.7 (mapped)");
}

}  // namespace
