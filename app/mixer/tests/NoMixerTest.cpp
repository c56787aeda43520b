#include <gtest/gtest.h>

#include <QElapsedTimer>
#include <QSlider>

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>

#include "app/mixer/ServerStreamVolume.h"
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

// A sound server that takes the connection and never answers.
class SilentServer {
  public:
    SilentServer() {
        char folder[] = "/tmp/zorvo-silent-XXXXXX";
        if (mkdtemp(folder) == nullptr) {
            return;
        }
        m_folder = folder;
        sockaddr_un address{};
        address.sun_family = AF_UNIX;
        std::snprintf(address.sun_path, sizeof address.sun_path, "%s/native", folder);
        m_socket = socket(AF_UNIX, SOCK_STREAM, 0);
        if (bind(m_socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) {
            listen(m_socket, 8);
            m_address = std::string("unix:") + address.sun_path;
        }
    }
    ~SilentServer() {
        close(m_socket);
        std::filesystem::remove_all(m_folder);
    }
    const std::string& Address() const { return m_address; }

  private:
    std::string m_folder;
    std::string m_address;
    int m_socket = -1;
};

TEST(NoMixer, ASoundServerThatNeverAnswersDelaysTheWindowOnlyBrieflyAndLeavesThePlainCard) {
    ASSERT_TRUE(kNoCard);
    SilentServer server;
    ASSERT_FALSE(server.Address().empty());
    qputenv("PULSE_SERVER", server.Address().c_str());
    QSlider master, speaker, mic;
    QElapsedTimer clock;
    clock.start();
    {
        VolumeSliders sliders({&master, &speaker, &mic});
        sliders.InitMixerControls();
        EXPECT_FALSE(speaker.isEnabled());
        EXPECT_FALSE(sliders.Speaker()->IsUsable());
    }
    EXPECT_LT(clock.elapsed(), 2 * ServerStreamVolume::kConnectLimitMs);
    qunsetenv("PULSE_SERVER");
}

TEST(NoMixer, AutomaticSettingsReportThatTheMixerCannotBeReached) {
    ASSERT_TRUE(kNoCard);
    StderrCapture capture;
    EXPECT_EQ(ApplyAutoMixerSettings(), 0);
    EXPECT_EQ(capture.Text(), "");
}

}  // namespace
