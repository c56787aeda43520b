// The player: frames copied at AddBuffer, played in order at real time into a WAV file, one
// MM_WOM_DONE for every frame taken, and the engine's two-thread use of it.

#include "engine/audio/Player.h"

#include <gtest/gtest.h>

#include <future>
#include <thread>

#include "engine/audio/tests/AudioTestSupport.h"

namespace zorvo::audio::test {
namespace {

using namespace std::chrono_literals;

// A frame whose samples all hold `mark`, so a played file shows which frames it holds.
std::vector<int16_t> MarkedFrame(std::size_t samples, int mark) {
    return std::vector<int16_t>(samples, static_cast<int16_t>(mark));
}

const char* Bytes(const std::vector<int16_t>& frame) {
    return reinterpret_cast<const char*>(frame.data());
}

// The marks of the frames in a played file, in order.
std::vector<int> MarksIn(const std::string& path, std::size_t frameSamples) {
    SoundFileContents file = ReadSoundFile(path);
    EXPECT_TRUE(file.ok) << file.error;
    EXPECT_EQ(file.samples.size() % frameSamples, 0u);
    std::vector<int> marks;
    for (std::size_t at = 0; at + frameSamples <= file.samples.size(); at += frameSamples) {
        EXPECT_EQ(std::vector<int16_t>(file.samples.begin() + at,
                                       file.samples.begin() + at + frameSamples),
                  MarkedFrame(frameSamples, file.samples[at]))
            << "frame at sample " << at << " is not whole";
        marks.push_back(file.samples[at]);
    }
    return marks;
}

class PlayerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_threadId = GetCurrentThreadId();
        DrainMessages();
    }
    void TearDown() override { DrainMessages(); }

    uint32_t m_threadId = 0;
    ScratchDir m_dir;
};

TEST_F(PlayerTest, PlaysFramesInOrderAtRealTimeIntoAFileReadableAllAlong) {
    std::string path = m_dir.Path("out.wav");
    Player player(1000, 8000, 1, 16);
    player.SetEndpoint(path);
    ASSERT_EQ(player.Start(m_threadId), 1) << player.LastError();
    EXPECT_NE(player.IsOpen(), 0u);

    std::vector<int16_t> written;
    std::vector<int16_t> frame(1000);
    Clock::time_point start = Clock::now();
    for (int k = 0; k < 8; ++k) {  // one second of sound
        frame = Ramp(1000, 1 + 1000 * k);
        ASSERT_EQ(player.AddBuffer(Bytes(frame)), 1);
        written.insert(written.end(), frame.begin(), frame.end());
        frame.assign(frame.size(), -1);  // the player must have copied it
    }
    ASSERT_EQ(CountMessages(MM_WOM_DONE, 3, 3s), 3);
    SoundFileContents partial = ReadSoundFile(path);
    ASSERT_TRUE(partial.ok) << partial.error;
    EXPECT_GE(partial.samples.size(), 3000u);
    EXPECT_TRUE(std::equal(partial.samples.begin(), partial.samples.end(), written.begin()));

    ASSERT_EQ(CountMessages(MM_WOM_DONE, 5, 3s), 5);
    double seconds = SecondsSince(start);
    EXPECT_GE(seconds, 0.8);
    EXPECT_LE(seconds, 3.0);
    EXPECT_EQ(player.PlayComplete(), 1);
    player.Stop();
    EXPECT_EQ(player.IsOpen(), 0u);

    SoundFileContents played = ReadSoundFile(path);
    ASSERT_TRUE(played.ok) << played.error;
    EXPECT_EQ(played.info.samplerate, 8000);
    EXPECT_EQ(played.info.channels, 1);
    EXPECT_EQ(played.samples, written);
}

TEST_F(PlayerTest, AFullQueueDropsTheOldestFramesAndReportsThemDone) {
    std::string path = m_dir.Path("out.wav");
    Player player(400, 8000, 1, 16);
    player.SetEndpoint(path);
    ASSERT_EQ(player.Start(m_threadId), 1) << player.LastError();
    for (int k = 1; k <= 20; ++k) {
        ASSERT_EQ(player.AddBuffer(Bytes(MarkedFrame(400, k))), 1);
    }
    EXPECT_EQ(CountMessages(MM_WOM_DONE, 20, 5s), 20);
    player.Stop();

    std::vector<int> marks = MarksIn(path, 400);
    ASSERT_GE(marks.size(), 8u);
    EXPECT_LT(marks.size(), 20u);
    EXPECT_TRUE(std::is_sorted(marks.begin(), marks.end()));
    EXPECT_EQ(std::adjacent_find(marks.begin(), marks.end()), marks.end());
    EXPECT_EQ(std::vector<int>(marks.end() - 8, marks.end()),
              (std::vector<int>{13, 14, 15, 16, 17, 18, 19, 20}));
}

TEST_F(PlayerTest, ResetDropsQueuedFramesAndPlayingGoesOn) {
    std::string path = m_dir.Path("out.wav");
    Player player(800, 8000, 1, 16);
    player.SetEndpoint(path);
    ASSERT_EQ(player.Start(m_threadId), 1) << player.LastError();
    for (int k = 1; k <= 6; ++k) {
        ASSERT_EQ(player.AddBuffer(Bytes(MarkedFrame(800, k))), 1);
    }
    player.Reset();
    EXPECT_EQ(CountMessages(MM_WOM_DONE, 6, 3s), 6);
    EXPECT_NE(player.IsOpen(), 0u);

    ASSERT_EQ(player.AddBuffer(Bytes(MarkedFrame(800, 7))), 1);
    EXPECT_EQ(CountMessages(MM_WOM_DONE, 1, 3s), 1);
    player.Stop();

    std::vector<int> marks = MarksIn(path, 800);
    ASSERT_GE(marks.size(), 1u);
    EXPECT_LE(marks.size(), 2u);  // at most the frame already playing survives the reset
    EXPECT_EQ(marks.back(), 7);
}

TEST_F(PlayerTest, PlaysOnlyBetweenAStartAndAStop) {
    std::vector<int16_t> frame = MarkedFrame(1600, 3);
    Player player(1600, 8000, 1, 16);
    EXPECT_EQ(player.IsOpen(), 0u);
    EXPECT_EQ(player.AddBuffer(Bytes(frame)), 0);

    player.SetEndpoint("none");
    EXPECT_EQ(player.Start(m_threadId), 0);
    EXPECT_EQ(player.LastError(), "no audio device");
    EXPECT_EQ(player.IsOpen(), 0u);
    EXPECT_EQ(player.AddBuffer(Bytes(frame)), 0);

    std::string path = m_dir.Path("out.wav");
    player.SetEndpoint(path);
    ASSERT_EQ(player.Start(m_threadId), 1) << player.LastError();
    EXPECT_EQ(player.LastError(), "");
    EXPECT_EQ(player.Start(m_threadId), 0);
    EXPECT_EQ(player.LastError(), "the player is already started");
    EXPECT_NE(player.IsOpen(), 0u);
    EXPECT_EQ(player.AddBuffer(nullptr), 0);
    player.Stop();
    EXPECT_EQ(player.IsOpen(), 0u);
    EXPECT_EQ(player.AddBuffer(Bytes(frame)), 0);
    player.Stop();  // a second Stop is harmless
    EXPECT_EQ(CountMessages(MM_WOM_DONE, 1, 200ms), 0);

    Player wrongFormat(1600, 8000, 1, 8);
    wrongFormat.SetEndpoint(m_dir.Path("never.wav"));
    EXPECT_EQ(wrongFormat.Start(m_threadId), 0);
    EXPECT_NE(wrongFormat.LastError().find("only 16-bit"), std::string::npos);
    EXPECT_EQ(wrongFormat.AddBuffer(Bytes(frame)), 0);
}

TEST_F(PlayerTest, ADeviceFailureClosesThePlayer) {
    Player player(80, 8000, 1, 16);
    player.SetEndpoint(ScriptedEndpoint(2));
    ASSERT_EQ(player.Start(m_threadId), 1);
    int accepted = 0;
    for (int k = 0; k < 5; ++k) {
        accepted += player.AddBuffer(Bytes(MarkedFrame(80, k)));
    }
    EXPECT_EQ(accepted, 5);
    EXPECT_EQ(CountMessages(MM_WOM_DONE, accepted, 3s), accepted);
    EXPECT_EQ(player.IsOpen(), 0u);
    EXPECT_EQ(player.LastError(), "the playback device failed");
    EXPECT_EQ(player.AddBuffer(Bytes(MarkedFrame(80, 9))), 0);
    player.Stop();
}

// The engine's pattern: the receive-play thread checks IsOpen and calls AddBuffer while the
// play-callback thread, which started the player, answers MM_WOM_DONE with PlayComplete and
// sometimes resets. Every accepted frame must come back exactly once, and the frames that were
// played must be in the order they were added.
TEST_F(PlayerTest, FeedingAndAcknowledgingFromTwoThreads) {
    constexpr uint32_t kResetRequest = WM_USER + 1;
    constexpr uint32_t kFinishRequest = WM_USER + 2;
    constexpr int kFrames = 120;
    std::string path = m_dir.Path("out.wav");
    Player player(80, 8000, 1, 16);  // 10 ms frames
    player.SetEndpoint(path);

    std::promise<uint32_t> callbackId;
    std::future<uint32_t> callbackIdReady = callbackId.get_future();
    int completed = 0;
    std::thread callback([&] {
        callbackId.set_value(player.Start(GetCurrentThreadId()) ? GetCurrentThreadId() : 0);
        for (bool finishing = false; !finishing;) {
            ThreadMsg msg;
            if (GetMessageTimeout(msg, 5000) == 0) {
                ADD_FAILURE() << "the feeding thread went quiet";
                break;
            }
            if (msg.message == MM_WOM_DONE) {
                completed += player.PlayComplete();
            } else if (msg.message == kResetRequest) {
                player.Reset();
            } else if (msg.message == kFinishRequest) {
                player.Reset();
                finishing = true;
            }
        }
        player.Stop();
        ThreadMsg msg;
        while (PeekMessage(msg, true) != 0) {
            completed += msg.message == MM_WOM_DONE ? player.PlayComplete() : 0;
        }
    });

    uint32_t callbackThread = callbackIdReady.get();
    ASSERT_NE(callbackThread, 0u) << player.LastError();
    int accepted = 0;
    for (int k = 1; k <= kFrames; ++k) {
        if (player.IsOpen() != 0) {
            accepted += player.AddBuffer(Bytes(MarkedFrame(80, k)));
        }
        if (k % 25 == 0) {
            PostThreadMessage(callbackThread, kResetRequest, 0, 0);
        }
        std::this_thread::sleep_for(k % 2 == 0 ? 2ms : 12ms);
    }
    PostThreadMessage(callbackThread, kFinishRequest, 0, 0);
    callback.join();

    EXPECT_EQ(accepted, kFrames);
    EXPECT_EQ(completed, accepted);
    std::vector<int> marks = MarksIn(path, 80);
    EXPECT_GT(marks.size(), 0u);
    EXPECT_TRUE(std::is_sorted(marks.begin(), marks.end()));
    EXPECT_EQ(std::adjacent_find(marks.begin(), marks.end()), marks.end());
}

}  // namespace
}  // namespace zorvo::audio::test
