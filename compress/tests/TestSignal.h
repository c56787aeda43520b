#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

// A deterministic speech-like test signal: two gliding tones with a slow envelope and some noise.
inline std::vector<int16_t> MakeTestSignal(std::size_t samples, uint32_t seed = 12345) {
    std::vector<int16_t> out(samples);
    uint32_t noise = seed;
    for (std::size_t i = 0; i < samples; ++i) {
        const double t = static_cast<double>(i) / 8000.0;
        const double envelope = 0.5 + 0.5 * std::sin(2 * M_PI * 1.7 * t);
        const double tone =
            std::sin(2 * M_PI * (220 + 80 * std::sin(t)) * t) + 0.4 * std::sin(2 * M_PI * 1130 * t);
        noise = noise * 1664525u + 1013904223u;
        const double hiss = (static_cast<int32_t>(noise >> 16) - 32768) / 32768.0 * 0.05;
        out[i] = static_cast<int16_t>(std::lround(9000 * envelope * tone + 3000 * hiss));
    }
    return out;
}
