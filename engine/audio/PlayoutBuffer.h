#pragma once

// The player's adaptive playout buffer, kept apart from threads and clocks so that it can be driven
// by a fake clock: frames go in as they arrive (Push), samples come out as the device asks for them
// (Pull), and both calls carry the time they happen at.
//
// The buffer keeps its depth near a target derived from the measured arrival jitter:
//   - Arrival jitter: each arrival is placed on the sender's frame grid (the gap to the previous
//     arrival rounded to whole frames, so lost frames and talk-spurt pauses keep their place and a
//     duplicate shares its original's slot); the spread of (arrival - slot time) over the recent
//     arrivals is the jitter. The start delay of a talk spurt is that spread plus a safety margin.
//   - Depth control: the depth found at each arrival while playing is remembered; the second
//     smallest of the last 50 (the low watermark; one late arrival is forgiven) is held near the
//     safety margin. Too deep: a few milliseconds are cut out of the new frame where it is
//     quietest (a whole pitch period where the sound is voiced, joined by a short crossfade), or a
//     whole queued frame is dropped when the last arrivals all found a frame's worth too many; too
//     shallow: a few milliseconds are repeated the same way. This follows clock drift in either
//     direction and sheds the extra depth a burst or a duplicate leaves behind.
//   - Underrun: on a device the last samples played are faded out (mirrored, so the wave goes on
//     without a step) and silence follows; playing resumes at the target depth, or at the time
//     the missing frames would have ended when that comes first (a lost frame costs its own length
//     and no more), and the resumed sound fades in. A file has no gaps: it just waits.
//   - Bound: never more than kMaxFrames frames are held; the oldest goes first.
// When every frame arrives on time, no sample is touched: what comes out is what went in.

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "engine/Export.h"
#include "engine/audio/AudioEndpoint.h"

namespace zorvo::audio {

class VOXLANE_API PlayoutBuffer {
  public:
    using Clock = std::chrono::steady_clock;
    using Time = Clock::time_point;

    static constexpr int kMaxFrames = 8;

    // `device`: the output is a device that must be fed without pause (underruns are concealed
    // with silence); otherwise a file, which simply waits.
    PlayoutBuffer(const AudioFormat& format, bool device);

    // Takes a copy of one frame (bufferSamples samples, all channels) that arrived at `now`.
    // Returns how many queued frames were dropped to keep the bound or to catch up.
    int Push(const int16_t* frame, Time now);

    struct Pulled {
        std::size_t samples = 0;  // written to `out` (0 when nothing is to be played now)
        int completed = 0;        // frames whose last sample is among them
    };
    // Fills up to `count` samples for the output at `now`.
    Pulled Pull(int16_t* out, std::size_t count, Time now);

    // When Pull next has something to give: Time::min() for now, Time::max() for not until the
    // next Push.
    Time NextOutput() const;

    // Drops everything queued; returns how many frames that was.
    int Clear();

    std::size_t Depth() const { return m_queuedSamples; }  // queued samples, all channels
    std::size_t TargetSamples() const;                     // start depth, all channels
    uint64_t ConcealedSamples() const { return m_concealed; }
    uint64_t PlayedSamples() const { return m_played; }
    uint64_t EditedSamples() const { return m_edited; }  // cut or repeated by the depth control

  private:
    enum class State { kIdle, kWaiting, kPlaying, kConcealing };

    struct Slot {
        std::vector<int16_t> samples;
        std::size_t length = 0;
        std::size_t position = 0;
    };

    void NoteArrival(Time now);
    void NoteDepth(Time now);
    double JitterMs() const;
    double TargetMs() const;
    Time ResumeTime(Time now) const;
    int Control(long* change);
    std::size_t Edit(const int16_t* in, std::size_t n, long change, int16_t* out) const;
    int DropFrame(std::size_t index);
    void ShiftDepths(long change);
    std::size_t CopyOut(int16_t* out, std::size_t count, int* completed);
    void Conceal(int16_t* out, std::size_t from, std::size_t count);
    void FadeIn(int16_t* out, std::size_t count);
    void RememberTail(const int16_t* out, std::size_t count);
    Slot& At(std::size_t index) { return m_slots[(m_head + index) % kMaxFrames]; }

    const AudioFormat m_format;
    const std::size_t m_frameSamples;  // all channels
    const bool m_device;
    const double m_frameMs;
    const bool m_canEdit;

    std::array<Slot, kMaxFrames> m_slots;
    std::size_t m_head = 0;
    std::size_t m_frames = 0;
    std::size_t m_queuedSamples = 0;

    State m_state = State::kIdle;
    Time m_startAt{};         // kWaiting and kConcealing: when playing (re)starts
    bool m_startSet = false;  // kConcealing: m_startAt holds a resume time
    bool m_everDry = false;
    Time m_dryAt{};  // when the last underrun began
    bool m_fadeInNext = false;

    // Arrival jitter: offsets of recent arrivals from their slots on the sender's frame grid.
    static constexpr std::size_t kJitterWindow = 50;
    std::array<double, kJitterWindow> m_offsets{};
    std::size_t m_offsetCount = 0;
    std::size_t m_offsetNext = 0;
    bool m_haveArrival = false;
    Time m_lastArrival{};
    Time m_gridOrigin{};
    long m_slot = 0;

    // Depth at recent arrivals while playing, in samples (all channels).
    static constexpr std::size_t kDepthWindow = 50;
    std::array<long, kDepthWindow> m_depths{};
    std::size_t m_depthCount = 0;
    std::size_t m_depthNext = 0;

    Time m_lastPullAt{};                // when samples were last taken ...
    std::size_t m_lastPullSamples = 0;  // ... and how many
    std::vector<int16_t> m_tail;        // the last samples handed out
    std::size_t m_fadeLeft = 0;         // fade-out samples still to come in this underrun
    uint64_t m_concealed = 0;
    uint64_t m_played = 0;
    uint64_t m_edited = 0;
};

}  // namespace zorvo::audio
