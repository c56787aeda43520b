#include "engine/audio/PlayoutBuffer.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <limits>

namespace zorvo::audio {
namespace {

// The device takes 20 ms at a time, so the depth an arrival finds must stay well above that.
constexpr double kSafetyMs = 40;    // depth the latest recent arrival should still find
constexpr double kDeadbandMs = 10;  // the low watermark may stray this far before an edit
// Asked for at one arrival, at most (an edit may take twice that to match a pitch period).
constexpr double kMaxEditMs = 5;
constexpr double kCrossfadeMs = 4;       // joins the two sides of an edit
constexpr double kFadeMs = 5;            // fade-out into an underrun and fade-in out of it
constexpr double kMaxTargetMs = 400;     // the start depth never exceeds this
constexpr std::size_t kMinEvidence = 5;  // arrivals seen while playing before the depth is steered

std::size_t MsToFrames(double ms, uint32_t rate) {
    return static_cast<std::size_t>(std::lround(ms * rate / 1000.0));
}

double Ms(PlayoutBuffer::Clock::duration d) {
    return std::chrono::duration<double, std::milli>(d).count();
}

PlayoutBuffer::Clock::duration FromMs(double ms) {
    return std::chrono::duration_cast<PlayoutBuffer::Clock::duration>(
        std::chrono::duration<double, std::milli>(ms));
}

int16_t Clip(double v) {
    return static_cast<int16_t>(std::clamp(std::lround(v), -32768l, 32767l));
}

}  // namespace

PlayoutBuffer::PlayoutBuffer(const AudioFormat& format, bool device)
    : m_format(format),
      m_frameSamples(std::size_t{format.bufferSamples} * std::max<uint16_t>(format.channels, 1)),
      m_device(device),
      m_frameMs(format.sampleRate ? 1000.0 * format.bufferSamples / format.sampleRate : 1),
      m_canEdit(format.channels == 1 &&
                format.bufferSamples >= 4 * MsToFrames(kCrossfadeMs, format.sampleRate) +
                                            2 * MsToFrames(kMaxEditMs, format.sampleRate)) {
    const std::size_t capacity =
        m_frameSamples + (m_canEdit ? 2 * MsToFrames(kMaxEditMs, format.sampleRate) : 0);
    for (Slot& slot : m_slots) {
        slot.samples.resize(capacity);
    }
    m_tail.assign(MsToFrames(kFadeMs, format.sampleRate) * std::max<uint16_t>(format.channels, 1),
                  0);
}

int PlayoutBuffer::Push(const int16_t* frame, Time now) {
    NoteArrival(now);
    long change = 0;
    int dropped = 0;
    if (m_state == State::kPlaying) {
        NoteDepth(now);
        dropped += Control(&change);
    }
    if (m_frames == kMaxFrames) {
        dropped += DropFrame(0);
    }
    Slot& slot = At(m_frames);
    if (change != 0) {
        slot.length = Edit(frame, m_frameSamples, change, slot.samples.data());
        const long done = static_cast<long>(slot.length) - static_cast<long>(m_frameSamples);
        ShiftDepths(done);
        m_edited += static_cast<uint64_t>(std::labs(done));
    } else {
        std::memcpy(slot.samples.data(), frame, m_frameSamples * sizeof(int16_t));
        slot.length = m_frameSamples;
    }
    slot.position = 0;
    ++m_frames;
    m_queuedSamples += slot.length;

    if (m_state == State::kIdle) {
        m_state = State::kWaiting;
        m_startAt = ResumeTime(now);
    } else if (m_state == State::kConcealing && !m_startSet) {
        m_startAt = ResumeTime(now);
        m_startSet = true;
    }
    return dropped;
}

PlayoutBuffer::Pulled PlayoutBuffer::Pull(int16_t* out, std::size_t count, Time now) {
    Pulled pulled;
    switch (m_state) {
        case State::kIdle:
            return pulled;
        case State::kWaiting:
            if (now < m_startAt) {
                return pulled;
            }
            m_state = State::kPlaying;
            break;
        case State::kConcealing:
            if (m_frames == 0 || !m_startSet || now < m_startAt) {
                Conceal(out, 0, count);
                pulled.samples = count;
                return pulled;
            }
            m_state = State::kPlaying;
            m_fadeInNext = true;
            break;
        case State::kPlaying:
            break;
    }
    std::size_t got = CopyOut(out, count, &pulled.completed);
    m_lastPullAt = now;
    m_lastPullSamples = got;
    if (m_fadeInNext) {
        FadeIn(out, got);
        m_fadeInNext = false;
    }
    m_played += got;
    RememberTail(out, got);
    if (got < count) {
        // Run dry: whatever comes next is measured afresh.
        const std::size_t channels = std::max<uint16_t>(m_format.channels, 1);
        m_everDry = true;
        m_dryAt = now + FromMs(1000.0 * (got / channels) / m_format.sampleRate);
        m_depthCount = 0;
        m_startSet = false;
        if (m_device) {
            m_state = State::kConcealing;
            m_fadeLeft = m_tail.size() / channels;
            Conceal(out, got, count);
            got = count;
        } else {
            m_state = State::kIdle;
        }
    }
    pulled.samples = got;
    return pulled;
}

PlayoutBuffer::Time PlayoutBuffer::NextOutput() const {
    switch (m_state) {
        case State::kIdle:
            return Time::max();
        case State::kWaiting:
            return m_startAt;
        default:
            return Time::min();
    }
}

int PlayoutBuffer::Clear() {
    const int dropped = static_cast<int>(m_frames);
    m_frames = 0;
    m_queuedSamples = 0;
    m_state = State::kIdle;
    m_everDry = false;
    m_startSet = false;
    m_fadeInNext = false;
    m_depthCount = 0;
    return dropped;
}

std::size_t PlayoutBuffer::TargetSamples() const {
    return MsToFrames(TargetMs(), m_format.sampleRate) * std::max<uint16_t>(m_format.channels, 1);
}

void PlayoutBuffer::NoteArrival(Time now) {
    if (!m_haveArrival) {
        m_haveArrival = true;
        m_gridOrigin = now;
        m_slot = 0;
    } else {
        // A duplicate shares its original's slot; a gap of lost or unsent frames skips theirs.
        m_slot += std::max(0l, std::lround(Ms(now - m_lastArrival) / m_frameMs));
    }
    m_lastArrival = now;
    m_offsets[m_offsetNext] = Ms(now - m_gridOrigin) - static_cast<double>(m_slot) * m_frameMs;
    m_offsetNext = (m_offsetNext + 1) % kJitterWindow;
    m_offsetCount = std::min(m_offsetCount + 1, kJitterWindow);
}

void PlayoutBuffer::NoteDepth(Time now) {
    // What was handed to the device last and has not been played yet counts too, so that the
    // depth does not jump by a whole chunk with the moment of arrival.
    const double since = Ms(now - m_lastPullAt) * m_format.sampleRate / 1000.0 *
                         std::max<uint16_t>(m_format.channels, 1);
    const long unplayed = std::max(0l, static_cast<long>(m_lastPullSamples) - std::lround(since));
    m_depths[m_depthNext] = static_cast<long>(m_queuedSamples) + unplayed;
    m_depthNext = (m_depthNext + 1) % kDepthWindow;
    m_depthCount = std::min(m_depthCount + 1, kDepthWindow);
}

double PlayoutBuffer::JitterMs() const {
    if (m_offsetCount < 2) {
        return 0;
    }
    auto [low, high] = std::minmax_element(m_offsets.begin(), m_offsets.begin() + m_offsetCount);
    return *high - *low;
}

double PlayoutBuffer::TargetMs() const {
    return std::min(kSafetyMs + JitterMs(), kMaxTargetMs);
}

PlayoutBuffer::Time PlayoutBuffer::ResumeTime(Time now) const {
    const Time atTarget = now + FromMs(TargetMs());
    if (!m_everDry) {
        return atTarget;
    }
    // The frames that were missing would have ended on the sender's frame grid, counted from the
    // moment the buffer ran dry; when a frame arrives before that, the grid is kept.
    const double missing = std::max(1.0, std::ceil(Ms(now - m_dryAt) / m_frameMs));
    const Time onGrid = m_dryAt + FromMs(missing * m_frameMs);
    return std::max(now, std::min(onGrid, atTarget));
}

int PlayoutBuffer::Control(long* change) {
    if (m_depthCount < kMinEvidence) {
        return 0;
    }
    const uint32_t rate = m_format.sampleRate;
    const long channels = std::max<uint16_t>(m_format.channels, 1);
    const long safety = static_cast<long>(MsToFrames(kSafetyMs, rate)) * channels;
    // The low watermark: the second lowest depth of the window, so that one arrival held up
    // once (a busy machine) does not hold the depth up for the whole window.
    std::array<long, kDepthWindow> sorted{};
    std::partial_sort_copy(m_depths.begin(), m_depths.begin() + m_depthCount, sorted.begin(),
                           sorted.begin() + 2);
    const long low = sorted[1];
    const long excess = low - safety;
    // A whole frame's excess is judged on the last few arrivals only, so that a duplicate or a
    // burst is shed within a second.
    long recent = std::numeric_limits<long>::max();
    for (std::size_t i = 0; i < kMinEvidence; ++i) {
        recent = std::min(recent, m_depths[(m_depthNext + kDepthWindow - 1 - i) % kDepthWindow]);
    }
    if (recent - safety >= static_cast<long>(m_frameSamples)) {
        // A whole frame too many (a burst, a duplicate): the oldest one not yet begun goes.
        const std::size_t index = m_frames > 0 && At(0).position > 0 ? 1 : 0;
        if (index < m_frames) {
            const Slot& slot = At(index);
            const long size = static_cast<long>(slot.length - slot.position);
            ShiftDepths(-size);
            return DropFrame(index);
        }
        return 0;
    }
    if (!m_canEdit) {
        return 0;
    }
    const long deadband = static_cast<long>(MsToFrames(kDeadbandMs, rate));
    const long maxEdit = static_cast<long>(MsToFrames(kMaxEditMs, rate));
    if (excess > deadband) {
        *change = -std::min(excess, maxEdit);
    } else if (excess < -deadband) {
        *change = std::min(-excess, maxEdit);
    }
    return 0;
}

// Cuts (change < 0) or repeats (change > 0) about |change| samples of a mono frame where it is
// quietest: output = in[0, a) + crossfade(in[a, a+L), in[b, b+L)) + in[b+L, n), b = a - change.
// The exact amount is chosen near the one asked for so that the two sides of the crossfade are
// most alike (a whole pitch period of a voiced sound), so that they add up instead of cancelling.
// Returns the output's length.
std::size_t PlayoutBuffer::Edit(const int16_t* in, std::size_t n, long change, int16_t* out) const {
    const long length = static_cast<long>(MsToFrames(kCrossfadeMs, m_format.sampleRate));
    const long most = 2 * static_cast<long>(MsToFrames(kMaxEditMs, m_format.sampleRate));
    const long wanted = std::min(std::labs(change), most);
    const long widest = std::min(most, std::max(2 * wanted, most / 2));
    const long first = change > 0 ? widest : 0;
    const long last = static_cast<long>(n) - length - (change > 0 ? 0 : widest);
    long a = first;
    double lowest = std::numeric_limits<double>::max();
    for (long at = first; at <= last; at += 4) {
        const long from = change > 0 ? at - wanted : at;
        double energy = 0;
        for (long i = from; i < from + wanted + length; ++i) {
            energy += static_cast<double>(in[i]) * in[i];
        }
        if (energy < lowest) {
            lowest = energy;
            a = at;
        }
    }
    long d = wanted;
    double best = -2;
    for (long shift = 1; shift <= widest; ++shift) {
        const long b = change > 0 ? a - shift : a + shift;
        double xy = 0, xx = 1, yy = 1;
        for (long i = 0; i < length; ++i) {
            xy += static_cast<double>(in[a + i]) * in[b + i];
            xx += static_cast<double>(in[a + i]) * in[a + i];
            yy += static_cast<double>(in[b + i]) * in[b + i];
        }
        // Alike first; between equally alike shifts, the one nearer the amount asked for.
        const double score = xy / std::sqrt(xx * yy) - 0.002 * std::labs(shift - wanted);
        if (score > best) {
            best = score;
            d = shift;
        }
    }
    const long b = change > 0 ? a - d : a + d;
    std::memcpy(out, in, static_cast<std::size_t>(a) * sizeof(int16_t));
    for (long i = 0; i < length; ++i) {
        const double w = static_cast<double>(i + 1) / (length + 1);
        out[a + i] = Clip(in[a + i] * (1 - w) + in[b + i] * w);
    }
    const long rest = static_cast<long>(n) - (b + length);
    std::memcpy(out + a + length, in + b + length,
                static_cast<std::size_t>(rest) * sizeof(int16_t));
    return static_cast<std::size_t>(a + length + rest);
}

int PlayoutBuffer::DropFrame(std::size_t index) {
    if (index >= m_frames) {
        return 0;
    }
    m_queuedSamples -= At(index).length - At(index).position;
    if (index == 0) {
        m_head = (m_head + 1) % kMaxFrames;
    } else {
        for (std::size_t i = index; i + 1 < m_frames; ++i) {
            std::swap(At(i), At(i + 1));
        }
    }
    --m_frames;
    return 1;
}

void PlayoutBuffer::ShiftDepths(long change) {
    for (std::size_t i = 0; i < m_depthCount; ++i) {
        m_depths[i] += change;
    }
}

std::size_t PlayoutBuffer::CopyOut(int16_t* out, std::size_t count, int* completed) {
    std::size_t got = 0;
    while (got < count && m_frames > 0) {
        Slot& slot = At(0);
        const std::size_t take = std::min(slot.length - slot.position, count - got);
        std::memcpy(out + got, slot.samples.data() + slot.position, take * sizeof(int16_t));
        slot.position += take;
        got += take;
        m_queuedSamples -= take;
        if (slot.position == slot.length) {
            m_head = (m_head + 1) % kMaxFrames;
            --m_frames;
            ++*completed;
        }
    }
    return got;
}

// Fills out[from, count) with the fade-out still due (the last samples played, mirrored, so that
// the wave turns back without a step, and growing quieter), then silence.
void PlayoutBuffer::Conceal(int16_t* out, std::size_t from, std::size_t count) {
    const std::size_t channels = std::max<uint16_t>(m_format.channels, 1);
    const std::size_t fade = m_tail.size() / channels;
    for (std::size_t i = from; i + channels <= count; i += channels) {
        if (m_fadeLeft == 0) {
            std::fill(out + i, out + i + channels, int16_t{0});
            continue;
        }
        const std::size_t k = fade - m_fadeLeft;
        const double gain = static_cast<double>(m_fadeLeft) / static_cast<double>(fade + 1);
        for (std::size_t c = 0; c < channels; ++c) {
            out[i + c] = Clip(m_tail[(fade - 1 - k) * channels + c] * gain);
        }
        --m_fadeLeft;
    }
    m_concealed += count - from;
}

void PlayoutBuffer::FadeIn(int16_t* out, std::size_t count) {
    const std::size_t channels = std::max<uint16_t>(m_format.channels, 1);
    const std::size_t fade = m_tail.size() / channels;
    for (std::size_t k = 0; k < fade && (k + 1) * channels <= count; ++k) {
        const double gain = static_cast<double>(k + 1) / static_cast<double>(fade + 1);
        for (std::size_t c = 0; c < channels; ++c) {
            out[k * channels + c] = Clip(out[k * channels + c] * gain);
        }
    }
}

void PlayoutBuffer::RememberTail(const int16_t* out, std::size_t count) {
    const std::size_t size = m_tail.size();
    if (count >= size) {
        std::memcpy(m_tail.data(), out + count - size, size * sizeof(int16_t));
        return;
    }
    std::memmove(m_tail.data(), m_tail.data() + count, (size - count) * sizeof(int16_t));
    std::memcpy(m_tail.data() + size - count, out, count * sizeof(int16_t));
}

}  // namespace zorvo::audio
