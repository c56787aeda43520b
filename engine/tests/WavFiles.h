#pragma once

#include <sndfile.h>
#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <string>
#include <vector>

namespace enginetest {

inline bool WriteWav(const std::string& path, const std::vector<int16_t>& samples) {
    SF_INFO info{};
    info.samplerate = 8000;
    info.channels = 1;
    info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
    SNDFILE* file = sf_open(path.c_str(), SFM_WRITE, &info);
    if (!file) {
        return false;
    }
    sf_write_short(file, samples.data(), static_cast<sf_count_t>(samples.size()));
    sf_close(file);
    return true;
}

inline std::vector<int16_t> ReadWav(const std::string& path) {
    SF_INFO info{};
    SNDFILE* file = sf_open(path.c_str(), SFM_READ, &info);
    std::vector<int16_t> samples;
    if (!file) {
        return samples;
    }
    samples.resize(static_cast<size_t>(info.frames * info.channels));
    samples.resize(static_cast<size_t>(
        sf_read_short(file, samples.data(), static_cast<sf_count_t>(samples.size()))));
    sf_close(file);
    return samples;
}

// A folder of its own under /tmp, removed at the end of the test.
class TempDir {
  public:
    TempDir() {
        char pattern[] = "/tmp/zorvo-engine-XXXXXX";
        m_path = mkdtemp(pattern) ? pattern : "/tmp";
    }
    ~TempDir() { std::filesystem::remove_all(m_path); }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// Frames of 1600 samples: `loud` samples at +/-`level`, the rest 0.
inline std::vector<int16_t> FrameWithLoudSamples(int loud, int16_t level) {
    std::vector<int16_t> frame(1600, 0);
    for (int i = 0; i < loud; ++i) {
        frame[static_cast<size_t>(i) * 1600 / static_cast<size_t>(std::max(loud, 1))] =
            static_cast<int16_t>((i & 1) ? level : -level);
    }
    return frame;
}

}  // namespace enginetest
