#include "engine/audio/Player.h"

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/audio/AudioBackend.h"
#include "engine/audio/EndpointWorker.h"
#include "engine/audio/PlayoutBuffer.h"
#include "engine/audio/VoiceProcessor.h"
#include "util/Messages.h"

// AddBuffer hands each frame to the adaptive playout buffer (PlayoutBuffer.h), which copies it;
// the playing thread takes 20 ms at a time from it, when it is due, and writes them to the
// endpoint, which blocks for as long as a device needs. Every accepted frame gets exactly one
// MM_WOM_DONE: after its last sample has been written, or when it is dropped (by the playout
// buffer's bound or depth control, Reset, Stop, device failure).
struct Player::Impl : zorvo::audio::EndpointWorker<PlaybackStream> {
    explicit Impl(const AudioFormat& f)
        : format(f),
          bytes(zorvo::audio::BufferBytes(f)),
          samples(bytes / sizeof(int16_t)),
          chunkSamples(std::max<std::size_t>(f.sampleRate / 50, 1) * f.channels) {
        chunk.resize(chunkSamples);
    }

    void PlayLoop();
    // Waits until the playout buffer has samples due and takes them; false once stopping.
    bool TakeChunk(zorvo::audio::PlayoutBuffer::Pulled* pulled, uint32_t* target);

    const AudioFormat format;
    const std::size_t bytes;         // of one frame; 0 when the format is refused
    const std::size_t samples;       // in one frame, all channels
    const std::size_t chunkSamples;  // written to the endpoint at a time

    // Made at Start for the endpoint opened (a device or a file); `wake`: a frame was queued, or
    // playing stops.
    std::unique_ptr<zorvo::audio::PlayoutBuffer> playout;
    std::vector<int16_t> chunk;  // used by the playing thread only
    bool accepting = false;      // AddBuffer takes frames
    std::atomic<uint32_t> open{0};
    double latency = 0;  // of the open endpoint, as it reports it
    std::shared_ptr<zorvo::audio::PlayedSignal> played;
};

namespace {

void ReportDone(uint32_t threadId, int count) {
    for (int i = 0; i < count; ++i) {
        PostThreadMessage(threadId, MM_WOM_DONE, 0, 0);
    }
}

}  // namespace

bool Player::Impl::TakeChunk(zorvo::audio::PlayoutBuffer::Pulled* pulled, uint32_t* target) {
    using Buffer = zorvo::audio::PlayoutBuffer;
    std::unique_lock guard(lock);
    for (;;) {
        if (stopping) {
            return false;
        }
        const Buffer::Time now = Buffer::Clock::now();
        const Buffer::Time next = playout->NextOutput();
        if (next <= now) {
            *pulled = playout->Pull(chunk.data(), chunkSamples, now);
            if (pulled->samples > 0 || pulled->completed > 0) {
                *target = threadId;
                return true;
            }
        } else if (next == Buffer::Time::max()) {
            wake.wait(guard);
        } else {
            wake.wait_until(guard, next);
        }
    }
}

void Player::Impl::PlayLoop() {
    const bool device = stream->IsDevice();
    std::shared_ptr<zorvo::audio::PlayedSignal> signal;
    {
        std::lock_guard guard(lock);
        signal = played;
    }
    for (;;) {
        zorvo::audio::PlayoutBuffer::Pulled pulled;
        uint32_t target = 0;
        if (!TakeChunk(&pulled, &target)) {
            return;
        }
        if (device && signal) {
            const auto heardAt = std::chrono::steady_clock::now() +
                                 std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                                     std::chrono::duration<double>(latency));
            signal->Add(chunk.data(), pulled.samples, heardAt);
        }
        if (!stream->Write(chunk.data(), pulled.samples)) {
            int dropped = 0;
            {
                std::lock_guard guard(lock);
                lastError = "the playback device failed";
                accepting = false;
                open.store(0);
                dropped = playout->Clear();
            }
            ReportDone(target, dropped + pulled.completed);
            return;
        }
        ReportDone(target, pulled.completed);
    }
}

Player::Player(uint32_t bufferSamples, uint32_t samplesPerSecond, uint16_t channels,
               uint16_t bitsPerSample)
    : m_impl(std::make_unique<Impl>(
          AudioFormat{bufferSamples, samplesPerSecond, channels, bitsPerSample})) {}

Player::~Player() {
    Stop();
}

void Player::SetEndpoint(const std::string& endpoint) {
    m_impl->SetEndpoint(endpoint);
}

int Player::Start(uint32_t threadId) {
    Impl& d = *m_impl;
    return d.StartWorker(
        d.format, threadId, "the player is already started", &OpenPlaybackEndpoint,
        [&d] {
            d.playout =
                std::make_unique<zorvo::audio::PlayoutBuffer>(d.format, d.stream->IsDevice());
            d.latency = d.stream->LatencySeconds();
        },
        [&d] { d.PlayLoop(); },
        [&d] {
            d.accepting = true;
            d.open.store(1);
        });
}

int Player::AddBuffer(const char* frame) {
    Impl& d = *m_impl;
    if (frame == nullptr) {
        return 0;
    }
    int dropped = 0;
    uint32_t target = 0;
    {
        std::lock_guard guard(d.lock);
        if (!d.accepting) {
            return 0;
        }
        dropped = d.playout->Push(reinterpret_cast<const int16_t*>(frame),
                                  zorvo::audio::PlayoutBuffer::Clock::now());
        target = d.threadId;
    }
    d.wake.notify_one();
    ReportDone(target, dropped);
    return 1;
}

int Player::PlayComplete() {
    return 1;
}

void Player::Reset() {
    Impl& d = *m_impl;
    int dropped = 0;
    uint32_t target = 0;
    {
        std::lock_guard guard(d.lock);
        dropped = d.playout ? d.playout->Clear() : 0;
        target = d.threadId;
    }
    ReportDone(target, dropped);
}

void Player::Stop() {
    Impl& d = *m_impl;
    int dropped = 0;
    uint32_t target = 0;
    d.StopWorker([&] {
        d.accepting = false;
        d.open.store(0);
        dropped = d.playout ? d.playout->Clear() : 0;
        target = d.threadId;
    });
    ReportDone(target, dropped);
}

uint32_t Player::IsOpen() const {
    return m_impl->open.load();
}

std::string Player::LastError() const {
    return m_impl->LastError();
}

double Player::DeviceLatency() const {
    std::lock_guard guard(m_impl->lock);
    return m_impl->latency;
}

void Player::SetPlayedSignal(std::shared_ptr<zorvo::audio::PlayedSignal> played) {
    std::lock_guard guard(m_impl->lock);
    m_impl->played = std::move(played);
}
