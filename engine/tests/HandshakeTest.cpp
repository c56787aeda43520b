// Call set-up between two engines, and between an engine and a raw UDP peer.

#include <gtest/gtest.h>

#include <memory>
#include <string>

#include "EngineTestSupport.h"
#include "WavFiles.h"

using namespace enginetest;

namespace {

struct Side {
    StatusLog log;
    Statistics stats{log.Window()};
    std::unique_ptr<Voxlane> engine;
};

EngineOptions Options(const std::string& mic = "none", const std::string& speaker = "none") {
    EngineOptions o;
    o.microphone = mic;
    o.speaker = speaker;
    o.timing = FastTiming();
    return o;
}

class TwoEngines : public ::testing::Test {
  protected:
    void SetUp() override {
        port = FreeUdpPort();
        // Both sides capture silence from a WAV file, so that both record-send threads run.
        WriteWav(dir.File("silence.wav"), std::vector<int16_t>(8000, 0));
        callee.engine = std::make_unique<Voxlane>(port, 1, &callee.stats, "bob",
                                                  Options(dir.File("silence.wav")));
        caller.engine = std::make_unique<Voxlane>(port, 0, &caller.stats, "alice",
                                                  Options(dir.File("silence.wav")));
    }

    void AnswerWith(int decision) {
        callee.log.OnEvent([decision](const Event& e) {
            if (e.code == STATUS_INCOMING_CALL) {
                Voxlane::WriteDecision(e.value, decision);
            }
        });
    }

    // Runs Connect on a thread of its own, as the program does.
    void Call() {
        ASSERT_EQ(callee.engine->StartServer(), 1);
        ASSERT_EQ(caller.engine->InitConnect(Loopback(), port), 1);
        connectThread = std::make_unique<Thread>(&Voxlane::_Connect, caller.engine.get());
        connectThread->Resume();
    }

    void TearDown() override {
        if (connectThread) {
            connectThread->WaitForDeath(INFINITE);
        }
        caller.engine.reset();
        callee.engine.reset();
    }

    TempDir dir;
    uint16_t port = 0;
    Side caller, callee;
    std::unique_ptr<Thread> connectThread;
};

TEST_F(TwoEngines, AcceptRingsConnectsAndHangsUpFromTheCaller) {
    AnswerWith(DECISION_ACCEPT);
    Call();
    ASSERT_TRUE(caller.log.WaitFor(STATUS_CONNECTED, 2));
    ASSERT_TRUE(callee.log.WaitFor(STATUS_CONNECTED, 1));
    ASSERT_EQ(connectThread->WaitForDeath(5000), Thread::kWaitObject0);
    EXPECT_EQ(caller.log.Count(STATUS_RINGING), 1);
    EXPECT_EQ(callee.log.Count(STATUS_INCOMING_CALL), 1);
    EXPECT_STREQ(callee.engine->GetRemoteUserName(), "alice");
    EXPECT_EQ(caller.engine->GetRemoteUserName(), nullptr);  // a calling engine has none
    EXPECT_EQ(caller.engine->IsConnected(), 1);
    EXPECT_EQ(callee.engine->IsConnected(), 1);
    // The callee raises STATUS_CONNECTED once, the caller twice (on the accept and after
    // starting its threads).
    Sleep(200);
    EXPECT_EQ(callee.log.Count(STATUS_CONNECTED), 1);
    EXPECT_EQ(caller.log.Count(STATUS_CONNECTED), 2);

    EXPECT_EQ(caller.engine->Stop(), 1);
    ASSERT_TRUE(callee.log.WaitFor(STATUS_REMOTE_HANGUP));
    callee.engine->Stop();
    EXPECT_EQ(callee.log.Count(STATUS_REMOTE_HANGUP), 1);
    EXPECT_EQ(caller.log.Count(STATUS_REMOTE_HANGUP), 0);  // its hang-up came after Stop
    EXPECT_EQ(callee.log.Count(STATUS_CONNECTION_LOST), 0);
}

TEST_F(TwoEngines, HangUpFromTheCallee) {
    AnswerWith(DECISION_ACCEPT);
    Call();
    ASSERT_TRUE(callee.log.WaitFor(STATUS_CONNECTED));
    ASSERT_TRUE(caller.log.WaitFor(STATUS_CONNECTED, 2));
    callee.engine->Stop();
    ASSERT_TRUE(caller.log.WaitFor(STATUS_REMOTE_HANGUP));
    caller.engine->Stop();
    EXPECT_EQ(caller.log.Count(STATUS_REMOTE_HANGUP), 1);
}

TEST_F(TwoEngines, RejectFailsTheCallAndTheCalleeKeepsListening) {
    AnswerWith(DECISION_REJECT);
    Call();
    ASSERT_TRUE(caller.log.WaitFor(STATUS_CONNECT_FAILED));
    ASSERT_EQ(connectThread->WaitForDeath(5000), Thread::kWaitObject0);
    EXPECT_TRUE(caller.log.WaitForText("Ringing stopped at remote.."));
    EXPECT_EQ(caller.log.Count(STATUS_CONNECTED), 0);
    EXPECT_EQ(caller.engine->IsConnected(), 0);

    // The same listening engine takes the next call.
    AnswerWith(DECISION_ACCEPT);
    StatusLog secondLog;
    Statistics secondStats(secondLog.Window());
    Voxlane second(port, 0, &secondStats, "carol", Options());
    ASSERT_EQ(second.InitConnect(Loopback(), port), 1);
    EXPECT_EQ(second.Connect(), 1);
    ASSERT_TRUE(callee.log.WaitFor(STATUS_CONNECTED));
    EXPECT_STREQ(callee.engine->GetRemoteUserName(), "carol");
    second.Stop();
}

TEST_F(TwoEngines, SilentAcceptNeverStartsTheCalleesRecorder) {
    // The callee would send a tone if its recorder ran; the caller must receive nothing.
    std::vector<int16_t> tone(8000 * 3);
    for (size_t i = 0; i < tone.size(); ++i) {
        tone[i] = static_cast<int16_t>((i % 16 < 8) ? 12000 : -12000);
    }
    WriteWav(dir.File("tone.wav"), tone);
    callee.engine =
        std::make_unique<Voxlane>(port, 1, &callee.stats, "bob", Options(dir.File("tone.wav")));
    caller.engine =
        std::make_unique<Voxlane>(port, 0, &caller.stats, "alice", Options(dir.File("tone.wav")));
    AnswerWith(DECISION_ACCEPT_SILENT);
    Call();
    ASSERT_TRUE(callee.log.WaitFor(STATUS_CONNECTED));
    // The caller's speech reaches the callee ...
    ASSERT_TRUE(callee.log.WaitFor(STATUS_NET_FRAME, 3, 5000));
    // ... and nothing comes back.
    EXPECT_EQ(callee.log.Count(STATUS_MIC_FRAME), 0);
    EXPECT_EQ(caller.log.Count(STATUS_NET_FRAME), 0);
    // Probes are still answered by the listen-only side.
    EXPECT_EQ(caller.engine->CalculateRoundTripDelay(), 1);
    EXPECT_TRUE(caller.log.WaitFor(STATUS_ROUND_TRIP));
}

TEST_F(TwoEngines, StopWhileRingingEndsBothSidesQuietly) {
    Call();  // nobody answers
    ASSERT_TRUE(callee.log.WaitFor(STATUS_INCOMING_CALL));
    ASSERT_TRUE(caller.log.WaitFor(STATUS_RINGING));
    const uint32_t start = GetTickCount();
    callee.engine->Stop();
    caller.engine->Stop();
    EXPECT_LT(GetTickCount() - start, 2000u);
    EXPECT_EQ(connectThread->WaitForDeath(2000), Thread::kWaitObject0);
    EXPECT_TRUE(callee.log.WaitForText("Stop Issued detected in WaitForConnection."));
    EXPECT_EQ(caller.log.Count(STATUS_CONNECT_FAILED), 0);  // a stop reports nothing
    EXPECT_EQ(callee.log.Count(STATUS_SERVER_ERROR), 0);
}

// --- a listening engine against a raw peer ------------------------------------------------------

class ListeningEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        port = FreeUdpPort();
        engine = std::make_unique<Voxlane>(port, 1, &stats, "bob", Options());
        ASSERT_EQ(engine->StartServer(), 1);
        ASSERT_TRUE(log.WaitForText("Bind Successful"));
    }

    StatusLog log;
    Statistics stats{log.Window()};
    uint16_t port = 0;
    std::unique_ptr<Voxlane> engine;
};

TEST_F(ListeningEngine, AnswersANonConnectRecordWithHangUpAndResumesAfterThePause) {
    UdpPeer peer;
    peer.SendTo(Address("127.0.0.1", port), Record(MSG_VOICE, 330, 1600));
    auto reply = peer.Receive(2000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Record(MSG_HANGUP));
    ASSERT_TRUE(log.WaitForText("*******A message other than connect was recived and ignored"));
    // Listening resumes with a fresh socket after the pause; then a request rings.
    ASSERT_TRUE(log.WaitForText("Bind Successful", 2));
    peer.SendTo(Address("127.0.0.1", port), ConnectRequest("alice"));
    EXPECT_TRUE(log.WaitFor(STATUS_INCOMING_CALL));
    auto ringing = peer.Receive(2000);
    ASSERT_TRUE(ringing);
    EXPECT_EQ(*ringing, Record(MSG_RINGING));
}

TEST_F(ListeningEngine, WrongSignatureCostsOneCycleAndThePortStaysUsable) {
    UdpPeer peer;
    std::vector<uint8_t> bad = ConnectRequest("alice");
    bad[3] = 'Y';  // "QVXY..."
    peer.SendTo(Address("127.0.0.1", port), bad);
    ASSERT_TRUE(log.WaitForText("An invalid packet received"));
    EXPECT_FALSE(peer.Receive(300));  // no answer to a malformed datagram
    ASSERT_TRUE(log.WaitForText("Bind Successful", 2));
    EXPECT_EQ(log.Count(STATUS_INCOMING_CALL), 0);
    peer.SendTo(Address("127.0.0.1", port), ConnectRequest("alice"));
    EXPECT_TRUE(log.WaitFor(STATUS_INCOMING_CALL));
}

TEST_F(ListeningEngine, ShortAndEmptyDatagramsAreHarmless) {
    UdpPeer peer;
    for (size_t size : {0u, 1u, 3u, 4u, 12u}) {
        std::vector<uint8_t> bytes = Record(MSG_CONNECT_REQUEST);
        bytes.resize(size);
        peer.SendTo(Address("127.0.0.1", port), bytes);
        Sleep(30);
    }
    peer.SendTo(Address("127.0.0.1", port), ConnectRequest("alice"));
    ASSERT_TRUE(log.WaitFor(STATUS_INCOMING_CALL, 1, 5000));
    EXPECT_STREQ(engine->GetRemoteUserName(), "alice");
}

TEST_F(ListeningEngine, AcceptIsSentTwiceToTheCallersPort) {
    log.OnEvent([](const Event& e) {
        if (e.code == STATUS_INCOMING_CALL) {
            Voxlane::WriteDecision(e.value, DECISION_ACCEPT);
        }
    });
    UdpPeer peer;
    peer.SendTo(Address("127.0.0.1", port), ConnectRequest("alice"));
    std::vector<std::vector<uint8_t>> got;
    for (int i = 0; i < 3; ++i) {
        auto bytes = peer.Receive(2000);
        ASSERT_TRUE(bytes);
        got.push_back(*bytes);
    }
    EXPECT_EQ(got[0], Record(MSG_RINGING));
    EXPECT_EQ(got[1], Record(MSG_ACCEPT));
    EXPECT_EQ(got[2], Record(MSG_ACCEPT));
    ASSERT_TRUE(log.WaitFor(STATUS_CONNECTED));
    // Stop while connected: the record-send thread is not running (no microphone), so the
    // hang-up is not sent; the engine still stops promptly.
    engine->Stop();
}

// --- a calling engine against a raw callee ------------------------------------------------------

class CallingEngine : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(callee.Bound());
        engine = std::make_unique<Voxlane>(0, 0, &stats, "alice", Options());
        ASSERT_EQ(engine->InitConnect(Loopback(), callee.Port()), 1);
        connect = std::make_unique<Thread>(&Voxlane::_Connect, engine.get());
        connect->Resume();
    }
    void TearDown() override {
        engine->Stop();
        connect->WaitForDeath(INFINITE);
    }

    StatusLog log;
    Statistics stats{log.Window()};
    UdpPeer callee;
    std::unique_ptr<Voxlane> engine;
    std::unique_ptr<Thread> connect;
};

TEST_F(CallingEngine, TenUnansweredRequestsThenOneFailure) {
    int requests = 0;
    while (auto bytes = callee.Receive(2000)) {
        ASSERT_EQ(bytes->size(), 58u);
        EXPECT_EQ((*bytes)[4], MSG_CONNECT_REQUEST);
        ++requests;
    }
    EXPECT_EQ(requests, 10);
    ASSERT_TRUE(log.WaitFor(STATUS_CONNECT_FAILED));
    EXPECT_EQ(log.Count(STATUS_CONNECT_FAILED), 1);
    // Three silent waits end each attempt.
    EXPECT_EQ(log.CountText("Response timed out once"), 30);
    EXPECT_TRUE(log.WaitForText("No response.. Failed to connect"));
}

TEST_F(CallingEngine, ForeignAndMalformedRepliesDoNotEndTheAttempt) {
    ASSERT_TRUE(callee.Receive(2000));
    UdpPeer stranger("127.0.0.2");
    ASSERT_TRUE(stranger.Bound());
    stranger.SendTo(callee.Peer(), Record(MSG_ACCEPT));  // right record, wrong address
    ASSERT_TRUE(log.WaitForText("Ignoring message from 127.0.0.2 Expected only from 127.0.0.1"));
    callee.Send({'Q', 'V', 'X', 'Y', 2, 0, 0, 0, 0, 0, 0, 0, 0});
    ASSERT_TRUE(log.WaitForText("Ignoring an invalid message"));
    callee.Send({'Q', 'V', 'X', 0, 2});  // a signature without a whole header
    ASSERT_TRUE(log.WaitForText("Ignoring an invalid message", 2));
    EXPECT_EQ(log.Count(STATUS_CONNECTED), 0);
    EXPECT_EQ(log.Count(STATUS_CONNECT_FAILED), 0);
    // The attempt is still alive: the real accept connects.
    callee.Send(Record(MSG_ACCEPT));
    EXPECT_TRUE(log.WaitFor(STATUS_CONNECTED, 2));
    EXPECT_EQ(log.CountText("Connecting..."), 1);
}

TEST_F(CallingEngine, RingingThenTwoSilentWaitsBringsTheNextRequest) {
    ASSERT_TRUE(callee.Receive(2000));
    const uint32_t ringAt = GetTickCount();
    callee.Send(Record(MSG_RINGING));
    ASSERT_TRUE(log.WaitFor(STATUS_RINGING));
    auto again = callee.Receive(3000);
    ASSERT_TRUE(again);
    EXPECT_EQ((*again)[4], MSG_CONNECT_REQUEST);
    // Counter 1 after the ringing, +2 per 250 ms wait: the attempt ends after two waits.
    const uint32_t elapsed = GetTickCount() - ringAt;
    EXPECT_GE(elapsed, 450u);
    EXPECT_LT(elapsed, 1500u);
    EXPECT_EQ(log.Count(STATUS_CONNECT_FAILED), 0);
}

TEST_F(CallingEngine, ReplyFromTheCalleesAddressOnAnotherPortCounts) {
    ASSERT_TRUE(callee.Receive(2000));
    UdpPeer otherPort;  // same address, other port: the port is not compared
    otherPort.SendTo(callee.Peer(), Record(MSG_ACCEPT));
    EXPECT_TRUE(log.WaitFor(STATUS_CONNECTED, 2));
}

}  // namespace
