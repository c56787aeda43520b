// An engine in a call with a raw UDP peer: what it does with each datagram it receives.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "EngineTestSupport.h"
#include "WavFiles.h"
#include "util/MessageBox.h"

using namespace enginetest;

namespace {

class EngineInCall : public ::testing::Test {
  protected:
    void Start(uint32_t callReceiveWaitMs = 100) {
        WriteWav(dir.File("silence.wav"), std::vector<int16_t>(8000, 0));
        EngineOptions options;
        options.microphone = dir.File("silence.wav");
        options.speaker = "none";
        options.timing = FastTiming();
        options.timing.callReceiveWaitMs = callReceiveWaitMs;
        engine = std::make_unique<Voxlane>(0, 0, &stats, "alice", options);
        ASSERT_EQ(engine->InitConnect(Loopback(), peer.Port()), 1);
        connect = std::make_unique<Thread>(&Voxlane::_Connect, engine.get());
        connect->Resume();
        ASSERT_TRUE(peer.ReceiveType(MSG_CONNECT_REQUEST, 2000));
        peer.Send(Record(MSG_ACCEPT));
        ASSERT_TRUE(log.WaitFor(STATUS_CONNECTED, 2));
        ASSERT_EQ(connect->WaitForDeath(5000), Thread::kWaitObject0);
        ASSERT_TRUE(log.WaitForText("R-S thread started"));
    }

    void TearDown() override {
        if (engine) {
            engine->Stop();
        }
        SetMessageBoxHook({});
    }

    // Status codes (not debug texts) raised since `mark` events.
    std::vector<unsigned> CodesSince(size_t mark) {
        std::vector<unsigned> codes;
        auto events = log.Events();
        for (size_t i = mark; i < events.size(); ++i) {
            if (events[i].code != STATUS_DEBUG_TEXT && events[i].code != STATUS_MIC_FRAME &&
                events[i].code != STATUS_BYTES_SENT) {
                codes.push_back(events[i].code);
            }
        }
        return codes;
    }

    TempDir dir;
    StatusLog log;
    Statistics stats{log.Window()};
    UdpPeer peer;
    std::unique_ptr<Voxlane> engine;
    std::unique_ptr<Thread> connect;
};

TEST_F(EngineInCall, ForeignSendersAreDroppedAndThePeersOtherPortsAreHeard) {
    Start();
    UdpPeer stranger("127.0.0.2");
    ASSERT_TRUE(stranger.Bound());
    stranger.SendTo(peer.Peer(), Record(MSG_VOICE, 330, 1600));
    ASSERT_TRUE(log.WaitForText("Dropping message from 127.0.0.2 Expected only from 127.0.0.1"));
    stranger.SendTo(peer.Peer(), Record(MSG_HANGUP));
    ASSERT_TRUE(log.WaitForText("Dropping message from 127.0.0.2", 2));
    EXPECT_EQ(log.Count(STATUS_BYTES_RECEIVED), 0);
    EXPECT_EQ(log.Count(STATUS_REMOTE_HANGUP), 0);

    UdpPeer otherPort;
    otherPort.SendTo(peer.Peer(), Record(MSG_VOICE, 330, 1600));
    ASSERT_TRUE(log.WaitFor(STATUS_NET_FRAME));
    EXPECT_EQ(log.Last(STATUS_BYTES_RECEIVED)->value, 330u);
    EXPECT_EQ(log.Last(STATUS_NET_FRAME)->value, Statistics::LastFromNetAddress());
}

TEST_F(EngineInCall, SetUpTypesAndUnusedTypesAreIgnored) {
    Start();
    const size_t mark = log.Events().size();
    for (uint8_t type :
         std::vector<uint8_t>{MSG_CONNECT_REQUEST, MSG_ACCEPT, MSG_REJECT, MSG_RINGING, 5, 255}) {
        peer.Send(Record(type));
    }
    peer.Send({'Q', 'V'});  // too short to carry a type
    // A probe afterwards shows that everything before it was read and passed over.
    peer.Send(Probe(MSG_R_U_THERE, 7));
    ASSERT_TRUE(peer.ReceiveType(MSG_I_AM_HERE, 2000));
    EXPECT_TRUE(CodesSince(mark).empty());
    EXPECT_EQ(engine->IsConnected(), 1);
}

TEST_F(EngineInCall, ProbeIsAnsweredWithItsTickUnchanged) {
    Start();
    peer.Send(Probe(MSG_R_U_THERE, 0xDEADBEEF));
    auto reply = peer.ReceiveType(MSG_I_AM_HERE, 2000);
    ASSERT_TRUE(reply);
    EXPECT_EQ(*reply, Probe(MSG_I_AM_HERE, 0xDEADBEEF));
    EXPECT_TRUE(log.WaitForText("R U There received"));
}

TEST_F(EngineInCall, RoundTripIsMeasuredOnTheProbersClock) {
    Start();
    EXPECT_EQ(engine->CalculateRoundTripDelay(), 1);
    auto probe = peer.ReceiveType(MSG_R_U_THERE, 2000);
    ASSERT_TRUE(probe);
    const uint32_t tick = ZorvoMsg(probe->data(), probe->size()).TickValue();
    Sleep(250);
    peer.Send(Probe(MSG_I_AM_HERE, tick));
    ASSERT_TRUE(log.WaitFor(STATUS_ROUND_TRIP));
    const uintptr_t delay = log.Last(STATUS_ROUND_TRIP)->value;
    EXPECT_GE(delay, 250u);
    EXPECT_LT(delay, 600u);
    EXPECT_TRUE(log.WaitForText("I am here received delay = 0."));

    // A tick from just before the counter wrapped still gives the right difference.
    peer.Send(Probe(MSG_I_AM_HERE, GetTickCount() - 1000));
    ASSERT_TRUE(log.WaitFor(STATUS_ROUND_TRIP, 2));
    EXPECT_GE(log.Last(STATUS_ROUND_TRIP)->value, 1000u);
    EXPECT_LT(log.Last(STATUS_ROUND_TRIP)->value, 1500u);
}

TEST_F(EngineInCall, TwentyFiveSilentWaitsEndTheCallTwentyFourDoNot) {
    Start(200);
    // 24 silent waits, then one datagram: the count starts again.
    ASSERT_TRUE(log.WaitForText("Checking stop issued? from RecvPlay", 24, 20000));
    peer.Send(Record(MSG_RINGING));  // any datagram from the peer counts as activity
    ASSERT_TRUE(log.WaitForText("Checking stop issued? from RecvPlay", 48, 20000));
    EXPECT_EQ(log.Count(STATUS_CONNECTION_LOST), 0);
    // The 25th wait after the datagram ends the call.
    ASSERT_TRUE(log.WaitFor(STATUS_CONNECTION_LOST, 1, 5000));
    EXPECT_EQ(log.CountText("Checking stop issued? from RecvPlay"), 49);
    EXPECT_TRUE(log.WaitForText("Idle timeout in receiving data. Closing connection"));
    // The play-callback thread has ended on its own; Stop still returns.
    const uint32_t start = GetTickCount();
    engine->Stop();
    EXPECT_LT(GetTickCount() - start, 2000u);
}

TEST_F(EngineInCall, OversizedDatagramIsAReceiveErrorNotACrash) {
    std::atomic<int> boxes{0};
    std::string caption;
    SetMessageBoxHook([&](const std::string& text, const std::string& c) {
        caption = c;
        EXPECT_NE(text.find("bufsize=32768,  recvsize=40000"), std::string::npos) << text;
        boxes++;
    });
    Start();
    peer.Send(std::vector<uint8_t>(40000, 'Q'));
    ASSERT_TRUE(log.WaitFor(STATUS_CONNECTION_LOST));
    EXPECT_EQ(boxes, 1);
    EXPECT_EQ(caption, "MSGSIZE ERROR");
    EXPECT_TRUE(log.WaitForText("Closing connection RecvFails from RecvPlay.."));
}

TEST_F(EngineInCall, PeersHangUpIsReportedOnceAndStopSendsExactlyOneHangUp) {
    Start();
    peer.Send(Record(MSG_HANGUP));
    ASSERT_TRUE(log.WaitFor(STATUS_REMOTE_HANGUP));
    engine->Stop();
    std::vector<std::vector<uint8_t>> skipped;
    ASSERT_TRUE(peer.ReceiveType(MSG_HANGUP, 2000, &skipped));
    EXPECT_FALSE(peer.ReceiveType(MSG_HANGUP, 500));
    EXPECT_EQ(engine->IsConnected(), 0);
    EXPECT_EQ(log.Count(STATUS_REMOTE_HANGUP), 1);
    // A hang-up arriving after Stop raises nothing.
    peer.Send(Record(MSG_HANGUP));
    Sleep(100);
    EXPECT_EQ(log.Count(STATUS_REMOTE_HANGUP), 1);
}

TEST_F(EngineInCall, ShortVoiceRecordsDecodeOnlyWhatArrived) {
    Start();
    std::vector<uint8_t> voice = Record(MSG_VOICE, 330, 1600);
    voice.resize(13 + 50);  // promises 330 bytes, carries 50
    peer.Send(voice);
    ASSERT_TRUE(log.WaitFor(STATUS_NET_FRAME));
    EXPECT_EQ(log.Last(STATUS_BYTES_RECEIVED)->value, 330u);  // the length field, as received
    std::vector<uint8_t> bare = Record(MSG_VOICE, 0, 1600);
    ZorvoMsg(bare.data(), bare.size()).SetLength(0xFFFFFFFF);  // promises 4 GiB, carries none
    peer.Send(bare);
    ASSERT_TRUE(log.WaitFor(STATUS_NET_FRAME, 2));
    EXPECT_EQ(engine->IsConnected(), 1);
}

}  // namespace
