#include "engine/VoiceDetector.h"

#include <cstdint>
#include <cstring>

int FrameHasVoice(const char* samples, unsigned count, int sensitivity) {
    const int threshold = sensitivity * 128;
    unsigned loud = 0;
    for (unsigned i = 0; i < count; ++i) {
        int16_t sample;
        std::memcpy(&sample, samples + 2 * i, sizeof sample);
        loud += (sample > threshold || sample < -threshold) ? 1 : 0;
    }
    return static_cast<double>(loud) > 0.2 * static_cast<double>(count) ? 1 : 0;
}
