#pragma once

// The registrar behind OpenCaptureEndpoint and OpenPlaybackEndpoint. Every backend registers itself
// from its own source file with an AudioBackendRegistration; the endpoint text alone decides which
// backend opens it, so nothing above this layer names a backend.

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/Export.h"
#include "engine/audio/AudioEndpoint.h"

namespace zorvo::audio {

// How strongly a backend wants an endpoint text. The strongest claim wins; between equal claims
// the backend registered first wins.
enum class Claim {
    kNone = 0,      // cannot open it
    kFallback = 1,  // opens it when nobody has a better claim (file paths)
    kExact = 2,     // the text names this backend's device ("default", "none")
};

struct AudioBackend {
    std::string name;
    Claim (*claims)(const std::string& endpoint) = nullptr;
    std::unique_ptr<CaptureStream> (*openCapture)(const std::string& endpoint,
                                                  const AudioFormat& format,
                                                  std::string* error) = nullptr;
    std::unique_ptr<PlaybackStream> (*openPlayback)(const std::string& endpoint,
                                                    const AudioFormat& format,
                                                    std::string* error) = nullptr;
    // Its claim may have to ask the device layer for its list of devices, which is slow and
    // wakes the sound system: it is asked only when no other backend claims the text exactly.
    bool claimsByListing = false;
};

// Limits of what the backends handle: 16-bit samples, 1 to 8 channels, 1000 to 192000 Hz, buffers
// of 1 to 1048576 samples.
constexpr uint32_t kMaxBufferSamples = 1u << 20;

// True when `format` is within those limits; otherwise false and `error` says what is wrong.
bool CheckAudioFormat(const AudioFormat& format, std::string* error);

// Bytes of one buffer of `format` (bufferSamples samples on every channel); 0 for a format that
// CheckAudioFormat refuses.
std::size_t BufferBytes(const AudioFormat& format);

// Adds a backend; a second backend with a name already registered is ignored. Returns true when
// added.
VOXLANE_API bool RegisterAudioBackend(const AudioBackend& backend);

// Name of the backend that opens `endpoint`; empty when no backend claims it.
std::string BackendFor(const std::string& endpoint);

// Registers a backend during static initialisation: `static AudioBackendRegistration r{{...}};`
struct AudioBackendRegistration {
    explicit AudioBackendRegistration(const AudioBackend& backend) {
        RegisterAudioBackend(backend);
    }
};

}  // namespace zorvo::audio
