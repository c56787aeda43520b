// The adaptive playout buffer on a fake clock: frames arrive at chosen times, the device takes
// 10 ms every 10 ms of its own clock, and whole simulated calls run in milliseconds.

#include "engine/audio/PlayoutBuffer.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <vector>

namespace zorvo::audio::test {
namespace {

using Buffer = PlayoutBuffer;
constexpr std::size_t kFrame = 1600;
constexpr std::size_t kChunk = 80;

Buffer::Time At(double ms) {
    return Buffer::Time{} + std::chrono::duration_cast<Buffer::Clock::duration>(
                                std::chrono::duration<double, std::milli>(ms));
}

struct Arrival {
    double ms;
    std::vector<int16_t> frame;
};

// A voiced-sounding frame: a tone whose loudness swells and fades, different in every frame.
std::vector<int16_t> SpeechFrame(int index) {
    std::vector<int16_t> frame(kFrame);
    for (std::size_t i = 0; i < kFrame; ++i) {
        const double t = static_cast<double>(index * kFrame + i) / 8000.0;
        const double envelope = 0.55 + 0.45 * std::sin(2 * M_PI * 3 * t);
        frame[i] = static_cast<int16_t>(9000 * envelope * std::sin(2 * M_PI * 310 * t));
    }
    return frame;
}

std::vector<int16_t> MarkedFrame(int mark) {
    return std::vector<int16_t>(kFrame, static_cast<int16_t>(mark));
}

struct Outcome {
    std::vector<int16_t> out;       // everything the device was given
    std::size_t maxDepthAfter = 0;  // after a push, once `settleMs` have passed
    std::size_t maxDepth = 0;       // after a push, over the whole run
    uint64_t concealedAfter = 0;    // concealed once `settleMs` have passed, up to the last push
    uint64_t edited = 0;
    uint64_t concealed = 0;
    int completed = 0;
    int dropped = 0;
};

// Plays `arrivals` (sorted by time) into a buffer whose device takes kChunk samples every 10 ms of
// the receiver's clock, for `durationMs`.
Outcome Simulate(const std::vector<Arrival>& arrivals, double durationMs, bool device,
                 double settleMs = 0) {
    Buffer buffer(AudioFormat{kFrame, 8000, 1, 16}, device);
    Outcome run;
    std::vector<int16_t> chunk(kChunk);
    std::size_t next = 0;
    uint64_t concealedAtSettle = 0;
    bool settled = false;
    for (double tick = 0; tick < durationMs; tick += 10) {
        for (; next < arrivals.size() && arrivals[next].ms <= tick; ++next) {
            run.dropped += buffer.Push(arrivals[next].frame.data(), At(arrivals[next].ms));
            run.maxDepth = std::max(run.maxDepth, buffer.Depth());
            if (tick >= settleMs) {
                run.maxDepthAfter = std::max(run.maxDepthAfter, buffer.Depth());
            }
            if (next + 1 == arrivals.size()) {
                run.concealedAfter = buffer.ConcealedSamples() - concealedAtSettle;
            }
        }
        if (!settled && tick >= settleMs) {
            settled = true;
            concealedAtSettle = buffer.ConcealedSamples();
        }
        if (buffer.NextOutput() > At(tick)) {
            continue;
        }
        Buffer::Pulled pulled = buffer.Pull(chunk.data(), kChunk, At(tick));
        run.completed += pulled.completed;
        run.out.insert(run.out.end(), chunk.begin(), chunk.begin() + pulled.samples);
    }
    run.concealed = buffer.ConcealedSamples();
    run.edited = buffer.EditedSamples();
    return run;
}

// Frames sent every 200 ms of the sender's clock, which runs `rate` times as fast as the
// receiver's, each delayed by `delay(index)` ms on the way.
std::vector<Arrival> Stream(int frames, double rate, const std::function<double(int)>& delay,
                            const std::function<std::vector<int16_t>(int)>& content) {
    std::vector<Arrival> arrivals;
    for (int k = 0; k < frames; ++k) {
        arrivals.push_back({5 + k * 200.0 / rate + delay(k), content(k)});
    }
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const Arrival& a, const Arrival& b) { return a.ms < b.ms; });
    return arrivals;
}

std::vector<int16_t> Concatenated(const std::vector<Arrival>& arrivals) {
    std::vector<int16_t> all;
    for (const Arrival& a : arrivals) {
        all.insert(all.end(), a.frame.begin(), a.frame.end());
    }
    return all;
}

TEST(PlayoutBuffer, ACleanStreamPlaysBitExactOnADeviceAndIntoAFile) {
    // Matched clocks, a millisecond or two of jitter.
    const auto arrivals = Stream(
        100, 1.0, [](int k) { return (k * 7 % 5) * 0.4; }, SpeechFrame);
    for (bool device : {true, false}) {
        Outcome run = Simulate(arrivals, 100 * 200 + 1000, device);
        const std::vector<int16_t> sent = Concatenated(arrivals);
        // A device is fed silence once the call's sound has ended; nothing before it, nothing
        // inside it.
        ASSERT_GE(run.out.size(), sent.size());
        EXPECT_TRUE(std::equal(sent.begin(), sent.end(), run.out.begin()))
            << (device ? "device" : "file");
        EXPECT_EQ(run.edited, 0u);
        EXPECT_EQ(run.completed, 100);
        EXPECT_EQ(run.dropped, 0);
        EXPECT_EQ(run.out.size() - sent.size(), run.concealed);
    }
}

TEST(PlayoutBuffer, DriftInEitherDirectionKeepsTheDepthBoundedOverATenMinuteCall) {
    constexpr int kFrames = 10 * 60 * 5;
    for (double rate : {1.005, 0.995}) {
        const auto arrivals = Stream(
            kFrames, rate, [](int k) { return (k * 13 % 7) * 0.5; }, SpeechFrame);
        Outcome run = Simulate(arrivals, kFrames * 200.0 / rate + 1000, true, 60000);
        // Without correction 0.5% of ten minutes is 3 s of drift; the buffer keeps to one frame
        // plus a margin of under 150 ms.
        EXPECT_LE(run.maxDepthAfter, kFrame + 1200) << "rate " << rate;
        EXPECT_EQ(run.dropped, 0) << "rate " << rate;
        EXPECT_GT(run.edited, 0u) << "rate " << rate;
        // The sound is never interrupted after the first minute: drift is followed before it
        // comes to an underrun.
        EXPECT_EQ(run.concealedAfter, 0u) << "rate " << rate;
        EXPECT_EQ(run.completed, kFrames);
    }
}

TEST(PlayoutBuffer, AnUnderrunFadesOutToSilenceAndPlayingResumesAtTheTargetDepth) {
    // Ten frames, a second without any, then ten more.
    auto arrivals = Stream(
        20, 1.0, [](int k) { return k >= 10 ? 1000.0 : 0.0; }, MarkedFrame);
    for (auto& a : arrivals) {
        std::fill(a.frame.begin(), a.frame.end(), static_cast<int16_t>(8000));
    }
    Outcome run = Simulate(arrivals, 20 * 200 + 2000, true);
    // The first silence follows 10 frames of sound: the last sample played is 8000, the fade
    // falls from there to 0 in a few milliseconds, with no step larger than the fade's.
    const std::size_t dry = 10 * kFrame;
    ASSERT_GT(run.out.size(), dry + 400);
    EXPECT_EQ(run.out[dry - 1], 8000);
    EXPECT_GT(run.out[dry], 7000);
    for (std::size_t i = dry; i < dry + 60; ++i) {
        EXPECT_LE(run.out[i + 1], run.out[i]);
        EXPECT_LT(run.out[i] - run.out[i + 1], 400);
    }
    EXPECT_EQ(run.out[dry + 60], 0);
    // Then silence until the next frame, which fades in and plays whole.
    auto resumed = std::find(run.out.begin() + dry + 60, run.out.end(), 8000);
    ASSERT_NE(resumed, run.out.end());
    const std::size_t gap = static_cast<std::size_t>(resumed - run.out.begin()) - dry;
    EXPECT_GE(gap, 1000u * 8);  // the second without frames
    EXPECT_LE(gap, 1300u * 8);  // plus no more than the way back to the target depth
    EXPECT_EQ(std::count(run.out.begin(), run.out.end(), int16_t{8000}), 20 * 1600 - 40);
    EXPECT_EQ(run.completed, 20);
}

TEST(PlayoutBuffer, ALostFrameCostsItsOwnLengthOfConcealmentAndNoMore) {
    std::vector<Arrival> arrivals = Stream(
        60, 1.0, [](int k) { return (k * 37 % 11) * 6.0; }, SpeechFrame);
    arrivals.erase(arrivals.begin() + 30);  // lost on the way
    Outcome run = Simulate(arrivals, 60 * 200 + 200, true, 3000);
    // Up to the 200 ms of the lost frame (less when the next one came early enough to start at
    // the target depth); the rest of the call plays on its grid.
    EXPECT_GE(run.concealedAfter, kFrame / 2);
    EXPECT_LE(run.concealedAfter, kFrame + 400);
    EXPECT_EQ(run.completed, 59);
}

TEST(PlayoutBuffer, ReorderedAndDuplicatedFramesNeitherCorruptNorStallPlayback) {
    // Every third frame swaps places with the next; every fifth arrives twice.
    std::vector<Arrival> arrivals;
    for (int k = 0; k < 300; ++k) {
        const int slot = k % 3 == 0 ? k + 1 : (k % 3 == 1 ? k - 1 : k);
        arrivals.push_back({5 + slot * 200.0 + 3, MarkedFrame(100 + k)});
        if (k % 5 == 0) {
            arrivals.push_back({5 + slot * 200.0 + 40, MarkedFrame(100 + k)});
        }
    }
    std::stable_sort(arrivals.begin(), arrivals.end(),
                     [](const Arrival& a, const Arrival& b) { return a.ms < b.ms; });
    Outcome run = Simulate(arrivals, 300 * 200 + 1000, true, 5000);
    // Every sample played is a frame's (or a fade of one, or silence): nothing else is made up.
    std::size_t real = 0;
    for (int16_t s : run.out) {
        EXPECT_TRUE(s >= 0 && s < 400);
        real += s >= 100 ? 1 : 0;
    }
    // Playing never stalls: the device was fed all along, nearly all of it with frames.
    EXPECT_GE(run.out.size(), 300u * kFrame);
    EXPECT_GT(real, 300u * kFrame * 95 / 100);
    // A duplicate or a frame 200 ms early adds a frame for a moment; that extra does not stay.
    EXPECT_LE(run.maxDepthAfter, 3 * kFrame + 800);
    EXPECT_EQ(run.completed + run.dropped, static_cast<int>(arrivals.size()));
}

TEST(PlayoutBuffer, NeverHoldsMoreThanEightFrames) {
    std::vector<Arrival> arrivals;
    for (int k = 0; k < 100; ++k) {
        arrivals.push_back({1, MarkedFrame(k + 1)});
    }
    Outcome run = Simulate(arrivals, 3000, true);
    EXPECT_LE(run.maxDepth, 8 * kFrame);
    EXPECT_EQ(run.dropped, 92);
    EXPECT_EQ(run.completed, 8);
    EXPECT_EQ(run.out[0], 93);
}

}  // namespace
}  // namespace zorvo::audio::test
