#include "engine/audio/tests/AudioTestSupport.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

#include "engine/audio/AudioBackend.h"
#include "testsupport/AlsaConfig.h"

namespace zorvo::audio::test {

ScratchDir::ScratchDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "zorvo-audio-XXXXXX").string();
    std::vector<char> buffer(pattern.begin(), pattern.end());
    buffer.push_back('\0');
    if (::mkdtemp(buffer.data()) == nullptr) {
        ADD_FAILURE() << "cannot create a scratch folder";
        return;
    }
    m_path = buffer.data();
}

ScratchDir::~ScratchDir() {
    if (!m_path.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_path, ignored);
    }
}

void WriteSoundFile(const std::string& path, const std::vector<int16_t>& samples, int rate,
                    int channels, int format) {
    SF_INFO info{};
    info.samplerate = rate;
    info.channels = channels;
    info.format = format;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    ASSERT_NE(file, nullptr) << path << ": " << sf_strerror(nullptr);
    sf_count_t frames = static_cast<sf_count_t>(samples.size()) / channels;
    EXPECT_EQ(sf_writef_short(file, samples.data(), frames), frames);
    sf_close(file);
}

void WriteTextFile(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
    ASSERT_TRUE(out.good()) << path;
}

SoundFileContents ReadSoundFile(const std::string& path) {
    SoundFileContents contents;
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &contents.info);
    if (file == nullptr) {
        contents.error = sf_strerror(nullptr);
        return contents;
    }
    contents.samples.resize(static_cast<std::size_t>(contents.info.frames) *
                            static_cast<std::size_t>(contents.info.channels));
    sf_count_t got = sf_readf_short(file, contents.samples.data(), contents.info.frames);
    contents.samples.resize(static_cast<std::size_t>(got) *
                            static_cast<std::size_t>(contents.info.channels));
    sf_close(file);
    contents.ok = true;
    return contents;
}

std::vector<int16_t> Ramp(std::size_t count, int first) {
    std::vector<int16_t> samples(count);
    for (std::size_t i = 0; i < count; ++i) {
        samples[i] = static_cast<int16_t>((first - 1 + static_cast<int>(i % 32000)) % 32000 + 1);
    }
    return samples;
}

int DrainMessages() {
    int count = 0;
    ThreadMsg msg;
    while (PeekMessage(msg, true) != 0) {
        DisposeMessage(msg);
        ++count;
    }
    return count;
}

int CountMessages(uint32_t message, int expected, std::chrono::milliseconds timeout) {
    int count = 0;
    Clock::time_point end = Clock::now() + timeout;
    while (count < expected) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left.count() <= 0) {
            break;
        }
        ThreadMsg msg;
        if (GetMessageTimeout(msg, static_cast<uint32_t>(left.count())) == 0) {
            break;
        }
        if (msg.message == message) {
            ++count;
        }
        DisposeMessage(msg);
    }
    return count;
}

namespace {

constexpr const char* kScriptedPrefix = "scripted:fail-after=";

int FailAfter(const std::string& endpoint) {
    return std::atoi(endpoint.c_str() + std::char_traits<char>::length(kScriptedPrefix));
}

class ScriptedCapture : public CaptureStream {
  public:
    explicit ScriptedCapture(int failAfter) : m_failAfter(failAfter) {}
    bool Read(int16_t* samples, std::size_t count) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        if (++m_calls > m_failAfter) {
            return false;
        }
        std::fill(samples, samples + count, static_cast<int16_t>(m_calls));
        return true;
    }

  private:
    int m_failAfter;
    int m_calls = 0;
};

class ScriptedPlayback : public PlaybackStream {
  public:
    explicit ScriptedPlayback(int failAfter) : m_failAfter(failAfter) {}
    bool Write(const int16_t*, std::size_t) override {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
        return ++m_calls <= m_failAfter;
    }

  private:
    int m_failAfter;
    int m_calls = 0;
};

Claim ClaimsScripted(const std::string& endpoint) {
    return endpoint.rfind(kScriptedPrefix, 0) == 0 ? Claim::kExact : Claim::kNone;
}

std::unique_ptr<CaptureStream> OpenScriptedCapture(const std::string& endpoint, const AudioFormat&,
                                                   std::string*) {
    return std::make_unique<ScriptedCapture>(FailAfter(endpoint));
}

std::unique_ptr<PlaybackStream> OpenScriptedPlayback(const std::string& endpoint,
                                                     const AudioFormat&, std::string*) {
    return std::make_unique<ScriptedPlayback>(FailAfter(endpoint));
}

const AudioBackendRegistration kScripted{
    {"scripted", &ClaimsScripted, &OpenScriptedCapture, &OpenScriptedPlayback}};

}  // namespace

std::string ScriptedEndpoint(int failAfter) {
    return kScriptedPrefix + std::to_string(failAfter);
}

StderrCapture::StderrCapture() {
    std::fflush(stderr);
    char name[] = "/tmp/zorvo-stderr-XXXXXX";
    m_file = ::mkstemp(name);
    if (m_file < 0) {
        ADD_FAILURE() << "cannot create a file for stderr";
        return;
    }
    ::unlink(name);
    m_saved = ::dup(2);
    ::dup2(m_file, 2);
}

StderrCapture::~StderrCapture() {
    Finish();
}

std::string StderrCapture::Finish() {
    if (m_file < 0) {
        return {};
    }
    std::fflush(stderr);
    ::dup2(m_saved, 2);
    ::close(m_saved);
    std::string text;
    char chunk[4096];
    ::lseek(m_file, 0, SEEK_SET);
    for (ssize_t n; (n = ::read(m_file, chunk, sizeof(chunk))) > 0;) {
        text.append(chunk, static_cast<std::size_t>(n));
    }
    ::close(m_file);
    m_file = -1;
    m_saved = -1;
    return text;
}

}  // namespace zorvo::audio::test

namespace {

// Every audio test reads an ALSA configuration of its own that names only the first hardware card,
// so that none depends on the host's sound set-up (system-wide hooks, plugins, a sound server).
class PrivateAlsaConfig : public ::testing::Environment {
  public:
    void SetUp() override {
        ASSERT_TRUE(testsupport::UsePrivateAlsaConfig(testsupport::kAlsaFirstCardOnly));
    }
};

[[maybe_unused]] ::testing::Environment* const g_privateAlsa =
    ::testing::AddGlobalTestEnvironment(new PrivateAlsaConfig);

}  // namespace
