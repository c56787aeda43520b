#include <gtest/gtest.h>

#include "SettingsTestSupport.h"
#include "app/settings/DeviceChoice.h"
#include "app/settings/ProgramSettings.h"
#include "testsupport/AlsaConfig.h"

namespace {

// The sound card's device list comes from this process's own ALSA configuration, not the host's.
const bool kPrivateAlsa = testsupport::UsePrivateAlsaConfig(testsupport::kAlsaFirstCardOnly);

TEST(DeviceChoice, NoChoiceOrTheSystemDefaultGivesTheDefaultDeviceQuietly) {
    for (const QString& saved : {QString(), QStringLiteral("System default")}) {
        const auto resolved = devices::Resolve(saved, {"Built-in Mic"}, "microphone");
        EXPECT_EQ(resolved.endpoint, "");
        EXPECT_TRUE(resolved.status.isEmpty());
    }
}

TEST(DeviceChoice, APresentDeviceIsUsedByName) {
    const auto resolved = devices::Resolve("USB Headset", {"Built-in", "USB Headset"}, "speaker");
    EXPECT_EQ(resolved.endpoint, "USB Headset");
    EXPECT_TRUE(resolved.status.isEmpty());
}

TEST(DeviceChoice, AVanishedDeviceFallsBackToTheDefaultWithAStatusText) {
    const auto resolved = devices::Resolve("USB Headset", {"Built-in"}, "speaker");
    EXPECT_EQ(resolved.endpoint, "");
    EXPECT_EQ(resolved.status,
              "The speaker \"USB Headset\" is not available; using the system default.");
}

TEST(DeviceChoice, TheEnvironmentWinsOverTheSavedChoice) {
    PrivateConfig config;
    ProgramSettings::WriteText(settings::kMicrophone, "Gone Mic");
    qputenv("ZORVO_MIC", "/tmp/speech.wav");
    const auto resolved = devices::Microphone();
    qunsetenv("ZORVO_MIC");
    EXPECT_EQ(resolved.endpoint, "/tmp/speech.wav");
    EXPECT_TRUE(resolved.status.isEmpty());
}

TEST(DeviceChoice, ASavedSpeakerThatTheCardDoesNotListFallsBackToTheDefault) {
    ASSERT_TRUE(kPrivateAlsa);
    PrivateConfig config;
    qunsetenv("ZORVO_SPEAKER");
    ProgramSettings::WriteText(settings::kSpeaker, "No Such Speaker 7f3a");
    const auto resolved = devices::Speaker();
    EXPECT_EQ(resolved.endpoint, "");
    EXPECT_TRUE(resolved.status.contains("No Such Speaker 7f3a"));
}

}  // namespace
