#include "engine/audio/Player.h"

#include <condition_variable>
#include <cstring>
#include <mutex>
#include <thread>
#include <vector>

#include "engine/audio/AudioBackend.h"
#include "engine/audio/EndpointWorker.h"
#include "util/Messages.h"

// AddBuffer copies each frame into one of a fixed number of slots; the playing thread takes the
// oldest, copies it out and writes it to the endpoint, which blocks for as long as the frame takes
// to play. When frames come in faster than they play, the oldest queued one is dropped, so the
// delay a listener hears never grows beyond the queue. Every accepted frame gets exactly one
// MM_WOM_DONE: after it has played, or when it is dropped (full queue, Reset, Stop, device
// failure).
struct Player::Impl : zorvo::audio::EndpointWorker<PlaybackStream> {
    static constexpr int kSlots = 8;

    explicit Impl(const AudioFormat& f)
        : format(f), bytes(zorvo::audio::BufferBytes(f)), samples(bytes / sizeof(int16_t)) {
        slots.resize(samples * kSlots);
        playing.resize(samples);
    }

    void PlayLoop();
    // Drops every queued frame; call with the lock held. Returns how many there were.
    int DropQueued() {
        int dropped = queued;
        queued = 0;
        return dropped;
    }

    const AudioFormat format;
    const std::size_t bytes;    // of one frame; 0 when the format is refused
    const std::size_t samples;  // in one frame, all channels

    std::vector<int16_t> slots;    // kSlots frames, a ring starting at `head`
    std::vector<int16_t> playing;  // the frame being written by the playing thread

    // `wake`: a frame was queued, or playing stops.
    int head = 0;
    int queued = 0;
    bool accepting = false;  // AddBuffer takes frames
    std::atomic<uint32_t> open{0};
};

namespace {

void ReportDone(uint32_t threadId, int count) {
    for (int i = 0; i < count; ++i) {
        PostThreadMessage(threadId, MM_WOM_DONE, 0, 0);
    }
}

}  // namespace

void Player::Impl::PlayLoop() {
    for (;;) {
        uint32_t target = 0;
        {
            std::unique_lock guard(lock);
            wake.wait(guard, [this] { return stopping || queued > 0; });
            if (stopping) {
                return;
            }
            std::memcpy(playing.data(), slots.data() + head * samples, bytes);
            head = (head + 1) % kSlots;
            --queued;
            target = threadId;
        }
        if (!stream->Write(playing.data(), samples)) {
            int dropped = 0;
            {
                std::lock_guard guard(lock);
                lastError = "the playback device failed";
                accepting = false;
                open.store(0);
                dropped = DropQueued();
            }
            ReportDone(target, dropped + 1);
            return;
        }
        ReportDone(target, 1);
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
            d.head = 0;
            d.queued = 0;
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
    bool dropped = false;
    uint32_t target = 0;
    {
        std::lock_guard guard(d.lock);
        if (!d.accepting) {
            return 0;
        }
        if (d.queued == Impl::kSlots) {
            d.head = (d.head + 1) % Impl::kSlots;
            --d.queued;
            dropped = true;
        }
        int slot = (d.head + d.queued) % Impl::kSlots;
        std::memcpy(d.slots.data() + slot * d.samples, frame, d.bytes);
        ++d.queued;
        target = d.threadId;
    }
    d.wake.notify_one();
    if (dropped) {
        ReportDone(target, 1);
    }
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
        dropped = d.DropQueued();
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
        dropped = d.DropQueued();
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
