// The sound-card backend on a machine without a sound card: the library starts, opening the
// default devices fails with one clear error, and ALSA and JACK print nothing.

#include <gtest/gtest.h>

#include "engine/audio/Player.h"
#include "engine/audio/Recorder.h"
#include "engine/audio/SoundCard.h"
#include "engine/audio/tests/AudioTestSupport.h"

namespace zorvo::audio::test {
namespace {

TEST(SoundCard, WithoutACardStartFailsCleanlyAndQuietly) {
    StderrCapture stderrCapture;
    std::string error;
    int devices = SoundCardDeviceCount(&error);

    Recorder recorder(1600, 8000, 1, 16);
    recorder.SetEndpoint("");
    int recorderStarted = recorder.Start(GetCurrentThreadId());
    std::string recorderError = recorder.LastError();
    recorder.Stop();

    Player player(1600, 8000, 1, 16);
    player.SetEndpoint("default");
    int playerStarted = player.Start(GetCurrentThreadId());
    std::string playerError = player.LastError();
    uint32_t playerOpen = player.IsOpen();
    player.Stop();

    std::string noise = stderrCapture.Finish();
    DrainMessages();

    ASSERT_GE(devices, 0) << error;
    EXPECT_EQ(noise, "");
    if (devices > 0 && (recorderStarted != 0 || playerStarted != 0)) {
        GTEST_SKIP() << "this machine has a sound card";
    }
    EXPECT_EQ(recorderStarted, 0);
    EXPECT_EQ(recorderError.rfind("sound card: ", 0), 0u) << recorderError;
    EXPECT_EQ(playerStarted, 0);
    EXPECT_EQ(playerOpen, 0u);
    EXPECT_EQ(playerError.rfind("sound card: ", 0), 0u) << playerError;
}

}  // namespace
}  // namespace zorvo::audio::test
