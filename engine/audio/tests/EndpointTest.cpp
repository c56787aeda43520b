// Endpoint selection and the WAV file backend, used directly through the endpoint functions.

#include <gtest/gtest.h>

#include <atomic>
#include <filesystem>
#include <functional>
#include <thread>

#include "engine/audio/AudioBackend.h"
#include "engine/audio/AudioEndpoint.h"
#include "engine/audio/tests/AudioTestSupport.h"

namespace zorvo::audio::test {
namespace {

using namespace std::chrono_literals;

AudioFormat Format(uint32_t bufferSamples) {
    AudioFormat format;
    format.bufferSamples = bufferSamples;
    return format;
}

TEST(EndpointSelection, EndpointTextChoosesTheBackend) {
    struct Row {
        const char* endpoint;
        const char* backend;
    };
    const Row rows[] = {
        {"", "portaudio"},    {"default", "portaudio"},
        {"none", "null"},     {"mic.wav", "wav"},
        {"/tmp/none", "wav"}, {"./default", "wav"},
        {"none.wav", "wav"},  {"scripted:fail-after=1", "scripted"},
    };
    for (const Row& row : rows) {
        EXPECT_EQ(BackendFor(row.endpoint), row.backend) << "endpoint \"" << row.endpoint << "\"";
    }
}

std::atomic<int> g_listingAsked{0};

// A backend that would have to list devices to judge a text, and counts how often it is asked.
Claim ClaimsByCountedListing(const std::string& endpoint) {
    ++g_listingAsked;
    return endpoint == "listed-device" ? Claim::kExact : Claim::kNone;
}

Claim ClaimsNamedDevice(const std::string& endpoint) {
    return endpoint == "named-device" ? Claim::kExact : Claim::kNone;
}

const AudioBackendRegistration kListing{
    {"listing", &ClaimsByCountedListing, nullptr, nullptr, true}};
const AudioBackendRegistration kNamed{{"named", &ClaimsNamedDevice, nullptr, nullptr}};

TEST(EndpointSelection, ABackendThatListsDevicesIsAskedOnlyWhenNobodyNamesTheTextExactly) {
    g_listingAsked = 0;
    EXPECT_EQ(BackendFor("named-device"), "named");
    EXPECT_EQ(BackendFor("none"), "null");
    EXPECT_EQ(g_listingAsked, 0);
    EXPECT_EQ(BackendFor("listed-device"), "listing");
    EXPECT_GE(g_listingAsked, 1);
}

TEST(EndpointSelection, NoneFailsLikeAMissingDevice) {
    std::string error;
    EXPECT_EQ(OpenCaptureEndpoint("none", Format(1600), &error), nullptr);
    EXPECT_EQ(error, "no audio device");
    error.clear();
    EXPECT_EQ(OpenPlaybackEndpoint("none", Format(1600), &error), nullptr);
    EXPECT_EQ(error, "no audio device");
}

TEST(EndpointSelection, UnsupportedFormatsAreRefusedBeforeAnyBackend) {
    struct Row {
        AudioFormat format;
        const char* expected;
    };
    const Row rows[] = {
        {{1600, 8000, 1, 8}, "8-bit samples"},
        {{1600, 8000, 0, 16}, "0 channels"},
        {{1600, 0, 1, 16}, "0 Hz"},
        {{0, 8000, 1, 16}, "buffers of 0 samples"},
        {{0xFFFFFFFFu, 8000, 1, 16}, "buffers of 4294967295 samples"},
    };
    ScratchDir dir;
    std::string path = dir.Path("never.wav");
    for (const Row& row : rows) {
        std::string error;
        EXPECT_EQ(OpenPlaybackEndpoint(path, row.format, &error), nullptr);
        EXPECT_NE(error.find(row.expected), std::string::npos) << error;
        EXPECT_NE(error.find("unsupported audio format"), std::string::npos) << error;
        EXPECT_EQ(BufferBytes(row.format), 0u);
    }
    EXPECT_FALSE(std::filesystem::exists(path));
}

// --- WAV capture ---------------------------------------------------------------------------

TEST(WavCapture, RefusesAnythingButAn8kHzMono16BitWav) {
    ScratchDir dir;
    const std::vector<int16_t> second = Ramp(8000);
    struct Row {
        const char* name;
        std::function<void(const std::string&)> make;
        std::string expected;  // after "<path>: "
    };
    const Row rows[] = {
        {"cd.wav", [&](auto& p) { WriteSoundFile(p, Ramp(88200), 44100, 2); },
         "44100 Hz stereo; need 8000 Hz mono"},
        {"wide.wav", [&](auto& p) { WriteSoundFile(p, second, 16000, 1); },
         "16000 Hz mono; need 8000 Hz mono"},
        {"stereo.wav", [&](auto& p) { WriteSoundFile(p, second, 8000, 2); },
         "8000 Hz stereo; need 8000 Hz mono"},
        {"surround.wav", [&](auto& p) { WriteSoundFile(p, Ramp(6000), 8000, 6); },
         "8000 Hz 6 channels; need 8000 Hz mono"},
        {"bytes.wav",
         [&](auto& p) { WriteSoundFile(p, second, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_PCM_U8); },
         "8000 Hz mono 8-bit PCM; need 8000 Hz mono 16-bit PCM"},
        {"float.wav",
         [&](auto& p) { WriteSoundFile(p, second, 8000, 1, SF_FORMAT_WAV | SF_FORMAT_FLOAT); },
         "8000 Hz mono 32-bit float; need 8000 Hz mono 16-bit PCM"},
        {"phone.wav",
         [&](auto& p) { WriteSoundFile(p, second, 44100, 1, SF_FORMAT_WAV | SF_FORMAT_ULAW); },
         "44100 Hz mono u-law; need 8000 Hz mono 16-bit PCM"},
        {"apple.aiff",
         [&](auto& p) { WriteSoundFile(p, second, 8000, 1, SF_FORMAT_AIFF | SF_FORMAT_PCM_16); },
         "not a WAV file (AIFF"},
        {"missing.wav", [](auto&) {}, "cannot open: No such file or directory"},
        {"notes.txt", [](auto& p) { WriteTextFile(p, "just some text, no sound\n"); },
         "not a readable WAV file ("},
        {"empty.wav", [](auto& p) { WriteTextFile(p, ""); }, "not a readable WAV file ("},
        {"cut.wav",
         [&](auto& p) {
             WriteSoundFile(p, second, 8000, 1);
             std::filesystem::resize_file(p, 30);  // in the middle of the format chunk
         },
         "not a readable WAV file ("},
        {"folder.wav", [](auto& p) { std::filesystem::create_directory(p); },
         "is a directory, not a WAV file"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::string path = dir.Path(row.name);
        row.make(path);
        std::string error;
        EXPECT_EQ(OpenCaptureEndpoint(path, Format(1600), &error), nullptr);
        EXPECT_EQ(error.rfind(path + ": " + row.expected, 0), 0u) << error;
    }
}

TEST(WavCapture, AFileWithAHeaderPromisingTooMuchPlaysWhatIsThereThenSilence) {
    ScratchDir dir;
    std::string path = dir.Path("short.wav");
    WriteSoundFile(path, Ramp(1000), 8000, 1);
    std::filesystem::resize_file(path,
                                 std::filesystem::file_size(path) - 400);  // 200 samples short
    std::string error;
    auto stream = OpenCaptureEndpoint(path, Format(400), &error);
    ASSERT_NE(stream, nullptr) << error;
    std::vector<int16_t> got(1200, -1);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(stream->Read(got.data() + i * 400, 400));
    }
    std::vector<int16_t> expected = Ramp(800);
    expected.resize(1200, 0);
    EXPECT_EQ(got, expected);
}

TEST(WavCapture, KeepsUpWithALateReaderButLosesSamplesWhenItFallsFarBehind) {
    ScratchDir dir;
    std::string path = dir.Path("mic.wav");
    WriteSoundFile(path, Ramp(16000), 8000, 1);
    std::string error;
    auto stream = OpenCaptureEndpoint(path, Format(800), &error);
    ASSERT_NE(stream, nullptr) << error;
    std::vector<int16_t> buffer(800);

    ASSERT_TRUE(stream->Read(buffer.data(), buffer.size()));
    EXPECT_EQ(buffer, Ramp(800, 1));

    // One buffer late: the samples are still held, nothing is lost.
    std::this_thread::sleep_for(100ms);
    ASSERT_TRUE(stream->Read(buffer.data(), buffer.size()));
    EXPECT_EQ(buffer, Ramp(800, 801));

    // Half a second late: an overrun; the next read holds the latest samples, in one piece.
    std::this_thread::sleep_for(500ms);
    ASSERT_TRUE(stream->Read(buffer.data(), buffer.size()));
    EXPECT_GT(buffer[0], 1600 + 800);
    EXPECT_EQ(buffer, Ramp(800, buffer[0]));
}

// --- WAV playback --------------------------------------------------------------------------

TEST(WavPlayback, TheFileIsAValidWavWhileItIsBeingWrittenAndAfterClosing) {
    ScratchDir dir;
    std::string path = dir.Path("out.wav");
    std::string error;
    auto stream = OpenPlaybackEndpoint(path, Format(800), &error);
    ASSERT_NE(stream, nullptr) << error;
    std::vector<int16_t> written = Ramp(2400, 5);
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(stream->Write(written.data() + i * 800, 800));
    }

    SoundFileContents live = ReadSoundFile(path);  // as if the program had died here
    ASSERT_TRUE(live.ok) << live.error;
    EXPECT_EQ(live.info.samplerate, 8000);
    EXPECT_EQ(live.info.channels, 1);
    EXPECT_EQ(live.info.format, SF_FORMAT_WAV | SF_FORMAT_PCM_16);
    EXPECT_EQ(live.samples, written);

    ASSERT_TRUE(stream->Write(written.data(), 800));
    stream.reset();
    written.insert(written.end(), written.begin(), written.begin() + 800);
    SoundFileContents closed = ReadSoundFile(path);
    ASSERT_TRUE(closed.ok) << closed.error;
    EXPECT_EQ(closed.samples, written);
}

TEST(WavPlayback, WritesTakeRealTimeAndRestartTheScheduleAfterAGap) {
    ScratchDir dir;
    std::string error;
    auto stream = OpenPlaybackEndpoint(dir.Path("out.wav"), Format(800), &error);
    ASSERT_NE(stream, nullptr) << error;
    std::vector<int16_t> frame = Ramp(800);

    Clock::time_point start = Clock::now();
    for (int i = 0; i < 10; ++i) {  // one second of sound
        ASSERT_TRUE(stream->Write(frame.data(), frame.size()));
    }
    double seconds = SecondsSince(start);
    EXPECT_GE(seconds, 0.8);
    EXPECT_LE(seconds, 3.0);

    // After a pause the device has run dry: the next frames play at real time again instead of
    // being rushed through to catch up with the old schedule.
    std::this_thread::sleep_for(400ms);
    start = Clock::now();
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(stream->Write(frame.data(), frame.size()));
    }
    EXPECT_GE(SecondsSince(start), 0.25);
}

TEST(WavPlayback, ACreateFailureNamesTheFileAndTheReason) {
    ScratchDir dir;
    std::string path = dir.Path("no-such-folder/out.wav");
    std::string error;
    EXPECT_EQ(OpenPlaybackEndpoint(path, Format(1600), &error), nullptr);
    EXPECT_EQ(error, path + ": cannot create: No such file or directory");
}

}  // namespace
}  // namespace zorvo::audio::test
