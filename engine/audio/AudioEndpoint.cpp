#include "engine/audio/AudioEndpoint.h"

#include <mutex>
#include <optional>
#include <vector>

#include "engine/audio/AudioBackend.h"

namespace zorvo::audio {
namespace {

struct Registry {
    std::mutex lock;
    std::vector<AudioBackend> backends;
};

// Built on first use, so registrations from other files' static initialisers find it whatever
// order those initialisers run in.
Registry& TheRegistry() {
    static Registry registry;
    return registry;
}

// The backend with the strongest claim on `endpoint`, copied out so that it is used outside the
// lock.
std::optional<AudioBackend> Choose(const std::string& endpoint) {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.lock);
    const AudioBackend* best = nullptr;
    Claim bestClaim = Claim::kNone;
    // Backends that must list devices to judge the text come second, and only when nobody else
    // named it exactly.
    for (const bool byListing : {false, true}) {
        for (const AudioBackend& backend : registry.backends) {
            if (backend.claimsByListing != byListing || bestClaim == Claim::kExact) {
                continue;
            }
            const Claim claim = backend.claims ? backend.claims(endpoint) : Claim::kNone;
            if (claim > bestClaim) {
                best = &backend;
                bestClaim = claim;
            }
        }
    }
    if (best == nullptr) {
        return std::nullopt;
    }
    return *best;
}

void SetError(std::string* error, std::string text) {
    if (error != nullptr) {
        *error = std::move(text);
    }
}

}  // namespace

bool CheckAudioFormat(const AudioFormat& format, std::string* error) {
    std::string problem;
    if (format.bitsPerSample != 16) {
        problem = std::to_string(format.bitsPerSample) + "-bit samples; only 16-bit are supported";
    } else if (format.channels < 1 || format.channels > 8) {
        problem = std::to_string(format.channels) + " channels; 1 to 8 are supported";
    } else if (format.sampleRate < 1000 || format.sampleRate > 192000) {
        problem = std::to_string(format.sampleRate) + " Hz; 1000 to 192000 Hz are supported";
    } else if (format.bufferSamples < 1 || format.bufferSamples > kMaxBufferSamples) {
        problem = "buffers of " + std::to_string(format.bufferSamples) + " samples; 1 to " +
                  std::to_string(kMaxBufferSamples) + " are supported";
    }
    if (problem.empty()) {
        return true;
    }
    SetError(error, "unsupported audio format: " + problem);
    return false;
}

std::size_t BufferBytes(const AudioFormat& format) {
    if (!CheckAudioFormat(format, nullptr)) {
        return 0;
    }
    return std::size_t{format.bufferSamples} * format.channels * sizeof(int16_t);
}

bool RegisterAudioBackend(const AudioBackend& backend) {
    Registry& registry = TheRegistry();
    std::lock_guard lock(registry.lock);
    for (const AudioBackend& known : registry.backends) {
        if (known.name == backend.name) {
            return false;
        }
    }
    registry.backends.push_back(backend);
    return true;
}

std::string BackendFor(const std::string& endpoint) {
    std::optional<AudioBackend> backend = Choose(endpoint);
    return backend ? backend->name : std::string();
}

}  // namespace zorvo::audio

using zorvo::audio::AudioBackend;

std::unique_ptr<CaptureStream> OpenCaptureEndpoint(const std::string& endpoint,
                                                   const AudioFormat& format, std::string* error) {
    if (!zorvo::audio::CheckAudioFormat(format, error)) {
        return nullptr;
    }
    std::optional<AudioBackend> backend = zorvo::audio::Choose(endpoint);
    if (!backend || backend->openCapture == nullptr) {
        zorvo::audio::SetError(error, "\"" + endpoint + "\": no audio backend can capture from it");
        return nullptr;
    }
    std::string why;
    std::unique_ptr<CaptureStream> stream = backend->openCapture(endpoint, format, &why);
    if (!stream) {
        zorvo::audio::SetError(error,
                               why.empty() ? backend->name + ": cannot open " + endpoint : why);
    }
    return stream;
}

std::unique_ptr<PlaybackStream> OpenPlaybackEndpoint(const std::string& endpoint,
                                                     const AudioFormat& format,
                                                     std::string* error) {
    if (!zorvo::audio::CheckAudioFormat(format, error)) {
        return nullptr;
    }
    std::optional<AudioBackend> backend = zorvo::audio::Choose(endpoint);
    if (!backend || backend->openPlayback == nullptr) {
        zorvo::audio::SetError(error, "\"" + endpoint + "\": no audio backend can play to it");
        return nullptr;
    }
    std::string why;
    std::unique_ptr<PlaybackStream> stream = backend->openPlayback(endpoint, format, &why);
    if (!stream) {
        zorvo::audio::SetError(error,
                               why.empty() ? backend->name + ": cannot open " + endpoint : why);
    }
    return stream;
}
