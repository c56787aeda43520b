// The call controller's part in calls across home routers: the rendezvous every engine carries
// and the listening engine's registration with a rendezvous played by the test, a call by name
// waiting for the directory's call page, and how a call says which way it got through.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>

#include <functional>

#include "app/call/CallController.h"
#include "app/call/tests/ControllerTestEnvironment.h"
#include "app/call/tests/FakeRendezvous.h"
#include "testsupport/FreePort.h"
#include "testsupport/QtTestSetup.h"
#include "util/Messages.h"

namespace {

using calltest::WaitUntil;

const std::string kAliceKey = "alice's key 0123";

class CallControllerWithRendezvous : public calltest::ControllerFixture {
  protected:
    void SetUp() override {
        PrepareEnvironment();
        ASSERT_FALSE(HasFatalFailure());
        auto add = [this](const QString& line) { lines << line; };
        QObject::connect(&call, &CallController::listening, [add] { add("listening"); });
        QObject::connect(&call, &CallController::registrationChanged,
                         [add](bool on) { add(on ? "registered" : "not registered"); });
        QObject::connect(&call, &CallController::pathFound,
                         [add](int kind) { add(QString("path %1").arg(kind)); });
        QObject::connect(&call, &CallController::callStarted, [add] { add("call started"); });
        QObject::connect(&call, &CallController::attemptStarted,
                         [add](const QString& t) { add("attempt " + t); });
        QObject::connect(&call, &CallController::attemptEnded, [add](bool connected) {
            add(QString("attempt ended %1").arg(connected ? "connected" : "not connected"));
        });
        QObject::connect(&call, &CallController::boxRequested,
                         [add](const QString& t) { add("box " + t); });
        QObject::connect(&call, &CallController::debugLine,
                         [this](const QString& t) { debug << t; });
        rendezvous.AddUser("alice", kAliceKey);
    }
    void TearDown() override {
        call.Shutdown();
        if (peer.state() != QProcess::NotRunning) {
            peer.kill();
            peer.waitForFinished(3000);
        }
    }

    RendezvousConfig Config(const std::string& key = kAliceKey) const {
        RendezvousConfig config;
        config.server = rendezvous.Address();
        config.user = "alice";
        config.key = key;
        return config;
    }

    calltest::FakeRendezvous rendezvous;
    CallController call;
    QStringList lines;
    QStringList debug;
    QProcess peer;
};

TEST_F(CallControllerWithRendezvous, EveryNewEngineRegistersFromTheCallPortUntilItIsDropped) {
    call.StartListening();
    call.SetRendezvous(Config());
    // The listening engine that only waited is made anew and registers from the call port.
    EXPECT_EQ(lines.count("listening"), 2);
    ASSERT_TRUE(call.NextEngineOptions().rendezvous);
    EXPECT_EQ(call.NextEngineOptions().rendezvous->callPort, m_port);
    ASSERT_TRUE(WaitUntil([&] { return rendezvous.Registrations("alice") >= 1; }));
    ASSERT_TRUE(rendezvous.RegisteredAt("alice"));
    EXPECT_EQ(ntohs(rendezvous.RegisteredAt("alice")->sin_port), m_port);
    ASSERT_TRUE(WaitUntil([&] { return call.Registered(); }));
    EXPECT_EQ(lines.count("registered"), 1);

    // The same rendezvous again (every heartbeat names it) changes nothing.
    call.SetRendezvous(Config());
    EXPECT_EQ(lines.count("listening"), 2);

    // An engine made for another reason (new devices) registers too; the registration holds.
    call.SetAudioEndpoints("none", "none");
    EXPECT_EQ(lines.count("listening"), 3);
    ASSERT_TRUE(WaitUntil([&] { return rendezvous.Registrations("alice") >= 2; }));
    EXPECT_TRUE(call.Registered());
    EXPECT_EQ(lines.count("registered"), 1);
    EXPECT_EQ(lines.count("not registered"), 0);

    // Logged off: the new listening engine no longer registers.
    call.SetRendezvous(std::nullopt);
    EXPECT_EQ(lines.count("listening"), 4);
    EXPECT_EQ(lines.count("not registered"), 1);
    EXPECT_FALSE(call.NextEngineOptions().rendezvous);
    const int seen = rendezvous.Datagrams();
    QTest::qWait(1000);
    EXPECT_EQ(rendezvous.Datagrams(), seen);
    EXPECT_FALSE(call.Registered());
}

TEST_F(CallControllerWithRendezvous, ARegistrationCountsOnlyOnceTheRendezvousAnswered) {
    call.StartListening();
    call.SetRendezvous(Config("not alice's key!"));
    ASSERT_TRUE(WaitUntil([&] { return rendezvous.Datagrams() >= 1; }));
    QTest::qWait(700);
    EXPECT_EQ(rendezvous.Registrations("alice"), 0);  // a wrong key gets no answer
    EXPECT_FALSE(call.Registered());
    EXPECT_EQ(lines.count("registered"), 0);
}

TEST_F(CallControllerWithRendezvous, ACallByNameWaitsForThePageWhileTheListeningEngineGoesOn) {
    call.StartListening();
    Voxlane* listening = call.Engine();
    ASSERT_TRUE(call.BeginCallByName("bob"));
    EXPECT_TRUE(call.Attempting());
    EXPECT_TRUE(call.AwaitingCallPage());
    EXPECT_EQ(call.Attempt(), AttemptState::kConnecting);
    EXPECT_FALSE(call.BeginCallByName("carol"));
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    EXPECT_FALSE(call.PlaceCall(loopback, m_port, "127.0.0.1"));
    EXPECT_EQ(call.Engine(), listening);

    // The page is refused: the box says why, and the same engine listens on.
    call.AbandonCallByName("bob is not online through the rendezvous");
    const int box = lines.indexOf(
        "box Cannot connect to bob: bob is not online through the "
        "rendezvous");
    ASSERT_GE(box, 0) << lines.join(" | ").toStdString();
    EXPECT_LT(box, lines.indexOf("attempt ended not connected"));
    EXPECT_FALSE(call.Attempting());
    EXPECT_EQ(call.Engine(), listening);
    EXPECT_EQ(lines.count("listening"), 1);

    // Cancelled while the page is on its way: its plan then calls nobody.
    ASSERT_TRUE(call.BeginCallByName("bob"));
    call.CancelCall();
    EXPECT_EQ(lines.count("attempt ended not connected"), 2);
    CallPlan plan;
    plan.token = "tokentokentoken!";
    plan.probeKey = std::string(32, 'k');
    plan.candidates = {{stun::CandidateKind::kLocal, rendezvous.Address()}};
    EXPECT_FALSE(call.PlaceCallVia(plan));
    EXPECT_EQ(call.Engine(), listening);
    EXPECT_FALSE(call.Attempting());
    EXPECT_EQ(lines.filter("box ").size(), 1);
}

TEST_F(CallControllerWithRendezvous, ACallByAddressSaysItWentDirectBeforeItStarts) {
    call.StartListening();
    const uint16_t port = testsupport::FreeUdpPort();
    peer.setProgram(ZORVO_CALL_BIN);
    peer.setArguments({"listen", "--port", QString::number(port), "--user", "carol", "--answer",
                       "accept", "--mic", quiet, "--speaker", "none", "--timeout", "30",
                       "--hangup-after", "2"});
    peer.setProcessChannelMode(QProcess::MergedChannels);
    peer.start();
    ASSERT_TRUE(peer.waitForStarted(5000));
    ASSERT_TRUE(WaitUntil([&] { return peer.peek(4096).contains("Bind Successful"); }));
    in_addr loopback{};
    loopback.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_TRUE(call.PlaceCall(loopback, port, "127.0.0.1"));
    ASSERT_TRUE(WaitUntil([&] { return lines.contains("attempt ended connected"); }));
    const int path = lines.indexOf("path 1");
    ASSERT_GE(path, 0) << lines.join(" | ").toStdString();
    EXPECT_LT(path, lines.indexOf("call started"));
    EXPECT_EQ(call.CallPath(), 1);
    EXPECT_TRUE(debug.contains("Connected (direct)"));
    ASSERT_TRUE(WaitUntil([&] { return lines.count("listening") == 2; }));
    EXPECT_EQ(call.CallPath(), 0);  // the new listening engine has no call yet
}

}  // namespace
