// The "none" endpoint: a machine without the device. Opening always fails, the way a missing
// sound card does, so the engine's handling of a failed start can be exercised on purpose.

#include "engine/audio/AudioBackend.h"

namespace zorvo::audio {
namespace {

constexpr const char* kNoDevice = "no audio device";

Claim ClaimsNone(const std::string& endpoint) {
    return endpoint == "none" ? Claim::kExact : Claim::kNone;
}

std::unique_ptr<CaptureStream> OpenNullCapture(const std::string&, const AudioFormat&,
                                               std::string* error) {
    *error = kNoDevice;
    return nullptr;
}

std::unique_ptr<PlaybackStream> OpenNullPlayback(const std::string&, const AudioFormat&,
                                                 std::string* error) {
    *error = kNoDevice;
    return nullptr;
}

const AudioBackendRegistration kRegistration{
    {"null", &ClaimsNone, &OpenNullCapture, &OpenNullPlayback}};

}  // namespace
}  // namespace zorvo::audio
