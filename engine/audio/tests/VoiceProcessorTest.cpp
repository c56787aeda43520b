// The microphone clean-up: the echo of what the speaker played is taken out of the captured
// signal while the near speaker's voice stays; the reference is found by time.

#include "engine/audio/VoiceProcessor.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>

#include "engine/audio/tests/AudioTestSupport.h"

namespace zorvo::audio::test {
namespace {

// Speech from espeak-ng at 8 kHz, `seconds` long (repeated or cut to fit).
std::vector<int16_t> Speech(const ScratchDir& dir, const std::string& name,
                            const std::string& voice, const std::string& text, double seconds) {
    const std::string raw = dir.Path(name + "-raw.wav"), wav = dir.Path(name + ".wav");
    EXPECT_EQ(std::system(("espeak-ng -v " + voice + " -w '" + raw + "' '" + text +
                           "' 2>/dev/null && sox '" + raw + "' -r 8000 -c 1 -b 16 '" + wav +
                           "' 2>/dev/null")
                              .c_str()),
              0);
    SoundFileContents file = ReadSoundFile(wav);
    EXPECT_TRUE(file.ok) << file.error;
    std::vector<int16_t> out(static_cast<std::size_t>(seconds * 8000));
    for (std::size_t i = 0; i < out.size() && !file.samples.empty(); ++i) {
        out[i] = file.samples[i % file.samples.size()];
    }
    return out;
}

double Energy(const std::vector<int16_t>& s, double fromSec, double toSec) {
    double sum = 0;
    for (std::size_t i = static_cast<std::size_t>(fromSec * 8000);
         i < static_cast<std::size_t>(toSec * 8000) && i < s.size(); ++i) {
        sum += static_cast<double>(s[i]) * s[i];
    }
    return sum;
}

double Db(double ratio) {
    return 10 * std::log10(ratio);
}

class VoiceProcessorTest : public ::testing::Test {
  protected:
    void SetUp() override {
        // The far end talks for 8 s, is silent for 3 s while the near end talks, and talks again
        // for 4 s. The microphone hears the far end through the room (two reflections, 30 and
        // 55 ms late, at half and a fifth of the level) and the near end directly.
        far = Speech(dir, "far", "en",
                     "The quick brown fox jumps over the lazy dog, and then it runs away "
                     "into the forest where nobody can see it any more.",
                     15);
        const std::vector<int16_t> nearVoice =
            Speech(dir, "near", "en+f3", "Hello, can you hear me well? I am talking now.", 3);
        for (std::size_t i = 8 * 8000; i < 11 * 8000; ++i) {
            far[i] = 0;
        }
        echoOnly.assign(far.size(), 0);
        nearOnly.assign(far.size(), 0);
        for (std::size_t i = 0; i < far.size(); ++i) {
            double echo = 0;
            if (i >= 240) {
                echo += 0.5 * far[i - 240];
            }
            if (i >= 440) {
                echo += 0.2 * far[i - 440];
            }
            echoOnly[i] = static_cast<int16_t>(echo);
            if (i >= 8 * 8000 && i < 11 * 8000) {
                nearOnly[i] = nearVoice[i - 8 * 8000];
            }
        }
    }

    std::vector<int16_t> Mixed() const {
        std::vector<int16_t> mic(far.size());
        for (std::size_t i = 0; i < far.size(); ++i) {
            mic[i] = static_cast<int16_t>(echoOnly[i] + nearOnly[i]);
        }
        return mic;
    }

    ScratchDir dir;
    std::vector<int16_t> far, echoOnly, nearOnly;
};

TEST_F(VoiceProcessorTest, TheEchoOfThePlayedSpeechDropsBy20DecibelsAndTheNearVoiceRemains) {
    std::vector<int16_t> mic = Mixed();
    VoiceProcessor processor(8000, VoiceProcessing{});
    for (std::size_t at = 0; at + 1600 <= mic.size(); at += 1600) {
        processor.Process(mic.data() + at, far.data() + at, 1600);
    }
    // Once the canceller has adapted (the first 4 s), the echo is at least 20 dB down.
    const double before = Energy(echoOnly, 4, 8) + Energy(echoOnly, 11.5, 15);
    const double after = Energy(mic, 4, 8) + Energy(mic, 11.5, 15);
    EXPECT_GE(Db(before / after), 20.0);
    // The near voice comes through at much its own level (within 6 dB).
    const double nearDrop = Db(Energy(nearOnly, 8.2, 11) / Energy(mic, 8.2, 11));
    EXPECT_LT(nearDrop, 6.0);
    EXPECT_GT(nearDrop, -12.0);
}

TEST_F(VoiceProcessorTest, WithoutTheReferenceTheEchoIsNotTakenOut) {
    std::vector<int16_t> mic = Mixed();
    VoiceProcessor processor(8000, VoiceProcessing{true, false, false});
    for (std::size_t at = 0; at + 1600 <= mic.size(); at += 1600) {
        processor.Process(mic.data() + at, nullptr, 1600);
    }
    EXPECT_LT(Db((Energy(echoOnly, 4, 8)) / Energy(mic, 4, 8)), 3.0);
}

TEST_F(VoiceProcessorTest, TheReferenceIsFoundByTheTimeItWasHeard) {
    // The speaker's samples are recorded with the time they are heard; the microphone's buffers
    // are processed with the time they were captured, in 200 ms buffers, as on a sound card.
    using Clock = PlayedSignal::Clock;
    const Clock::time_point start = Clock::now();
    auto at = [&](std::size_t sample) {
        return start + std::chrono::duration_cast<Clock::duration>(
                           std::chrono::duration<double>(sample / 8000.0));
    };
    PlayedSignal played(8000);
    std::vector<int16_t> mic = Mixed();
    VoiceProcessor processor(8000, VoiceProcessing{});
    std::size_t added = 0;
    for (std::size_t pos = 0; pos + 1600 <= mic.size(); pos += 1600) {
        // The player hands the device 10 ms at a time and runs ahead of the microphone.
        for (; added + 80 <= far.size() && added < pos + 2400; added += 80) {
            played.Add(far.data() + added, 80, at(added));
        }
        processor.Process(mic.data() + pos, 1600, played, at(pos));
    }
    const double before = Energy(echoOnly, 4, 8) + Energy(echoOnly, 11.5, 15);
    const double after = Energy(mic, 4, 8) + Energy(mic, 11.5, 15);
    EXPECT_GE(Db(before / after), 20.0);

    std::vector<int16_t> back(80);
    const std::size_t recent = far.size() - 8000;  // the last two seconds are kept
    played.Get(back.data(), 80, at(recent));
    EXPECT_EQ(back, std::vector<int16_t>(far.begin() + recent, far.begin() + recent + 80));
    played.Get(back.data(), 80, start - std::chrono::seconds(10));
    EXPECT_EQ(back, std::vector<int16_t>(80, 0));
}

}  // namespace
}  // namespace zorvo::audio::test
