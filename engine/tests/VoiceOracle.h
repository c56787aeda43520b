#pragma once

// What a call should carry, computed independently of the engine: which captured frames silence
// suppression lets through, and what libgsm makes of them.

#include <cstdint>
#include <cstring>
#include <vector>

extern "C" {
#include <gsm.h>
}

namespace enginetest {

using Frame = std::vector<int16_t>;  // 1600 samples

inline std::vector<Frame> SplitFrames(const std::vector<int16_t>& samples, size_t silentTail) {
    std::vector<Frame> frames;
    for (size_t i = 0; i + 1600 <= samples.size(); i += 1600) {
        frames.emplace_back(samples.begin() + static_cast<long>(i),
                            samples.begin() + static_cast<long>(i + 1600));
    }
    if (samples.size() % 1600 != 0) {
        Frame last(1600, 0);
        std::memcpy(last.data(), samples.data() + samples.size() / 1600 * 1600,
                    (samples.size() % 1600) * 2);
        frames.push_back(last);
    }
    for (size_t i = 0; i < silentTail; ++i) {
        frames.emplace_back(1600, 0);
    }
    return frames;
}

inline bool IsSpeech(const Frame& f, int sensitivity = 20) {
    const int t = sensitivity * 128;
    int loud = 0;
    for (int16_t s : f) {
        loud += (s > t || s < -t) ? 1 : 0;
    }
    return loud > 320;
}

// The frames sent, in order, for a capture of `frames` with the given threshold.
inline std::vector<Frame> SentFrames(const std::vector<Frame>& frames, unsigned threshold = 10) {
    std::vector<Frame> sent;
    unsigned silentRun = 0;
    const Frame* held = nullptr;
    for (const Frame& f : frames) {
        const bool speech = IsSpeech(f);
        if (speech) {
            silentRun = 0;
        } else if (silentRun >= threshold) {
            held = &f;
            ++silentRun;
            continue;
        }
        if (held) {
            sent.push_back(*held);
            held = nullptr;
        }
        sent.push_back(f);
        if (!speech) {
            ++silentRun;
        }
    }
    return sent;
}

inline std::vector<uint8_t> Encode(const std::vector<Frame>& frames) {
    gsm encoder = gsm_create();
    std::vector<uint8_t> out;
    for (const Frame& f : frames) {
        for (int b = 0; b < 10; ++b) {
            uint8_t block[33];
            gsm_signal pcm[160];
            std::memcpy(pcm, f.data() + b * 160, sizeof pcm);
            gsm_encode(encoder, pcm, block);
            out.insert(out.end(), block, block + 33);
        }
    }
    gsm_destroy(encoder);
    return out;
}

inline std::vector<int16_t> Decode(const std::vector<uint8_t>& blocks) {
    gsm decoder = gsm_create();
    std::vector<int16_t> out(blocks.size() / 33 * 160);
    for (size_t b = 0; b < blocks.size() / 33; ++b) {
        gsm_decode(decoder, const_cast<uint8_t*>(blocks.data() + b * 33), out.data() + b * 160);
    }
    gsm_destroy(decoder);
    return out;
}

}  // namespace enginetest
