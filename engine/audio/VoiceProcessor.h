#pragma once

// Cleaning up a microphone signal before it is judged and sent: acoustic echo cancellation (the
// far end's voice as the speaker played it is the reference), noise suppression and automatic
// gain, through SpeexDSP's echo canceller and preprocessor. Only sound-card capture is processed;
// files and "none" never are.

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "engine/Export.h"

namespace zorvo::audio {

// What the speaker played, with the time each sample was heard: the player adds what it hands to
// the device, the recorder's processor reads back what was heard while a capture buffer was
// recorded. Mono. Safe to use from the playing and the capturing thread at once.
class VOXLANE_API PlayedSignal {
  public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;

    // Keeps the last two seconds.
    explicit PlayedSignal(uint32_t sampleRate);

    // `count` samples that are heard from `heardAt` on.
    void Add(const int16_t* samples, std::size_t count, Time heardAt);
    // Fills `out` with what was heard from `from` on; silence where nothing is known.
    void Get(int16_t* out, std::size_t count, Time from) const;

  private:
    const uint32_t m_rate;
    mutable std::mutex m_lock;
    std::vector<int16_t> m_ring;
    uint64_t m_total = 0;   // samples ever added; the next one goes to m_total % size
    uint64_t m_anchor = 0;  // index of the sample heard at m_anchorTime
    Time m_anchorTime{};
};

struct VoiceProcessing {
    bool echo = true;   // cancel the played signal's echo (needs a reference)
    bool noise = true;  // suppress steady background noise
    bool gain = true;   // level the voice automatically
};

class VOXLANE_API VoiceProcessor {
  public:
    using Time = PlayedSignal::Time;

    // Works in blocks of 20 ms; the echo canceller models an echo path of up to 200 ms.
    VoiceProcessor(uint32_t sampleRate, const VoiceProcessing& what);
    ~VoiceProcessor();
    VoiceProcessor(const VoiceProcessor&) = delete;
    VoiceProcessor& operator=(const VoiceProcessor&) = delete;

    // Processes `count` captured mono samples in place; `reference` holds what the speaker played
    // during the same time (null: nothing). A count that is not a whole number of blocks leaves
    // the remainder as it is.
    void Process(int16_t* samples, const int16_t* reference, std::size_t count);

    // Same, with the reference read from `played` for samples first heard at `capturedAt`.
    void Process(int16_t* samples, std::size_t count, const PlayedSignal& played, Time capturedAt);

    std::size_t BlockSamples() const { return m_block; }

  private:
    struct State;
    const std::size_t m_block;
    const uint32_t m_rate;
    std::unique_ptr<State> m_state;
    std::vector<int16_t> m_reference;
    std::vector<int16_t> m_out;
};

}  // namespace zorvo::audio
