#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>

#include "SoundTestSupport.h"
#include "testsupport/PulseServer.h"

namespace {

using sound_test::Output;

// RMS amplitudes of what the far end hears: speech through the sound server measures about 0.1
// here, a call without speech below 0.01 (the codec's and the sound path's own noise).
constexpr double kSpeech = 0.04;
constexpr double kNoSpeech = 0.02;

// A call between two zorvo-call processes on loopback: the near end on the sound card's default
// devices (PortAudio through ALSA to the private server), the far end on WAV files. The null
// sink's monitor is the default source, so what is played into the sink is what the near end's
// microphone captures.
class SoundPath : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(m_server.Start(&error)) << error;
        m_work = m_server.HomeDir() + "/call";
        std::filesystem::create_directories(m_work);
        // Some seconds of speech, said three times over, and a second of silence.
        ASSERT_EQ(std::system(("espeak-ng -w '" + m_work + "/voice.wav' 'Hello, this is the " +
                               "sound card path of a voice call, one two three four five.'")
                                  .c_str()),
                  0);
        ASSERT_EQ(std::system(("cd '" + m_work +
                               "' && sox voice.wav voice.wav voice.wav -r 8000 -c 1 "
                               "-b 16 speech.wav && sox -n -r 8000 -c 1 -b 16 quiet.wav trim 0 1")
                                  .c_str()),
                  0);
    }

    // Holds one call: the near end listens on the default devices, the far end calls it with
    // `farMicrophone` and writes what it hears; `background` runs meanwhile (may be empty).
    // Returns the RMS amplitude (0..1) of what the far end heard; -1 when the call failed.
    double FarEndHears(const std::string& farMicrophone, const std::string& background) {
        const std::string port = std::to_string(20000 + std::random_device()() % 30000);
        const std::string call = ZORVO_CALL_BIN;
        const std::string script =
            "cd '" + m_work + "' || exit 1; rm -f heard.wav; " +
            (background.empty() ? std::string() : background + " & ") + "'" + call +
            "' listen --port " + port + " --timeout 20 >near.out 2>near.err & sleep 0.5; '" + call +
            "' call 127.0.0.1 --port " + port + " --mic " + farMicrophone +
            " --speaker heard.wav --hangup-after 6 >far.out 2>far.err; far=$?; wait; "
            "exit $far";
        if (std::system(script.c_str()) != 0) {
            ADD_FAILURE() << Output("cat '" + m_work + "/far.out' '" + m_work + "/far.err' '" +
                                    m_work + "/near.out' '" + m_work + "/near.err'");
            return -1;
        }
        const std::string stat = Output("sox '" + m_work + "/heard.wav' -n stat");
        const auto at = stat.find("RMS     amplitude:");
        return at == std::string::npos ? -1 : std::atof(stat.c_str() + at + 18);
    }

    testsupport::PulseServer m_server;
    std::string m_work;
};

TEST_F(SoundPath, SpeechPlayedIntoTheSinkReachesTheFarEndThroughTheDefaultMicrophone) {
    const double rms = FarEndHears("quiet.wav", "paplay --device=zorvo_sink speech.wav");
    EXPECT_GT(rms, kSpeech);
}

TEST_F(SoundPath, TheNearEndPlaysTheFarEndsSpeechIntoTheSink) {
    // Nothing else plays: the far end can only hear its own speech back when the near end's
    // playback reached the sink (and from there its microphone).
    const double rms = FarEndHears("speech.wav", "");
    EXPECT_GT(rms, kSpeech);
}

TEST_F(SoundPath, AQuietCallCarriesNoSpeech) {
    const double rms = FarEndHears("quiet.wav", "");
    EXPECT_GE(rms, 0.0);
    EXPECT_LT(rms, kNoSpeech);
}

}  // namespace
