#include "engine/audio/Recorder.h"

#include <array>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/audio/AudioBackend.h"
#include "engine/audio/EndpointWorker.h"
#include "engine/audio/VoiceProcessor.h"
#include "util/Messages.h"

// Ownership of each capture buffer moves in a ring: the capturing thread fills the buffers in
// order 0, 1, ... 4, 0, ... and hands each to the consumer by setting its done flag; the consumer
// reads them in the same order and hands each back with BufferDone. The capturing thread reads
// from the endpoint into a buffer of its own and copies into the ring under the lock, so a buffer
// taken back by Reset in the middle of a read is never written behind the consumer's back.
struct Recorder::Impl : zorvo::audio::EndpointWorker<CaptureStream> {
    explicit Impl(const AudioFormat& f)
        : format(f), bytes(zorvo::audio::BufferBytes(f)), samples(bytes / sizeof(int16_t)) {
        ring.resize(samples * kBufferCount);
        staging.resize(samples);
    }

    void CaptureLoop();
    // Cleans up what a sound card captured (echo, noise, level); files pass untouched.
    void Clean(std::chrono::steady_clock::time_point readAt);

    const AudioFormat format;
    const std::size_t bytes;    // of one buffer; 0 when the format is refused
    const std::size_t samples;  // in one buffer, all channels

    std::vector<int16_t> ring;     // kBufferCount buffers, one after the other
    std::vector<int16_t> staging;  // the capturing thread's read target

    // `wake`: a buffer was given back, or capture stops.
    std::array<std::atomic<bool>, kBufferCount> done{};  // filled, owned by the consumer
    std::array<bool, kBufferCount> queued{};             // given back, owned by the capture
    std::atomic<int> current{0};                         // the consumer's next buffer
    int fill = 0;                                        // the capture's next buffer
    bool capturing = false;                              // false after Reset

    bool processing = true;                              // clean up sound-card capture
    std::shared_ptr<zorvo::audio::PlayedSignal> played;  // the echo canceller's reference
    double latency = 0;                                  // of the open endpoint
    // Set at Start for a sound card, with the reference it reads; used by the capturing thread.
    std::unique_ptr<zorvo::audio::VoiceProcessor> processor;
    std::shared_ptr<zorvo::audio::PlayedSignal> reference;
};

void Recorder::Impl::Clean(std::chrono::steady_clock::time_point readAt) {
    if (!processor) {
        return;
    }
    if (!reference) {
        processor->Process(staging.data(), nullptr, samples);
        return;
    }
    // The buffer's first sample reached the microphone one buffer and the device's latency
    // before Read handed the buffer out.
    const auto span =
        std::chrono::duration<double>(latency + static_cast<double>(samples) / format.sampleRate);
    const auto capturedAt =
        readAt - std::chrono::duration_cast<std::chrono::steady_clock::duration>(span);
    processor->Process(staging.data(), samples, *reference, capturedAt);
}

void Recorder::Impl::CaptureLoop() {
    for (;;) {
        int index = 0;
        {
            std::unique_lock guard(lock);
            wake.wait(guard, [this] { return stopping || (capturing && queued[fill]); });
            if (stopping) {
                return;
            }
            index = fill;
        }
        if (!stream->Read(staging.data(), samples)) {
            std::lock_guard guard(lock);
            lastError = "the capture device failed";
            capturing = false;
            return;
        }
        Clean(std::chrono::steady_clock::now());
        uint32_t target = 0;
        {
            std::lock_guard guard(lock);
            if (stopping) {
                return;
            }
            if (!capturing || !queued[index]) {
                continue;  // taken back by Reset during the read: the samples are dropped
            }
            std::memcpy(ring.data() + index * samples, staging.data(), bytes);
            queued[index] = false;
            done[index].store(true, std::memory_order_release);
            fill = (fill + 1) % kBufferCount;
            target = threadId;
        }
        PostThreadMessage(target, MM_WIM_DATA, static_cast<uintptr_t>(index), 0);
    }
}

Recorder::Recorder(uint32_t bufferSamples, uint32_t samplesPerSecond, uint16_t channels,
                   uint16_t bitsPerSample)
    : m_impl(std::make_unique<Impl>(
          AudioFormat{bufferSamples, samplesPerSecond, channels, bitsPerSample})) {}

Recorder::~Recorder() {
    Stop();
}

void Recorder::SetEndpoint(const std::string& endpoint) {
    m_impl->SetEndpoint(endpoint);
}

int Recorder::Start(uint32_t threadId) {
    Impl& d = *m_impl;
    return d.StartWorker(
        d.format, threadId, "the recorder is already started", &OpenCaptureEndpoint,
        [&d] {
            for (int i = 0; i < kBufferCount; ++i) {
                d.queued[i] = true;
                d.done[i].store(false);
            }
            d.current.store(0);
            d.fill = 0;
            d.latency = d.stream->LatencySeconds();
            d.processor.reset();
            d.reference = d.played;
            if (d.processing && d.stream->IsDevice() && d.format.channels == 1) {
                d.processor = std::make_unique<zorvo::audio::VoiceProcessor>(
                    d.format.sampleRate, zorvo::audio::VoiceProcessing{});
            }
        },
        [&d] { d.CaptureLoop(); }, [&d] { d.capturing = true; });
}

int Recorder::CurrentBuffer() const {
    return m_impl->current.load(std::memory_order_acquire);
}

bool Recorder::IsBufferDone(int index) const {
    if (index < 0 || index >= kBufferCount) {
        return false;
    }
    return m_impl->done[index].load(std::memory_order_acquire);
}

const char* Recorder::BufferData(int index) const {
    if (index < 0 || index >= kBufferCount || m_impl->bytes == 0) {
        return nullptr;
    }
    return reinterpret_cast<const char*>(m_impl->ring.data() + index * m_impl->samples);
}

uint32_t Recorder::BufferBytes() const {
    return static_cast<uint32_t>(m_impl->bytes);
}

int Recorder::BufferDone() {
    Impl& d = *m_impl;
    {
        std::lock_guard guard(d.lock);
        int index = d.current.load();
        if (!d.done[index].load()) {
            return 1;  // nothing to give back: the ring stays in step with the capture
        }
        d.done[index].store(false);
        d.queued[index] = true;
        d.current.store((index + 1) % kBufferCount, std::memory_order_release);
    }
    d.wake.notify_all();
    return 1;
}

void Recorder::Reset() {
    Impl& d = *m_impl;
    std::array<int, kBufferCount> returned{};
    int count = 0;
    uint32_t target = 0;
    {
        std::lock_guard guard(d.lock);
        d.capturing = false;
        // Every buffer still with the capture comes back done, holding silence, and is reported
        // like a filled one, so the consumer's next MM_WIM_DATA always finds its buffer done.
        for (int n = 0; n < kBufferCount; ++n) {
            int index = (d.fill + n) % kBufferCount;
            if (!d.queued[index]) {
                continue;
            }
            std::memset(d.ring.data() + index * d.samples, 0, d.bytes);
            d.queued[index] = false;
            d.done[index].store(true, std::memory_order_release);
            returned[count++] = index;
        }
        target = d.threadId;
    }
    d.wake.notify_all();
    for (int i = 0; i < count; ++i) {
        PostThreadMessage(target, MM_WIM_DATA, static_cast<uintptr_t>(returned[i]), 0);
    }
}

void Recorder::Stop() {
    Impl& d = *m_impl;
    d.StopWorker([&d] { d.capturing = false; });
    std::lock_guard guard(d.lock);
    d.queued.fill(false);  // nothing is with the capture any more; Reset has nothing to return
}

std::string Recorder::LastError() const {
    return m_impl->LastError();
}

void Recorder::SetProcessing(bool on) {
    std::lock_guard guard(m_impl->lock);
    m_impl->processing = on;
}

void Recorder::SetPlayedSignal(std::shared_ptr<zorvo::audio::PlayedSignal> played) {
    std::lock_guard guard(m_impl->lock);
    m_impl->played = std::move(played);
}

bool Recorder::IsProcessing() const {
    std::lock_guard guard(m_impl->lock);
    return m_impl->processor != nullptr;
}

double Recorder::DeviceLatency() const {
    std::lock_guard guard(m_impl->lock);
    return m_impl->latency;
}
