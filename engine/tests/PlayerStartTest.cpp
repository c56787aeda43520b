// The listener's player is open before the first frame of a call is read, however long the
// device takes to open: the first 200 ms of speech are played, not dropped.

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <memory>
#include <thread>

#include "EngineTestSupport.h"
#include "VoiceOracle.h"
#include "WavFiles.h"
#include "engine/audio/AudioBackend.h"

using namespace enginetest;

namespace {

std::atomic<int> g_loudSamplesPlayed{0};

// A playback device that takes 300 ms to open and counts the loud samples it is given.
class SlowDevice : public PlaybackStream {
  public:
    bool Write(const int16_t* samples, std::size_t count) override {
        for (std::size_t i = 0; i < count; ++i) {
            g_loudSamplesPlayed += samples[i] > 1000 || samples[i] < -1000 ? 1 : 0;
        }
        return true;
    }
};

zorvo::audio::Claim ClaimsSlowDevice(const std::string& endpoint) {
    return endpoint == "slow-device" ? zorvo::audio::Claim::kExact : zorvo::audio::Claim::kNone;
}

std::unique_ptr<PlaybackStream> OpenSlowDevice(const std::string&, const AudioFormat&,
                                               std::string*) {
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    return std::make_unique<SlowDevice>();
}

const zorvo::audio::AudioBackendRegistration kSlowDevice{
    {"slow-device", &ClaimsSlowDevice, nullptr, &OpenSlowDevice}};

TEST(PlayerStart, TheFirstFrameOfACallIsPlayedWhileThePlayerIsStillOpening) {
    TempDir dir;
    WriteWav(dir.File("silence.wav"), std::vector<int16_t>(8000, 0));
    EngineOptions options;
    options.microphone = dir.File("silence.wav");
    options.speaker = "slow-device";
    options.timing = FastTiming();
    StatusLog log;
    Statistics stats(log.Window());
    UdpPeer peer;
    Voxlane engine(0, 0, &stats, "alice", options);
    ASSERT_EQ(engine.InitConnect(Loopback(), peer.Port()), 1);
    Thread connect(&Voxlane::_Connect, &engine);
    connect.Resume();
    ASSERT_TRUE(peer.ReceiveType(MSG_CONNECT_REQUEST, 2000));

    // One loud frame, sent the moment the call is up.
    Frame tone(1600);
    for (size_t i = 0; i < tone.size(); ++i) {
        tone[i] = static_cast<int16_t>(i % 20 < 10 ? 12000 : -12000);
    }
    std::vector<uint8_t> voice = Record(MSG_VOICE, 330, 1600);
    const std::vector<uint8_t> blocks = Encode({tone});
    std::copy(blocks.begin(), blocks.end(), voice.begin() + 13);
    g_loudSamplesPlayed = 0;
    peer.Send(Record(MSG_ACCEPT));
    peer.Send(voice);

    ASSERT_TRUE(log.WaitFor(STATUS_NET_FRAME, 1, 3000));
    for (int i = 0; i < 100 && g_loudSamplesPlayed < 1000; ++i) {
        Sleep(20);
    }
    EXPECT_GT(g_loudSamplesPlayed.load(), 1000) << "the first frame was not played";
    engine.Stop();
    connect.WaitForDeath(5000);
}

}  // namespace
