#include <gtest/gtest.h>

#include <signal.h>
#include <sys/stat.h>

#include <algorithm>
#include <cstdlib>
#include <string>

#include "SoundTestSupport.h"
#include "engine/audio/SoundCard.h"
#include "testsupport/PulseServer.h"

namespace {

using sound_test::Output;

// The process has ended (a zombie that waits for its parent counts as ended).
bool Ended(pid_t pid) {
    const std::string stat = Output("cat /proc/" + std::to_string(pid) + "/stat");
    const auto close = stat.rfind(')');
    return kill(pid, 0) != 0 || close == std::string::npos || stat.compare(close + 2, 1, "Z") == 0;
}

bool Exists(const std::string& path) {
    struct stat info {};
    return stat(path.c_str(), &info) == 0;
}

TEST(PulseServer, OffersMasterAndCaptureAndTheSinkMonitorIsTheDefaultSource) {
    testsupport::PulseServer server;
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    EXPECT_EQ(std::getenv("HOME"), server.HomeDir());
    EXPECT_EQ(std::getenv("XDG_RUNTIME_DIR"), server.RuntimeDir());
    const std::string controls = Output("amixer scontrols");
    EXPECT_NE(controls.find("'Master'"), std::string::npos) << controls;
    EXPECT_NE(controls.find("'Capture'"), std::string::npos) << controls;
    const std::string info = Output("pactl info");
    EXPECT_NE(info.find("Default Sink: zorvo_sink\n"), std::string::npos) << info;
    EXPECT_NE(info.find("Default Source: zorvo_sink.monitor\n"), std::string::npos) << info;
}

TEST(PulseServer, StopLeavesNothingRunningAndRestoresTheEnvironment) {
    const std::string home = std::getenv("HOME") ? std::getenv("HOME") : "";
    testsupport::PulseServer server;
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    const pid_t pid = server.Pid();
    const std::string runtime = server.RuntimeDir();
    ASSERT_GT(pid, 0);
    EXPECT_EQ(kill(pid, 0), 0);
    server.Stop();
    EXPECT_FALSE(server.Running());
    EXPECT_TRUE(Ended(pid));
    EXPECT_FALSE(Exists(runtime));
    EXPECT_EQ(std::getenv("HOME") ? std::getenv("HOME") : "", home);
}

}  // namespace

namespace {

TEST(SoundCardDevices, TheSoundServerIsListedForCaptureAndForPlayback) {
    testsupport::PulseServer server;
    std::string error;
    ASSERT_TRUE(server.Start(&error)) << error;
    for (bool input : {true, false}) {
        const auto names = zorvo::audio::SoundCardDeviceNames(input, &error);
        EXPECT_NE(std::find(names.begin(), names.end(), "pulse"), names.end())
            << (input ? "capture" : "playback") << ": " << error;
        EXPECT_NE(std::find(names.begin(), names.end(), "default"), names.end());
    }
}

}  // namespace
