// Engine lifecycle: refusals, prompt stops, a taken port, and the real protocol timings.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "EngineTestSupport.h"
#include "util/MessageBox.h"

using namespace enginetest;

namespace {

EngineOptions Quiet(bool fast = true) {
    EngineOptions o;
    o.microphone = "none";
    o.speaker = "none";
    if (fast) {
        o.timing = FastTiming();
    }
    return o;
}

TEST(Lifecycle, RefusalsBeforeAndWhileBusy) {
    StatusLog log;
    Statistics stats(log.Window());
    Voxlane engine(FreeUdpPort(), 1, &stats, "bob", Quiet());
    EXPECT_EQ(engine.CalculateRoundTripDelay(), 0);  // no call: nothing is sent
    EXPECT_EQ(engine.StartServer(), 1);
    EXPECT_EQ(engine.StartServer(), 0);  // even before the first server has begun listening
    EXPECT_TRUE(log.WaitForText("Server already running"));
    in_addr address = Loopback();
    EXPECT_EQ(engine.InitConnect(address, 1720), 0);
    EXPECT_EQ(engine.Connect(), 0);
    EXPECT_TRUE(log.WaitForText("Already Connected", 2));
    EXPECT_STREQ(engine.GetRemoteUserName(), "");
}

TEST(Lifecycle, StopOfAnEngineWhoseCallNeverCameUpIsPrompt) {
    StatusLog log;
    Statistics stats(log.Window());
    {
        Voxlane idle(FreeUdpPort(), 0, &stats, "alice", Quiet(false));
        const uint32_t start = GetTickCount();
        EXPECT_EQ(idle.Stop(), 1);
        EXPECT_LT(GetTickCount() - start, 500u);
    }
    {
        // A listening engine with the real 2-second waits stops at once too.
        Voxlane listening(FreeUdpPort(), 1, &stats, "bob", Quiet(false));
        listening.StartServer();
        ASSERT_TRUE(log.WaitForText("Bind Successful"));
        const uint32_t start = GetTickCount();
        listening.Stop();
        EXPECT_LT(GetTickCount() - start, 500u);
    }
    EXPECT_TRUE(log.WaitForText("destructing Voxlane()", 2));
    EXPECT_EQ(log.Count(STATUS_SERVER_ERROR), 0);
}

TEST(Lifecycle, DeletingWithoutStopEndsEveryThread) {
    StatusLog log;
    Statistics stats(log.Window());
    auto engine = std::make_unique<Voxlane>(FreeUdpPort(), 1, &stats, "bob", Quiet());
    engine->StartServer();
    ASSERT_TRUE(log.WaitForText("Bind Successful"));
    engine.reset();
    EXPECT_TRUE(log.WaitForText("Stop Issued"));
}

TEST(Lifecycle, TakenPortGivesBindFailedAndServerError) {
    UdpPeer squatter;
    std::string caption;
    SetMessageBoxHook([&](const std::string&, const std::string& c) { caption = c; });
    StatusLog log;
    Statistics stats(log.Window());
    Voxlane engine(squatter.Port(), 1, &stats, "bob", Quiet());
    engine.StartServer();
    EXPECT_TRUE(log.WaitFor(STATUS_SERVER_ERROR, 1, 3000));
    EXPECT_TRUE(log.WaitForText("Bind failed"));
    EXPECT_TRUE(log.WaitForText("Error waiting for connection"));
    SetMessageBoxHook({});
    EXPECT_EQ(caption, "Bind Failed");
    engine.Stop();
}

TEST(RealTimings, NonConnectRecordPausesListeningForTwoSeconds) {
    StatusLog log;
    Statistics stats(log.Window());
    const uint16_t port = FreeUdpPort();
    Voxlane engine(port, 1, &stats, "bob", Quiet(false));
    engine.StartServer();
    ASSERT_TRUE(log.WaitForText("Bind Successful"));
    UdpPeer peer;
    peer.SendTo(Address("127.0.0.1", port), Record(MSG_R_U_THERE, 25));
    ASSERT_TRUE(peer.ReceiveType(MSG_HANGUP, 3000));
    const uint32_t hangupAt = GetTickCount();
    ASSERT_TRUE(log.WaitForText("Bind Successful", 2, 5000));
    const uint32_t pause = GetTickCount() - hangupAt;
    EXPECT_GE(pause, 1900u);
    EXPECT_LT(pause, 3500u);
    engine.Stop();
}

TEST(RealTimings, CallComesUpRingsAndEndsWithTheProgramsTimings) {
    StatusLog callerLog, calleeLog;
    Statistics callerStats(callerLog.Window()), calleeStats(calleeLog.Window());
    const uint16_t port = FreeUdpPort();
    Voxlane callee(port, 1, &calleeStats, "bob", Quiet(false));
    Voxlane caller(port, 0, &callerStats, "alice", Quiet(false));
    callee.StartServer();
    ASSERT_TRUE(calleeLog.WaitForText("Bind Successful"));
    ASSERT_EQ(caller.InitConnect(Loopback(), port), 1);
    Thread connect(&Voxlane::_Connect, &caller);
    connect.Resume();
    ASSERT_TRUE(calleeLog.WaitFor(STATUS_INCOMING_CALL));
    ASSERT_TRUE(callerLog.WaitFor(STATUS_RINGING));
    // The decision is looked at once a second: written 300 ms after the first look, it is seen
    // about 700 ms later.
    Sleep(300);
    const uint32_t decided = GetTickCount();
    Voxlane::WriteDecision(calleeLog.Last(STATUS_INCOMING_CALL)->value, DECISION_ACCEPT);
    ASSERT_TRUE(callerLog.WaitFor(STATUS_CONNECTED, 2));
    const uint32_t seen = GetTickCount() - decided;
    EXPECT_GE(seen, 500u);
    EXPECT_LT(seen, 1500u);
    ASSERT_TRUE(calleeLog.WaitFor(STATUS_CONNECTED));
    EXPECT_EQ(connect.WaitForDeath(5000), Thread::kWaitObject0);
    // Without microphones neither side sends; a probe goes through the listen path.
    callee.Stop();
    caller.Stop();
}

}  // namespace
