// The sound card through PortAudio's blocking interface: 16-bit samples on the default input and
// output devices, or on a device chosen by the name PortAudio lists it under. PortAudio is
// initialised when the first stream (or device query) needs it and terminated when the last one is
// gone. ALSA and JACK report every device they fail to find on stderr; their reporting is switched
// off before PortAudio first talks to them, so that a machine without a card gets one clear error
// from us instead of screens of noise.

#include <alsa/asoundlib.h>
#include <portaudio.h>
#ifdef ZORVO_HAVE_JACK
#include <jack/jack.h>
#endif

#include <algorithm>
#include <cctype>
#include <mutex>

#include "engine/audio/AudioBackend.h"
#include "engine/audio/SoundCard.h"

namespace zorvo::audio {
namespace {

void QuietAlsa(const char*, int, const char*, int, const char*, ...) {}

#ifdef ZORVO_HAVE_JACK
void QuietJack(const char*) {}
#endif

void SilenceSoundLibraries() {
    static std::once_flag once;
    std::call_once(once, [] {
        snd_lib_error_set_handler(&QuietAlsa);
#ifdef ZORVO_HAVE_JACK
        jack_set_error_function(&QuietJack);
        jack_set_info_function(&QuietJack);
#endif
    });
}

// PortAudio is not safe to initialise, open or close from two threads at once (the recorder and
// the player start on different threads), so all of that happens under this lock.
std::mutex g_portAudioLock;
int g_portAudioUsers = 0;

// One counted use of the PortAudio library.
class PortAudioUse {
  public:
    PortAudioUse() = default;
    ~PortAudioUse() { Release(); }
    PortAudioUse(const PortAudioUse&) = delete;
    PortAudioUse& operator=(const PortAudioUse&) = delete;

    // Call with g_portAudioLock held.
    bool Acquire(std::string* error) {
        if (m_held) {
            return true;
        }
        if (g_portAudioUsers == 0) {
            SilenceSoundLibraries();
            PaError err = Pa_Initialize();
            if (err != paNoError) {
                *error =
                    std::string("sound card: cannot initialise PortAudio: ") + Pa_GetErrorText(err);
                return false;
            }
        }
        ++g_portAudioUsers;
        m_held = true;
        return true;
    }

  private:
    void Release() {
        if (!m_held) {
            return;
        }
        std::lock_guard lock(g_portAudioLock);
        if (--g_portAudioUsers == 0) {
            Pa_Terminate();
        }
        m_held = false;
    }

    bool m_held = false;
};

// --- devices chosen by name ---------------------------------------------------------------------

// The names of the devices last listed, in either direction; a name the user chose is one of them.
std::mutex g_listedLock;
std::vector<std::string> g_listed;

void RememberListed(const std::vector<std::string>& names) {
    std::lock_guard lock(g_listedLock);
    for (const std::string& name : names) {
        if (std::find(g_listed.begin(), g_listed.end(), name) == g_listed.end()) {
            g_listed.push_back(name);
        }
    }
}

bool WasListed(const std::string& name) {
    std::lock_guard lock(g_listedLock);
    return std::find(g_listed.begin(), g_listed.end(), name) != g_listed.end();
}

// A text that names a file rather than a device: a path, or a name ending in ".wav".
bool LooksLikeFile(const std::string& endpoint) {
    const std::string wav = ".wav";
    return endpoint.find('/') != std::string::npos ||
           (endpoint.size() >= wav.size() &&
            std::equal(wav.rbegin(), wav.rend(), endpoint.rbegin(), [](char a, char b) {
                return a == std::tolower(static_cast<unsigned char>(b));
            }));
}

// "" and "default" are the default devices; a name the sound card lists is its device. Names
// are listed only for texts that do not look like files, so that WAV paths never wake the sound
// library.
Claim ClaimsSoundCard(const std::string& endpoint) {
    if (endpoint.empty() || endpoint == "default") {
        return Claim::kExact;
    }
    if (WasListed(endpoint)) {
        return Claim::kExact;
    }
    if (LooksLikeFile(endpoint) || endpoint == "none") {
        return Claim::kNone;
    }
    std::string error;
    SoundCardDeviceNames(true, &error);
    SoundCardDeviceNames(false, &error);
    return WasListed(endpoint) ? Claim::kExact : Claim::kNone;
}

// The device to open for `name` in one direction (call with g_portAudioLock held, PortAudio
// initialised): the device listed under that name, or the default one when the name is empty,
// "default", or no longer listed (a device unplugged since it was chosen must not fail a call).
PaDeviceIndex ChooseDevice(const std::string& name, bool input) {
    if (!name.empty() && name != "default") {
        const PaDeviceIndex count = Pa_GetDeviceCount();
        for (PaDeviceIndex i = 0; i < count; ++i) {
            const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
            if (info != nullptr && info->name != nullptr && name == info->name &&
                (input ? info->maxInputChannels : info->maxOutputChannels) > 0) {
                return i;
            }
        }
    }
    return input ? Pa_GetDefaultInputDevice() : Pa_GetDefaultOutputDevice();
}

enum class Direction { kInput, kOutput };

// An open, started PortAudio stream in one direction; closes it (dropping what is still queued)
// and then lets go of the library.
class SoundCardStream {
  public:
    ~SoundCardStream() {
        if (m_stream != nullptr) {
            std::lock_guard lock(g_portAudioLock);
            Pa_AbortStream(m_stream);
            Pa_CloseStream(m_stream);
        }
    }

    bool Open(Direction direction, const std::string& name, const AudioFormat& format,
              std::string* error) {
        std::lock_guard lock(g_portAudioLock);
        if (!m_use.Acquire(error)) {
            return false;
        }
        const bool input = direction == Direction::kInput;
        const char* what = input ? "input" : "output";
        PaDeviceIndex device = ChooseDevice(name, input);
        const PaDeviceInfo* info = device == paNoDevice ? nullptr : Pa_GetDeviceInfo(device);
        if (info == nullptr) {
            *error = std::string("sound card: no ") + what + " device";
            return false;
        }
        PaStreamParameters params{};
        params.device = device;
        params.channelCount = format.channels;
        params.sampleFormat = paInt16;
        // The lowest latency the device suggests: every millisecond here is heard in the call.
        params.suggestedLatency =
            input ? info->defaultLowInputLatency : info->defaultLowOutputLatency;
        PaStream* stream = nullptr;
        PaError err = Pa_OpenStream(&stream, input ? &params : nullptr, input ? nullptr : &params,
                                    format.sampleRate, paFramesPerBufferUnspecified, paClipOff,
                                    nullptr, nullptr);
        if (err != paNoError) {
            *error = std::string("sound card: cannot open the ") + what + " device \"" +
                     info->name + "\": " + Pa_GetErrorText(err);
            return false;
        }
        err = Pa_StartStream(stream);
        if (err != paNoError) {
            Pa_CloseStream(stream);
            *error = std::string("sound card: cannot start the ") + what + " device \"" +
                     info->name + "\": " + Pa_GetErrorText(err);
            return false;
        }
        m_stream = stream;
        const PaStreamInfo* streamInfo = Pa_GetStreamInfo(stream);
        if (streamInfo != nullptr) {
            m_latency = input ? streamInfo->inputLatency : streamInfo->outputLatency;
        }
        return true;
    }

    PaStream* stream() const { return m_stream; }
    double latency() const { return m_latency; }

  private:
    PortAudioUse m_use;  // destroyed after the stream is closed
    PaStream* m_stream = nullptr;
    double m_latency = 0;  // as PortAudio reports it for the open stream
};

class SoundCardCapture : public CaptureStream {
  public:
    SoundCardCapture(const std::string& name, const AudioFormat& format)
        : m_name(name), m_channels(format.channels) {}

    bool Open(const AudioFormat& format, std::string* error) {
        return m_device.Open(Direction::kInput, m_name, format, error);
    }

    bool Read(int16_t* samples, std::size_t count) override {
        if (samples == nullptr || count % m_channels != 0) {
            return false;
        }
        PaError err = Pa_ReadStream(m_device.stream(), samples,
                                    static_cast<unsigned long>(count / m_channels));
        // An overflow only means that samples were lost while nobody read; the stream goes on.
        return err == paNoError || err == paInputOverflowed;
    }

    bool IsDevice() const override { return true; }
    double LatencySeconds() const override { return m_device.latency(); }

  private:
    std::string m_name;
    uint16_t m_channels;
    SoundCardStream m_device;
};

class SoundCardPlayback : public PlaybackStream {
  public:
    SoundCardPlayback(const std::string& name, const AudioFormat& format)
        : m_name(name), m_channels(format.channels) {}

    bool Open(const AudioFormat& format, std::string* error) {
        return m_device.Open(Direction::kOutput, m_name, format, error);
    }

    bool Write(const int16_t* samples, std::size_t count) override {
        if (samples == nullptr || count % m_channels != 0) {
            return false;
        }
        PaError err = Pa_WriteStream(m_device.stream(), samples,
                                     static_cast<unsigned long>(count / m_channels));
        // An underflow only means that the device ran dry between two frames.
        return err == paNoError || err == paOutputUnderflowed;
    }

    bool IsDevice() const override { return true; }
    double LatencySeconds() const override { return m_device.latency(); }

  private:
    std::string m_name;
    uint16_t m_channels;
    SoundCardStream m_device;
};

std::unique_ptr<CaptureStream> OpenSoundCardCapture(const std::string& endpoint,
                                                    const AudioFormat& format, std::string* error) {
    auto stream = std::make_unique<SoundCardCapture>(endpoint, format);
    if (!stream->Open(format, error)) {
        return nullptr;
    }
    return stream;
}

std::unique_ptr<PlaybackStream> OpenSoundCardPlayback(const std::string& endpoint,
                                                      const AudioFormat& format,
                                                      std::string* error) {
    auto stream = std::make_unique<SoundCardPlayback>(endpoint, format);
    if (!stream->Open(format, error)) {
        return nullptr;
    }
    return stream;
}

const AudioBackendRegistration kRegistration{
    {"portaudio", &ClaimsSoundCard, &OpenSoundCardCapture, &OpenSoundCardPlayback, true}};

}  // namespace

int SoundCardDeviceCount(std::string* error) {
    PortAudioUse use;
    std::lock_guard lock(g_portAudioLock);
    if (!use.Acquire(error)) {
        return -1;
    }
    PaDeviceIndex count = Pa_GetDeviceCount();
    if (count < 0) {
        *error = std::string("sound card: cannot list devices: ") + Pa_GetErrorText(count);
        return -1;
    }
    return count;
}

std::vector<std::string> SoundCardDeviceNames(bool input, std::string* error) {
    PortAudioUse use;
    std::lock_guard lock(g_portAudioLock);
    std::vector<std::string> names;
    if (!use.Acquire(error)) {
        return names;
    }
    const PaDeviceIndex count = Pa_GetDeviceCount();
    if (count < 0) {
        *error = std::string("sound card: cannot list devices: ") + Pa_GetErrorText(count);
        return names;
    }
    for (PaDeviceIndex i = 0; i < count; ++i) {
        const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
        if (info != nullptr && info->name != nullptr &&
            (input ? info->maxInputChannels : info->maxOutputChannels) > 0) {
            names.emplace_back(info->name);
        }
    }
    RememberListed(names);
    return names;
}

}  // namespace zorvo::audio
