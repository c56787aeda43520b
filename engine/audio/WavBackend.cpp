// WAV files as audio endpoints, through libsndfile. Both directions run at real time against a
// steady clock, so that a call between two programs on files behaves like one on sound cards:
// capture hands out the file's samples no faster than they would arrive from a microphone (and
// silence once the file is over), playback takes as long as playing the samples would.

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>

#include "engine/audio/AudioBackend.h"

namespace zorvo::audio {
namespace {

using Clock = std::chrono::steady_clock;

// Clock time taken by `frames` sample frames at `rate`, exact to the nanosecond (no running sum
// of rounded periods, so the schedule never drifts).
Clock::duration FrameTime(uint64_t frames, uint32_t rate) {
    std::chrono::nanoseconds ns{(frames / rate) * 1'000'000'000ull +
                                (frames % rate) * 1'000'000'000ull / rate};
    return std::chrono::duration_cast<Clock::duration>(ns);
}

// Whole sample frames at `rate` that fit into `elapsed`.
uint64_t FramesIn(Clock::duration elapsed, uint32_t rate) {
    auto ns = std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count();
    if (ns <= 0) {
        return 0;
    }
    uint64_t n = static_cast<uint64_t>(ns);
    return (n / 1'000'000'000ull) * rate + (n % 1'000'000'000ull) * rate / 1'000'000'000ull;
}

std::string ChannelWords(int channels) {
    switch (channels) {
        case 1:
            return "mono";
        case 2:
            return "stereo";
        default:
            return std::to_string(channels) + " channels";
    }
}

std::string EncodingWords(int subtype) {
    switch (subtype) {
        case SF_FORMAT_PCM_S8:
        case SF_FORMAT_PCM_U8:
            return "8-bit PCM";
        case SF_FORMAT_PCM_16:
            return "16-bit PCM";
        case SF_FORMAT_PCM_24:
            return "24-bit PCM";
        case SF_FORMAT_PCM_32:
            return "32-bit PCM";
        case SF_FORMAT_FLOAT:
            return "32-bit float";
        case SF_FORMAT_DOUBLE:
            return "64-bit float";
        case SF_FORMAT_ULAW:
            return "u-law";
        case SF_FORMAT_ALAW:
            return "A-law";
        default:
            return "compressed";
    }
}

std::string MajorFormatName(int format) {
    SF_FORMAT_INFO info{};
    info.format = format & SF_FORMAT_TYPEMASK;
    if (sf_command(nullptr, SFC_GET_FORMAT_INFO, &info, sizeof(info)) == 0 &&
        info.name != nullptr) {
        return info.name;
    }
    return "unknown format";
}

// libsndfile's text for the last failed open, without its trailing full stop.
std::string LastSndfileError() {
    std::string text = sf_strerror(nullptr);
    while (!text.empty() && (text.back() == '.' || text.back() == '\n' || text.back() == ' ')) {
        text.pop_back();
    }
    return text;
}

// An open sound file with the descriptor under it; both are closed together.
class SoundFile {
  public:
    SoundFile() = default;
    ~SoundFile() { Close(); }
    SoundFile(const SoundFile&) = delete;
    SoundFile& operator=(const SoundFile&) = delete;

    // Opens `path` for reading; false with `error` set when it cannot be opened or read as a sound
    // file.
    bool OpenForReading(const std::string& path, std::string* error) {
        m_fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (m_fd < 0) {
            *error = path + ": cannot open: " + std::strerror(errno);
            return false;
        }
        struct stat st {};
        if (::fstat(m_fd, &st) == 0 && S_ISDIR(st.st_mode)) {
            *error = path + ": is a directory, not a WAV file";
            return false;
        }
        m_file = sf_open_fd(m_fd, SFM_READ, &m_info, SF_FALSE);
        if (m_file == nullptr) {
            *error = path + ": not a readable WAV file (" + LastSndfileError() + ")";
            return false;
        }
        return true;
    }

    // Creates (or truncates) `path` as a 16-bit PCM WAV file of the given shape.
    bool Create(const std::string& path, uint32_t rate, uint16_t channels, std::string* error) {
        m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (m_fd < 0) {
            *error = path + ": cannot create: " + std::strerror(errno);
            return false;
        }
        m_info = SF_INFO{};
        m_info.samplerate = static_cast<int>(rate);
        m_info.channels = channels;
        m_info.format = SF_FORMAT_WAV | SF_FORMAT_PCM_16;
        m_file = sf_open_fd(m_fd, SFM_WRITE, &m_info, SF_FALSE);
        if (m_file == nullptr) {
            *error = path + ": cannot write a WAV file (" + LastSndfileError() + ")";
            return false;
        }
        return true;
    }

    void Close() {
        if (m_file != nullptr) {
            sf_close(m_file);
            m_file = nullptr;
        }
        if (m_fd >= 0) {
            ::close(m_fd);
            m_fd = -1;
        }
    }

    SNDFILE* file() const { return m_file; }
    const SF_INFO& info() const { return m_info; }

  private:
    int m_fd = -1;
    SNDFILE* m_file = nullptr;
    SF_INFO m_info{};
};

// Reads a WAV file as a microphone would deliver it. The stream clock starts at the first Read;
// Read returns once the last of its samples would have been captured. The stream holds up to two
// reads' worth of samples that have arrived but not been read; a reader that falls further behind
// loses the older ones, as on a sound card's overrun. After the end of the file the stream
// delivers silence for ever.
class WavCapture : public CaptureStream {
  public:
    explicit WavCapture(const AudioFormat& format) : m_format(format) {}

    bool Open(const std::string& path, std::string* error) {
        if (!m_file.OpenForReading(path, error)) {
            return false;
        }
        const SF_INFO& info = m_file.info();
        int major = info.format & SF_FORMAT_TYPEMASK;
        if (major != SF_FORMAT_WAV && major != SF_FORMAT_WAVEX) {
            *error = path + ": not a WAV file (" + MajorFormatName(info.format) + ")";
            return false;
        }
        int subtype = info.format & SF_FORMAT_SUBMASK;
        bool shapeOk = static_cast<uint32_t>(info.samplerate) == m_format.sampleRate &&
                       info.channels == m_format.channels;
        bool encodingOk = subtype == SF_FORMAT_PCM_16;
        if (!shapeOk || !encodingOk) {
            std::string have =
                std::to_string(info.samplerate) + " Hz " + ChannelWords(info.channels);
            std::string need =
                std::to_string(m_format.sampleRate) + " Hz " + ChannelWords(m_format.channels);
            if (!encodingOk) {
                have.append(" ").append(EncodingWords(subtype));
                need += " 16-bit PCM";
            }
            *error = path + ": " + have + "; need " + need;
            return false;
        }
        m_fileFrames = info.frames > 0 ? static_cast<uint64_t>(info.frames) : 0;
        m_atEnd = m_fileFrames == 0;
        return true;
    }

    bool Read(int16_t* samples, std::size_t count) override {
        if (samples == nullptr || count % m_format.channels != 0) {
            return false;
        }
        const uint64_t frames = count / m_format.channels;
        const Clock::time_point now = Clock::now();
        if (!m_started) {
            m_started = true;
            m_start = now;
        }
        const uint64_t arrived = FramesIn(now - m_start, m_format.sampleRate);
        if (arrived > m_position + 2 * frames) {
            // Overrun: keep only the latest `frames` frames, as a full device buffer would.
            SkipTo(arrived - frames);
        }
        FillFromFile(samples, frames);
        m_position += frames;
        std::this_thread::sleep_until(m_start + FrameTime(m_position, m_format.sampleRate));
        return true;
    }

  private:
    void SkipTo(uint64_t position) {
        m_position = position;
        if (m_atEnd) {
            return;
        }
        if (position >= m_fileFrames ||
            sf_seek(m_file.file(), static_cast<sf_count_t>(position), SEEK_SET) < 0) {
            m_atEnd = true;
        }
    }

    void FillFromFile(int16_t* samples, uint64_t frames) {
        uint64_t got = 0;
        if (!m_atEnd) {
            sf_count_t n = sf_readf_short(m_file.file(), samples, static_cast<sf_count_t>(frames));
            got = n > 0 ? static_cast<uint64_t>(n) : 0;
            if (got < frames) {
                m_atEnd = true;  // end of the data, or a file cut short: silence from here on
            }
        }
        std::fill(samples + got * m_format.channels, samples + frames * m_format.channels,
                  int16_t{0});
    }

    AudioFormat m_format;
    SoundFile m_file;
    uint64_t m_fileFrames = 0;
    bool m_atEnd = false;
    bool m_started = false;
    Clock::time_point m_start;
    uint64_t m_position = 0;  // frames handed out or lost since m_start
};

// Writes a WAV file as a loudspeaker would play it. Write returns once its samples would have
// been played: the schedule starts at the first Write and advances by exactly the samples written.
// A writer later than one buffer behind the schedule has let the device run dry; the schedule then
// starts afresh from the late Write instead of rushing to catch up. The header is rewritten with
// every Write, so the file stays readable if the program dies mid-call.
class WavPlayback : public PlaybackStream {
  public:
    explicit WavPlayback(const AudioFormat& format) : m_format(format) {}

    bool Open(const std::string& path, std::string* error) {
        if (!m_file.Create(path, m_format.sampleRate, m_format.channels, error)) {
            return false;
        }
        sf_command(m_file.file(), SFC_SET_UPDATE_HEADER_AUTO, nullptr, SF_TRUE);
        return true;
    }

    bool Write(const int16_t* samples, std::size_t count) override {
        if (samples == nullptr || count % m_format.channels != 0) {
            return false;
        }
        const uint64_t frames = count / m_format.channels;
        const Clock::time_point now = Clock::now();
        if (!m_started || now > m_start + FrameTime(m_position + frames, m_format.sampleRate)) {
            m_started = true;
            m_start = now;
            m_position = 0;
        }
        sf_count_t written =
            sf_writef_short(m_file.file(), samples, static_cast<sf_count_t>(frames));
        if (written != static_cast<sf_count_t>(frames)) {
            return false;
        }
        m_position += frames;
        std::this_thread::sleep_until(m_start + FrameTime(m_position, m_format.sampleRate));
        return true;
    }

  private:
    AudioFormat m_format;
    SoundFile m_file;
    bool m_started = false;
    Clock::time_point m_start;
    uint64_t m_position = 0;  // frames played since m_start
};

// Every endpoint text that no device backend claims is a file path.
Claim ClaimsPath(const std::string& endpoint) {
    return endpoint.empty() ? Claim::kNone : Claim::kFallback;
}

std::unique_ptr<CaptureStream> OpenWavCapture(const std::string& path, const AudioFormat& format,
                                              std::string* error) {
    auto stream = std::make_unique<WavCapture>(format);
    if (!stream->Open(path, error)) {
        return nullptr;
    }
    return stream;
}

std::unique_ptr<PlaybackStream> OpenWavPlayback(const std::string& path, const AudioFormat& format,
                                                std::string* error) {
    auto stream = std::make_unique<WavPlayback>(format);
    if (!stream->Open(path, error)) {
        return nullptr;
    }
    return stream;
}

const AudioBackendRegistration kRegistration{
    {"wav", &ClaimsPath, &OpenWavCapture, &OpenWavPlayback}};

}  // namespace
}  // namespace zorvo::audio
