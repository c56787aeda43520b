// The call controller against zorvo-call in another process, on loopback: what it asks the window
// to show, in which order, for incoming and outgoing calls.

#include <gtest/gtest.h>

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>
#include <QTest>

#include <arpa/inet.h>

#include <functional>

#include "app/call/CallController.h"
#include "app/call/tests/ControllerTestEnvironment.h"
#include "testsupport/FreePort.h"
#include "testsupport/QtTestSetup.h"
#include "util/Messages.h"

namespace {

using calltest::WaitUntil;

// Everything the controller asks the window for, one line each, in order.
class Recorder {
  public:
    explicit Recorder(CallController& call) {
        auto add = [this](const QString& line) { lines << line; };
        QObject::connect(&call, &CallController::listening, [add] { add("listening"); });
        QObject::connect(&call, &CallController::serverFailed, [add] { add("server failed"); });
        QObject::connect(&call, &CallController::callStarted, [add] { add("call started"); });
        QObject::connect(&call, &CallController::callFinished, [add] { add("call finished"); });
        QObject::connect(&call, &CallController::incomingCall, [add](const QString& c, int s) {
            add(QString("incoming %1 %2").arg(c).arg(s));
        });
        QObject::connect(&call, &CallController::incomingCallWithdrawn,
                         [add] { add("incoming withdrawn"); });
        QObject::connect(&call, &CallController::missedCall,
                         [add](const QString& c) { add("missed " + c); });
        QObject::connect(&call, &CallController::attemptStarted,
                         [add](const QString& t) { add("attempt " + t); });
        QObject::connect(&call, &CallController::attemptChanged,
                         [add](AttemptState s, const QString& t) {
                             add(QString("attempt %1 %2").arg(int(s)).arg(t));
                         });
        QObject::connect(&call, &CallController::attemptEnded, [add](bool connected) {
            add(QString("attempt ended %1").arg(connected ? "connected" : "not connected"));
        });
        QObject::connect(&call, &CallController::boxRequested,
                         [add](const QString& t) { add("box " + t); });
        QObject::connect(&call, &CallController::soundRequested,
                         [add](const QString& n) { add("sound " + (n.isEmpty() ? "off" : n)); });
        QObject::connect(&call, &CallController::debugLine,
                         [this](const QString& t) { debug << t; });
    }
    int IndexOf(const QString& line) const { return int(lines.indexOf(line)); }
    int Count(const QString& line) const { return int(lines.count(line)); }

    QStringList lines;
    QStringList debug;
};

class CallControllerTest : public calltest::ControllerFixture {
  protected:
    void SetUp() override {
        PrepareEnvironment();
        ASSERT_FALSE(HasFatalFailure());
    }
    void TearDown() override {
        if (peer.state() != QProcess::NotRunning) {
            peer.kill();
            peer.waitForFinished(3000);
        }
    }

    void StartPeer(const QStringList& arguments) {
        peer.setProgram(ZORVO_CALL_BIN);
        peer.setArguments(arguments);
        peer.setProcessChannelMode(QProcess::MergedChannels);
        peer.start();
        ASSERT_TRUE(peer.waitForStarted(5000));
    }
    // A caller from zorvo-call; `extra` says how it behaves.
    void CallUs(const QString& user, const QStringList& extra) {
        StartPeer(QStringList{"call", "127.0.0.1", "--port", QString::number(m_port), "--user",
                              user, "--mic", quiet, "--speaker", "none"} +
                  extra);
    }
    // A callee from zorvo-call answering with `answer`; returns its port once it listens.
    uint16_t ListenForUs(const QString& answer, const QStringList& extra = {}) {
        const uint16_t port = testsupport::FreeUdpPort();
        StartPeer(QStringList{"listen", "--port", QString::number(port), "--user", "carol",
                              "--answer", answer, "--mic", quiet, "--speaker", "none", "--timeout",
                              "30"} +
                  extra);
        EXPECT_TRUE(WaitUntil([&] { return peer.peek(4096).contains("Bind Successful"); }));
        return port;
    }
    int PeerExit() {
        if (!WaitUntil([&] { return peer.state() == QProcess::NotRunning; }, 30000)) {
            return -1;
        }
        return peer.exitCode();
    }
    static in_addr Loopback() {
        in_addr address{};
        address.s_addr = htonl(INADDR_LOOPBACK);
        return address;
    }

    QProcess peer;
};

TEST_F(CallControllerTest, AcceptedIncomingCallComesUpAndListensAgainAfterThePeerHangsUp) {
    CallController call;
    Recorder seen(call);
    call.StartListening();
    ASSERT_EQ(seen.lines, QStringList{"listening"});
    QObject::connect(&call, &CallController::incomingCall,
                     [&] { call.AnswerIncoming(true, false); });
    CallUs("alice", {"--hangup-after", "2"});
    ASSERT_TRUE(WaitUntil([&] { return seen.Count("listening") == 2; }))
        << seen.lines.join(" | ").toStdString() << peer.readAll().toStdString();
    EXPECT_EQ(seen.lines,
              (QStringList{"listening", "sound phonering.wav", "incoming alice 10", "sound off",
                           "call started", "sound hangup.wav", "call finished", "listening"}));
    EXPECT_EQ(call.RemoteUser(), "alice");
    ASSERT_NE(call.Engine(), nullptr);
    EXPECT_FALSE(call.InCall());
    EXPECT_EQ(PeerExit(), 0);
}

TEST_F(CallControllerTest, RejectedIncomingCallKeepsTheSameEngineListeningWithoutAMissedCall) {
    CallController call;
    Recorder seen(call);
    call.StartListening();
    Voxlane* listening = call.Engine();
    bool awaited = false;
    QObject::connect(&call, &CallController::incomingCall, [&] {
        awaited = call.AwaitingAnswer();
        call.AnswerIncoming(false, false);
    });
    CallUs("bob", {"--timeout", "30"});
    EXPECT_EQ(PeerExit(), 1);
    EXPECT_TRUE(seen.lines.contains("incoming bob 10"));
    EXPECT_FALSE(seen.lines.contains("call started"));
    EXPECT_FALSE(seen.lines.contains("missed bob"));
    EXPECT_TRUE(awaited);
    EXPECT_FALSE(call.AwaitingAnswer());
    EXPECT_EQ(call.Engine(), listening);
}

TEST_F(CallControllerTest, IncomingCallThatRangOutIsReportedAsMissed) {
    CallController call;
    Recorder seen(call);
    call.StartListening();
    QObject::connect(&call, &CallController::incomingCall,
                     [&] { call.AnswerIncoming(false, true); });
    CallUs("bob", {"--timeout", "30"});
    EXPECT_EQ(PeerExit(), 1);
    EXPECT_EQ(seen.Count("missed bob"), 1);
}

TEST_F(CallControllerTest, ShutdownWhileRingingWithdrawsTheCallAndCountsNothingAsMissed) {
    CallController call;
    Recorder seen(call);
    call.StartListening();
    QObject::connect(&call, &CallController::incomingCall, [&] { call.Shutdown(); });
    CallUs("bob", {"--timeout", "30"});
    ASSERT_TRUE(WaitUntil([&] { return seen.lines.contains("incoming withdrawn"); }));
    call.AnswerIncoming(false, true);  // the dialog closes as it is withdrawn
    EXPECT_FALSE(seen.lines.contains("missed bob"));
    EXPECT_EQ(call.Engine(), nullptr);
    EXPECT_EQ(seen.Count("listening"), 1);
}

TEST_F(CallControllerTest, AcceptedOutgoingCallConnectsOnceAndListensAgainAfterThePeerHangsUp) {
    CallController call;
    Recorder seen(call);
    call.StartListening();
    const uint16_t port = ListenForUs("accept", {"--hangup-after", "3"});
    ASSERT_TRUE(call.PlaceCall(Loopback(), port, "127.0.0.1"));
    ASSERT_TRUE(WaitUntil([&] { return seen.lines.contains("attempt ended connected"); }));
    EXPECT_TRUE(call.InCall());
    EXPECT_TRUE(seen.debug.contains("Connected..."));
    ASSERT_TRUE(WaitUntil([&] { return seen.Count("listening") == 2; }));
    EXPECT_EQ(PeerExit(), 0);
    // However often the engine says "connected", the display starts and ends once per call.
    EXPECT_GE(seen.Count("call started"), 1);
    EXPECT_EQ(seen.Count("call finished"), 1);
    EXPECT_LT(seen.IndexOf("call finished"), seen.lines.lastIndexOf("listening"));
    EXPECT_TRUE(seen.lines.contains("sound hangup.wav"));
    EXPECT_FALSE(seen.lines.filter("box ").size() > 0);
}

TEST_F(CallControllerTest, RejectedOutgoingCallShowsTheBoxBeforeTheAttemptEnds) {
    for (int round = 0; round < 3; ++round) {
        CallController call;
        Recorder seen(call);
        call.StartListening();
        const uint16_t port = ListenForUs("reject");
        ASSERT_TRUE(call.PlaceCall(Loopback(), port, "127.0.0.1"));
        ASSERT_TRUE(WaitUntil([&] { return seen.Count("listening") == 2; }));
        const int box = seen.IndexOf(QString("box ") + CallController::kConnectFailedBox);
        ASSERT_GE(box, 0) << seen.lines.join(" | ").toStdString();
        EXPECT_LT(box, seen.IndexOf("attempt ended not connected"));
        EXPECT_TRUE(seen.debug.contains("Connect failed..Please Retry"));
        EXPECT_FALSE(call.Attempting());
        peer.kill();
        peer.waitForFinished(3000);
    }
}

TEST_F(CallControllerTest, CancelWhileRingingStopsTheToneAndShowsNoBox) {
    CallController call;
    Recorder seen(call);
    call.StartListening();
    const uint16_t port = ListenForUs("ignore");
    QObject::connect(&call, &CallController::attemptChanged, [&](AttemptState state) {
        if (state == AttemptState::kRinging) {
            call.CancelCall();
        }
    });
    ASSERT_TRUE(call.PlaceCall(Loopback(), port, "127.0.0.1"));
    ASSERT_TRUE(WaitUntil([&] { return seen.Count("listening") == 2; }));
    const int ringing = seen.IndexOf("attempt 1 Ringing at the other end");
    const int cancelling = seen.IndexOf("attempt 2 Cancelling.. Please Wait");
    ASSERT_GE(ringing, 0);
    EXPECT_GT(cancelling, ringing);
    // The tone starts with the ringing and is not started again once cancelled.
    EXPECT_EQ(seen.lines.lastIndexOf("sound phonering.wav", ringing), ringing - 1);
    EXPECT_EQ(seen.lines.indexOf("sound phonering.wav", cancelling), -1);
    EXPECT_GT(seen.lines.indexOf("sound off", cancelling), cancelling);
    EXPECT_TRUE(seen.lines.filter("box ").isEmpty());
    EXPECT_TRUE(seen.debug.contains("Connect failed..Please Retry"));
}

TEST_F(CallControllerTest, ShutdownDuringAnAttemptEndsItAndListensNoMore) {
    CallController call;
    Recorder seen(call);
    call.StartListening();
    const uint16_t port = ListenForUs("ignore");
    QObject::connect(&call, &CallController::attemptChanged, [&](AttemptState state) {
        if (state == AttemptState::kRinging) {
            call.Shutdown();
        }
    });
    ASSERT_TRUE(call.PlaceCall(Loopback(), port, "127.0.0.1"));
    ASSERT_TRUE(WaitUntil([&] { return seen.lines.contains("attempt ended not connected"); }));
    QTest::qWait(200);
    EXPECT_EQ(call.Engine(), nullptr);
    EXPECT_FALSE(call.Attempting());
    EXPECT_EQ(seen.Count("listening"), 1);
}

TEST_F(CallControllerTest, AConnectedCallIsOnlyReleasedWhenConfirmed) {
    CallController call;
    Recorder seen(call);
    call.StartListening();
    const uint16_t port = ListenForUs("accept");
    ASSERT_TRUE(call.PlaceCall(Loopback(), port, "127.0.0.1"));
    ASSERT_TRUE(WaitUntil([&] { return seen.lines.contains("attempt ended connected"); }));
    EXPECT_FALSE(call.ReleaseEngine(false));
    EXPECT_TRUE(call.InCall());
    call.HangUp();
    EXPECT_EQ(PeerExit(), 0);
    EXPECT_TRUE(QString::fromUtf8(peer.readAll()).contains("STATUS_REMOTE_HANGUP"));
    EXPECT_EQ(seen.Count("call finished"), 1);
    EXPECT_EQ(seen.Count("listening"), 2);
    EXPECT_FALSE(call.InCall());
}

}  // namespace
