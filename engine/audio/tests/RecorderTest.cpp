// The recorder's ring of capture buffers, driven the way the record-send thread drives it: wait
// for MM_WIM_DATA, check the current buffer, copy it, give it back.

#include "engine/audio/Recorder.h"

#include <gtest/gtest.h>

#include <cstring>

#include "engine/audio/tests/AudioTestSupport.h"

namespace zorvo::audio::test {
namespace {

using namespace std::chrono_literals;

class RecorderTest : public ::testing::Test {
  protected:
    void SetUp() override {
        m_threadId = GetCurrentThreadId();
        DrainMessages();
    }
    void TearDown() override { DrainMessages(); }

    // Waits for the next message; it must be MM_WIM_DATA. Returns its buffer index, -1 if none.
    int NextCapture(std::chrono::milliseconds timeout = 3000ms) {
        ThreadMsg msg;
        if (GetMessageTimeout(msg, static_cast<uint32_t>(timeout.count())) == 0) {
            return -1;
        }
        EXPECT_EQ(msg.message, MM_WIM_DATA);
        return static_cast<int>(msg.wParam);
    }

    // Copies the current buffer, as the consumer does, and gives it back.
    std::vector<int16_t> TakeCurrent(Recorder& recorder) {
        int index = recorder.CurrentBuffer();
        EXPECT_TRUE(recorder.IsBufferDone(index));
        std::vector<int16_t> samples(recorder.BufferBytes() / sizeof(int16_t));
        std::memcpy(samples.data(), recorder.BufferData(index), recorder.BufferBytes());
        EXPECT_EQ(recorder.BufferDone(), 1);
        // The buffer may be full again at once (the capture had a read waiting for it), so only
        // the consumer's position is checked here.
        EXPECT_EQ(recorder.CurrentBuffer(), (index + 1) % Recorder::kBufferCount);
        return samples;
    }

    uint32_t m_threadId = 0;
    ScratchDir m_dir;
};

TEST_F(RecorderTest, DeliversTheFileInOrderThenSilenceAtRealTime) {
    std::string path = m_dir.Path("mic.wav");
    const std::vector<int16_t> file = Ramp(2000);  // two and a half buffers
    WriteSoundFile(path, file, 8000, 1);

    Recorder recorder(800, 8000, 1, 16);
    recorder.SetEndpoint(path);
    EXPECT_EQ(recorder.BufferBytes(), 1600u);
    Clock::time_point start = Clock::now();
    ASSERT_EQ(recorder.Start(m_threadId), 1) << recorder.LastError();

    std::vector<int16_t> captured;
    for (int n = 0; n < 10; ++n) {  // one second of sound
        int index = NextCapture();
        ASSERT_EQ(index, n % Recorder::kBufferCount);
        ASSERT_EQ(recorder.CurrentBuffer(), index);
        std::vector<int16_t> buffer = TakeCurrent(recorder);
        captured.insert(captured.end(), buffer.begin(), buffer.end());
    }
    double seconds = SecondsSince(start);
    EXPECT_GE(seconds, 0.8);
    EXPECT_LE(seconds, 3.0);
    recorder.Stop();

    std::vector<int16_t> expected = file;
    expected.resize(8000, 0);
    EXPECT_EQ(captured, expected);
}

TEST_F(RecorderTest, AFullRingHoldsFiveBuffersAndCaptureWaitsLosingSamples) {
    std::string path = m_dir.Path("mic.wav");
    WriteSoundFile(path, Ramp(8000 * 4), 8000, 1);
    // 200 ms buffers: a capture thread held up by a loaded machine still keeps up.
    constexpr int kBuf = 1600;
    Recorder recorder(kBuf, 8000, 1, 16);
    recorder.SetEndpoint(path);
    ASSERT_EQ(recorder.Start(m_threadId), 1) << recorder.LastError();

    // Nothing is given back: exactly five buffers come, in ring order, and then capture waits.
    for (int n = 0; n < Recorder::kBufferCount; ++n) {
        ASSERT_EQ(NextCapture(), n);
    }
    EXPECT_EQ(NextCapture(500ms), -1);
    EXPECT_EQ(recorder.CurrentBuffer(), 0);
    for (int i = 0; i < Recorder::kBufferCount; ++i) {
        ASSERT_TRUE(recorder.IsBufferDone(i));
        std::vector<int16_t> data(kBuf);
        std::memcpy(data.data(), recorder.BufferData(i), recorder.BufferBytes());
        EXPECT_EQ(data, Ramp(kBuf, 1 + kBuf * i)) << "buffer " << i;
    }

    // Giving one back resumes capture into it; what came in meanwhile is lost.
    TakeCurrent(recorder);
    ASSERT_EQ(NextCapture(), 0);
    EXPECT_EQ(recorder.CurrentBuffer(), 1);
    std::vector<int16_t> resumed(kBuf);
    std::memcpy(resumed.data(), recorder.BufferData(0), recorder.BufferBytes());
    EXPECT_GT(resumed[0], 5 * kBuf);
    EXPECT_EQ(resumed, Ramp(kBuf, resumed[0]));
    EXPECT_EQ(NextCapture(300ms), -1);  // still only one free buffer

    // Stop does not wait for a free buffer.
    Clock::time_point stop = Clock::now();
    recorder.Stop();
    EXPECT_LT(SecondsSince(stop), 1.0);
}

TEST_F(RecorderTest, ResetReturnsEveryBufferDoneAndCaptureStops) {
    std::string path = m_dir.Path("mic.wav");
    WriteSoundFile(path, Ramp(24000), 8000, 1);
    Recorder recorder(400, 8000, 1, 16);
    recorder.SetEndpoint(path);
    ASSERT_EQ(recorder.Start(m_threadId), 1) << recorder.LastError();
    for (int n = 0; n < 2; ++n) {
        ASSERT_EQ(NextCapture(), n);
        TakeCurrent(recorder);
    }

    recorder.Reset();
    for (int i = 0; i < Recorder::kBufferCount; ++i) {
        EXPECT_TRUE(recorder.IsBufferDone(i)) << "buffer " << i;
    }
    // One MM_WIM_DATA per buffer the consumer has not seen; each finds its buffer done and holds
    // either captured samples or silence.
    const std::vector<int16_t> silence(400, 0);
    for (int n = 0; n < Recorder::kBufferCount; ++n) {
        ASSERT_NE(NextCapture(1000ms), -1) << "message " << n;
        std::vector<int16_t> data = TakeCurrent(recorder);
        if (data != silence) {
            EXPECT_EQ(data, Ramp(400, data[0]));
        }
    }
    EXPECT_EQ(NextCapture(400ms), -1);
    for (int i = 0; i < Recorder::kBufferCount; ++i) {
        EXPECT_FALSE(recorder.IsBufferDone(i));
    }
    recorder.Stop();
}

TEST_F(RecorderTest, StartAfterStopCapturesFromTheBeginningAgain) {
    std::string path = m_dir.Path("mic.wav");
    WriteSoundFile(path, Ramp(8000), 8000, 1);
    Recorder recorder(1600, 8000, 1, 16);
    recorder.SetEndpoint(path);
    for (int round = 0; round < 2; ++round) {
        SCOPED_TRACE(round);
        ASSERT_EQ(recorder.Start(m_threadId), 1) << recorder.LastError();
        ASSERT_EQ(NextCapture(), 0);
        EXPECT_EQ(TakeCurrent(recorder), Ramp(1600));
        recorder.Stop();
        DrainMessages();
    }
}

TEST_F(RecorderTest, AFailedStartSaysWhyAndPostsNothing) {
    std::string cd = m_dir.Path("cd.wav");
    WriteSoundFile(cd, Ramp(88200), 44100, 2);
    struct Row {
        AudioFormat format;
        std::string endpoint;
        std::string expected;
    };
    const Row rows[] = {
        {{1600, 8000, 1, 16}, "none", "no audio device"},
        {{1600, 8000, 1, 16}, cd, cd + ": 44100 Hz stereo; need 8000 Hz mono"},
        {{1600, 8000, 1, 16}, m_dir.Path("gone.wav"), "No such file or directory"},
        {{1600, 8000, 1, 8}, "none", "8-bit samples; only 16-bit are supported"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.endpoint);
        Recorder recorder(row.format.bufferSamples, row.format.sampleRate, row.format.channels,
                          row.format.bitsPerSample);
        recorder.SetEndpoint(row.endpoint);
        EXPECT_EQ(recorder.Start(m_threadId), 0);
        EXPECT_NE(recorder.LastError().find(row.expected), std::string::npos)
            << recorder.LastError();
        EXPECT_FALSE(recorder.IsBufferDone(recorder.CurrentBuffer()));
        recorder.Reset();
        recorder.Stop();
    }
    EXPECT_EQ(NextCapture(300ms), -1);
}

TEST_F(RecorderTest, ADeviceFailureEndsCaptureAndIsReported) {
    Recorder recorder(80, 8000, 1, 16);
    recorder.SetEndpoint(ScriptedEndpoint(2));
    ASSERT_EQ(recorder.Start(m_threadId), 1);
    EXPECT_EQ(recorder.Start(m_threadId), 0);
    EXPECT_EQ(recorder.LastError(), "the recorder is already started");
    for (int n = 0; n < 2; ++n) {
        ASSERT_EQ(NextCapture(), n);
        EXPECT_EQ(TakeCurrent(recorder), std::vector<int16_t>(80, static_cast<int16_t>(n + 1)));
    }
    EXPECT_EQ(NextCapture(300ms), -1);
    EXPECT_EQ(recorder.LastError(), "the capture device failed");
    recorder.Stop();
}

}  // namespace
}  // namespace zorvo::audio::test
