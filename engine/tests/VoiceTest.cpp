// What a call carries: silence suppression on the sending side, and speech end to end between
// two engines.

#include <gtest/gtest.h>

#include <cstdlib>
#include <memory>

#include "EngineTestSupport.h"
#include "VoiceOracle.h"
#include "WavFiles.h"

using namespace enginetest;

namespace {

// 320 samples beyond the threshold (2560 with the default sensitivity) and 500 exactly on it:
// silence. One more beyond it: speech.
Frame Crafted(int beyond, int16_t level) {
    Frame f(1600, 0);
    for (int i = 0; i < beyond; ++i) {
        f[static_cast<size_t>(i)] = static_cast<int16_t>((i & 1) ? level : -level);
    }
    for (int i = 0; i < 500; ++i) {
        f[static_cast<size_t>(beyond + i)] = (i & 1) ? 2560 : -2560;
    }
    return f;
}

class SendingEngine : public ::testing::Test {
  protected:
    // Calls the raw peer with `frames` as the microphone and collects the voice payloads sent.
    std::vector<uint8_t> RunCall(const std::vector<Frame>& frames, unsigned threshold,
                                 uint32_t collectMs) {
        std::vector<int16_t> samples;
        for (const Frame& f : frames) {
            samples.insert(samples.end(), f.begin(), f.end());
        }
        EXPECT_TRUE(WriteWav(dir.File("mic.wav"), samples));
        EngineOptions options;
        options.microphone = dir.File("mic.wav");
        options.speaker = "none";
        options.timing = FastTiming();
        options.timing.idleWaitLimit = 1000;  // the peer sends nothing back
        engine = std::make_unique<Voxlane>(0, 0, &stats, "alice", options);
        engine->SetNoVoiceSenseThreshold(threshold);
        EXPECT_EQ(engine->InitConnect(Loopback(), peer.Port()), 1);
        Thread connect(&Voxlane::_Connect, engine.get());
        connect.Resume();
        EXPECT_TRUE(peer.ReceiveType(MSG_CONNECT_REQUEST, 2000));
        peer.Send(Record(MSG_ACCEPT));
        std::vector<uint8_t> payloads;
        const uint32_t start = GetTickCount();
        while (GetTickCount() - start < collectMs) {
            auto bytes = peer.Receive(100);
            if (bytes && bytes->size() > 4 && (*bytes)[4] == MSG_VOICE) {
                EXPECT_EQ(bytes->size(), 343u);
                const ZorvoMsg msg(bytes->data(), bytes->size());
                EXPECT_EQ(msg.SampleCount(), 1600u);
                payloads.insert(payloads.end(), msg.Data(), msg.Data() + msg.Length());
            }
        }
        engine->Stop();
        connect.WaitForDeath(INFINITE);
        return payloads;
    }

    TempDir dir;
    StatusLog log;
    Statistics stats{log.Window()};
    UdpPeer peer;
    std::unique_ptr<Voxlane> engine;
};

TEST_F(SendingEngine, TenSilentFramesGoOutThenTheLastHeldOneLeadsTheNextSpeech) {
    std::vector<Frame> frames;
    frames.push_back(Crafted(321, 3000));  // speech
    for (int i = 0; i < 15; ++i) {
        frames.push_back(Crafted(320, static_cast<int16_t>(3000 + i)));  // silence, each distinct
    }
    frames.push_back(Crafted(321, -3000));  // speech again (negative samples count too)
    // After the file, the microphone delivers silence: ten more frames are sent, then none.
    std::vector<Frame> expected = {frames[0]};
    expected.insert(expected.end(), frames.begin() + 1, frames.begin() + 11);  // silent 1..10
    expected.push_back(frames[15]);  // the held frame, right before the speech
    expected.push_back(frames[16]);
    for (int i = 0; i < 10; ++i) {
        expected.emplace_back(1600, 0);
    }
    const auto sent = RunCall(frames, 10, 31 * 200 + 600);
    EXPECT_EQ(sent.size(), expected.size() * 330);
    EXPECT_TRUE(sent == Encode(expected)) << "the frames sent differ from the expected ones";
    EXPECT_EQ(log.CountText("Sending a previous novoice packet"), 1);
}

TEST_F(SendingEngine, ThresholdZeroPausesAtTheFirstSilentFrame) {
    std::vector<Frame> frames = {Crafted(321, 3000), Crafted(0, 0), Crafted(0, 0),
                                 Crafted(10, 3000), Crafted(400, 5000)};
    const std::vector<Frame> expected = {frames[0], frames[3], frames[4]};
    const auto sent = RunCall(frames, 0, 8 * 200 + 600);
    EXPECT_TRUE(sent == Encode(expected)) << sent.size() / 330 << " frames sent";
}

// Counts the voice records that reach `peer` within `ms`.
int CountVoice(UdpPeer& peer, uint32_t ms) {
    int count = 0;
    const uint32_t start = GetTickCount();
    while (GetTickCount() - start < ms) {
        auto bytes = peer.Receive(50);
        count += bytes && bytes->size() > 4 && (*bytes)[4] == MSG_VOICE ? 1 : 0;
    }
    return count;
}

TEST_F(SendingEngine, AMutedCallSendsNoVoiceAndSpeechResumesOnUnmute) {
    std::vector<Frame> frames;
    for (int i = 0; i < 40; ++i) {
        frames.push_back(Crafted(400, static_cast<int16_t>(3000 + i)));  // speech throughout
    }
    std::vector<int16_t> samples;
    for (const Frame& f : frames) {
        samples.insert(samples.end(), f.begin(), f.end());
    }
    ASSERT_TRUE(WriteWav(dir.File("mic.wav"), samples));
    EngineOptions options;
    options.microphone = dir.File("mic.wav");
    options.speaker = "none";
    options.timing = FastTiming();
    options.timing.idleWaitLimit = 1000;
    engine = std::make_unique<Voxlane>(0, 0, &stats, "alice", options);
    engine->SetMuted(true);
    ASSERT_EQ(engine->InitConnect(Loopback(), peer.Port()), 1);
    Thread connect(&Voxlane::_Connect, engine.get());
    connect.Resume();
    ASSERT_TRUE(peer.ReceiveType(MSG_CONNECT_REQUEST, 2000));
    peer.Send(Record(MSG_ACCEPT));

    EXPECT_EQ(CountVoice(peer, 1500), 0) << "speech went out while muted";
    engine->SetMuted(false);
    EXPECT_GE(CountVoice(peer, 1500), 4) << "speech did not resume after unmuting";
    // Nothing said while muted was held back to lead the speech after it.
    EXPECT_EQ(log.CountText("Sending a previous novoice packet"), 0);
    engine->SetMuted(true);
    CountVoice(peer, 400);  // a frame already on its way may still arrive
    EXPECT_EQ(CountVoice(peer, 1200), 0) << "muting again mid-speech did not stop the voice";
    engine->Stop();
    connect.WaitForDeath(INFINITE);
}

TEST(EndToEnd, SpeechArrivesExactlyAsLibgsmDecodesIt) {
    TempDir dir;
    const std::string voice = dir.File("voice.wav"), speech = dir.File("speech.wav");
    ASSERT_EQ(std::system(("espeak-ng -w '" + voice +
                           "' 'Hello Bob. This is Alice, calling to test the line. Can you hear "
                           "me well?' 2>/dev/null")
                              .c_str()),
              0);
    ASSERT_EQ(std::system(
                  ("sox '" + voice + "' -r 8000 -c 1 -b 16 '" + speech + "' 2>/dev/null").c_str()),
              0);
    const std::vector<int16_t> samples = ReadWav(speech);
    ASSERT_GT(samples.size(), 8000u);
    WriteWav(dir.File("silence.wav"), {});

    const uint16_t port = FreeUdpPort();
    StatusLog callerLog, calleeLog;
    Statistics callerStats(callerLog.Window()), calleeStats(calleeLog.Window());
    EngineOptions callerOptions, calleeOptions;
    callerOptions.microphone = speech;
    callerOptions.speaker = "none";
    calleeOptions.microphone = dir.File("silence.wav");
    calleeOptions.speaker = dir.File("heard.wav");
    callerOptions.timing = calleeOptions.timing = FastTiming();
    // The callee falls silent after ten frames: the caller's line stays quiet meanwhile.
    callerOptions.timing.idleWaitLimit = calleeOptions.timing.idleWaitLimit = 1000;
    Voxlane callee(port, 1, &calleeStats, "bob", calleeOptions);
    Voxlane caller(port, 0, &callerStats, "alice", callerOptions);
    calleeLog.OnEvent([](const Event& e) {
        if (e.code == STATUS_INCOMING_CALL) {
            Voxlane::WriteDecision(e.value, DECISION_ACCEPT);
        }
    });
    ASSERT_EQ(callee.StartServer(), 1);
    ASSERT_EQ(caller.InitConnect(Loopback(), port), 1);
    ASSERT_EQ(caller.Connect(), 1);

    const std::vector<Frame> sent = SentFrames(SplitFrames(samples, 15));
    // Let the whole recording and the silence after it go through, and the callee play the last
    // frame, then hang up. Waiting for the frames rather than for a fixed time: on a loaded
    // machine the caller's microphone falls behind its clock.
    const int frames = static_cast<int>(sent.size());
    ASSERT_TRUE(calleeLog.WaitFor(STATUS_NET_FRAME, frames, static_cast<uint32_t>(frames * 400)));
    Sleep(800);
    caller.Stop();
    ASSERT_TRUE(calleeLog.WaitFor(STATUS_REMOTE_HANGUP));
    callee.Stop();

    const std::vector<int16_t> expected = Decode(Encode(sent));
    const std::vector<int16_t> heard = ReadWav(dir.File("heard.wav"));
    EXPECT_EQ(heard.size(), expected.size())
        << "frames heard: " << heard.size() / 1600 << ", frames sent: " << sent.size();
    EXPECT_TRUE(heard == expected) << "the callee did not hear exactly what libgsm decodes";
    EXPECT_EQ(calleeLog.Count(STATUS_NET_FRAME), static_cast<int>(sent.size()));
    EXPECT_EQ(callerLog.Count(STATUS_MIC_FRAME), static_cast<int>(sent.size()));
}

}  // namespace
