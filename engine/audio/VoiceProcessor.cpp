#include "engine/audio/VoiceProcessor.h"

#include <speex/speex_echo.h>
#include <speex/speex_preprocess.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace zorvo::audio {
namespace {

constexpr double kBlockMs = 20;
constexpr double kEchoTailMs = 200;
// The reference is taken this much earlier than the device's latencies put it, so that an echo
// never comes before its reference even when the reported latencies are a little off.
constexpr double kReferenceLeadMs = 20;

std::size_t MsToSamples(double ms, uint32_t rate) {
    return static_cast<std::size_t>(std::lround(ms * rate / 1000.0));
}

}  // namespace

PlayedSignal::PlayedSignal(uint32_t sampleRate)
    : m_rate(sampleRate ? sampleRate : 8000), m_ring(2 * std::size_t{m_rate}, 0) {}

void PlayedSignal::Add(const int16_t* samples, std::size_t count, Time heardAt) {
    std::lock_guard guard(m_lock);
    const std::size_t size = m_ring.size();
    for (std::size_t i = 0; i < count; ++i) {
        m_ring[(m_total + i) % size] = samples[i];
    }
    m_anchor = m_total;
    m_anchorTime = heardAt;
    m_total += count;
}

void PlayedSignal::Get(int16_t* out, std::size_t count, Time from) const {
    std::lock_guard guard(m_lock);
    const std::size_t size = m_ring.size();
    const double offset =
        std::chrono::duration<double>(from - m_anchorTime).count() * static_cast<double>(m_rate);
    const int64_t first = static_cast<int64_t>(m_anchor) + std::llround(offset);
    const int64_t oldest = static_cast<int64_t>(m_total) - static_cast<int64_t>(size);
    for (std::size_t i = 0; i < count; ++i) {
        const int64_t index = first + static_cast<int64_t>(i);
        const bool known = m_total > 0 && index >= std::max<int64_t>(oldest, 0) &&
                           index < static_cast<int64_t>(m_total);
        out[i] = known ? m_ring[static_cast<std::size_t>(index) % size] : 0;
    }
}

struct VoiceProcessor::State {
    SpeexEchoState* echo = nullptr;
    SpeexPreprocessState* preprocess = nullptr;

    ~State() {
        if (preprocess != nullptr) {
            speex_preprocess_state_destroy(preprocess);
        }
        if (echo != nullptr) {
            speex_echo_state_destroy(echo);
        }
    }
};

VoiceProcessor::VoiceProcessor(uint32_t sampleRate, const VoiceProcessing& what)
    : m_block(MsToSamples(kBlockMs, sampleRate)),
      m_rate(sampleRate),
      m_state(std::make_unique<State>()),
      m_reference(m_block, 0),
      m_out(m_block, 0) {
    int rate = static_cast<int>(sampleRate);
    const int block = static_cast<int>(m_block);
    if (what.echo) {
        m_state->echo =
            speex_echo_state_init(block, static_cast<int>(MsToSamples(kEchoTailMs, sampleRate)));
        speex_echo_ctl(m_state->echo, SPEEX_ECHO_SET_SAMPLING_RATE, &rate);
    }
    m_state->preprocess = speex_preprocess_state_init(block, rate);
    int denoise = what.noise ? 1 : 0;
    int agc = what.gain ? 1 : 0;
    speex_preprocess_ctl(m_state->preprocess, SPEEX_PREPROCESS_SET_DENOISE, &denoise);
    speex_preprocess_ctl(m_state->preprocess, SPEEX_PREPROCESS_SET_AGC, &agc);
    if (m_state->echo != nullptr) {
        // The preprocessor also takes out what is left of the echo after the canceller.
        speex_preprocess_ctl(m_state->preprocess, SPEEX_PREPROCESS_SET_ECHO_STATE, m_state->echo);
    }
}

VoiceProcessor::~VoiceProcessor() = default;

void VoiceProcessor::Process(int16_t* samples, const int16_t* reference, std::size_t count) {
    for (std::size_t at = 0; at + m_block <= count; at += m_block) {
        int16_t* block = samples + at;
        if (m_state->echo != nullptr) {
            const int16_t* played = reference != nullptr ? reference + at : m_reference.data();
            if (reference == nullptr) {
                std::fill(m_reference.begin(), m_reference.end(), int16_t{0});
            }
            speex_echo_cancellation(m_state->echo, block, played, m_out.data());
            std::memcpy(block, m_out.data(), m_block * sizeof(int16_t));
        }
        speex_preprocess_run(m_state->preprocess, block);
    }
}

void VoiceProcessor::Process(int16_t* samples, std::size_t count, const PlayedSignal& played,
                             Time capturedAt) {
    const auto lead = std::chrono::duration_cast<Time::duration>(
        std::chrono::duration<double, std::milli>(kReferenceLeadMs));
    const auto blockTime = std::chrono::duration_cast<Time::duration>(
        std::chrono::duration<double>(static_cast<double>(m_block) / m_rate));
    Time at = capturedAt - lead;
    for (std::size_t done = 0; done + m_block <= count; done += m_block) {
        played.Get(m_reference.data(), m_block, at);
        std::vector<int16_t>& ref = m_reference;
        if (m_state->echo != nullptr) {
            speex_echo_cancellation(m_state->echo, samples + done, ref.data(), m_out.data());
            std::memcpy(samples + done, m_out.data(), m_block * sizeof(int16_t));
        }
        speex_preprocess_run(m_state->preprocess, samples + done);
        at += blockTime;
    }
}

}  // namespace zorvo::audio
