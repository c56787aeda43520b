#include <gtest/gtest.h>

#include <QSlider>

#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/mixer/VolumeSliders.h"
#include "testsupport/AlsaConfig.h"

namespace {

// "default" names a card that no machine has, so no mixer can be opened, whatever the host has.
const bool kNoCard = testsupport::UsePrivateAlsaConfig(
    "pcm.!default { type hw card 31 }\n"
    "ctl.!default { type hw card 31 }\n");

// Collects what is written to stderr while it lives.
class StderrCapture {
  public:
    StderrCapture() {
        std::fflush(stderr);
        m_file = std::tmpfile();
        m_saved = dup(2);
        dup2(fileno(m_file), 2);
    }
    std::string Text() {
        std::fflush(stderr);
        dup2(m_saved, 2);
        close(m_saved);
        std::string text;
        std::rewind(m_file);
        for (int c = std::fgetc(m_file); c != EOF; c = std::fgetc(m_file)) {
            text += static_cast<char>(c);
        }
        std::fclose(m_file);
        return text;
    }

  private:
    std::FILE* m_file = nullptr;
    int m_saved = -1;
};

TEST(NoMixer, SlidersAreDisabledAndNothingIsPrinted) {
    ASSERT_TRUE(kNoCard);
    QSlider master, speaker, mic;
    StderrCapture capture;
    {
        VolumeSliders sliders({&master, &speaker, &mic});
        sliders.InitMixerControls();
        EXPECT_FALSE(master.isEnabled());
        EXPECT_FALSE(speaker.isEnabled());
        EXPECT_FALSE(mic.isEnabled());
        EXPECT_EQ(master.maximum(), 255);
        EXPECT_EQ(mic.maximum(), 255);
        EXPECT_FALSE(sliders.Master()->IsUsable());
        EXPECT_EQ(sliders.Master()->GetLevel(), -1);
        EXPECT_EQ(sliders.Master()->GetMaximum(), -1);
        EXPECT_EQ(sliders.Master()->GetStepCount(), -1);
        EXPECT_EQ(sliders.Mic(), nullptr);
        // A level that cannot be read places the slider at the top and reads as 255.
        EXPECT_EQ(master.value(), 255);
        EXPECT_EQ(sliders.GetMicLevel() & 255, 255u);
        // The check when a call connects does nothing without a microphone.
        mic.setValue(7);
        sliders.RaiseQuietMicrophone();
        EXPECT_EQ(mic.value(), 7);
        sliders.Master()->SetLevel(1000);
    }
    EXPECT_EQ(capture.Text(), "");
}

TEST(NoMixer, AutomaticSettingsReportThatTheMixerCannotBeReached) {
    ASSERT_TRUE(kNoCard);
    StderrCapture capture;
    EXPECT_EQ(ApplyAutoMixerSettings(), 0);
    EXPECT_EQ(capture.Text(), "");
}

}  // namespace
