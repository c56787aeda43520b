#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/Export.h"
#include "engine/audio/AudioEndpoint.h"

namespace zorvo::audio {
class PlayedSignal;
}

// Posted to the thread given to Player::Start for every buffer that has finished playing.
constexpr uint32_t MM_WOM_DONE = 0x3BD;

// Plays 16-bit frames on an audio endpoint. AddBuffer copies the frame before it returns; a
// playing thread inside the player writes the queued samples to the endpoint at real time, through
// an adaptive playout buffer that absorbs jitter, follows clock drift and conceals underruns
// (PlayoutBuffer.h), and posts MM_WOM_DONE for each finished frame. AddBuffer may be called on one
// thread while PlayComplete and Reset are called on another.
class VOXLANE_API Player {
  public:
    Player(uint32_t bufferSamples, uint32_t samplesPerSecond, uint16_t channels,
           uint16_t bitsPerSample);
    ~Player();

    Player(const Player&) = delete;
    Player& operator=(const Player&) = delete;

    // Chooses the output endpoint (see AudioEndpoint.h); takes effect at the next Start.
    void SetEndpoint(const std::string& endpoint);

    // Opens the endpoint; finished buffers are reported to `threadId`. Non-zero on success; on
    // failure LastError() says why.
    int Start(uint32_t threadId);

    // Queues one buffer (bufferSamples samples) for playing; the samples are copied at once.
    // Non-zero when queued.
    int AddBuffer(const char* frame);

    // Acknowledges one MM_WOM_DONE. Returns 1.
    int PlayComplete();

    // Stops output and drops every queued buffer.
    void Reset();

    // Ends output and closes the endpoint; called last.
    void Stop();

    // Non-zero while the player can play (between a successful Start and Stop).
    uint32_t IsOpen() const;

    std::string LastError() const;

    // The output latency the open endpoint reports, in seconds (0 for a file or when closed).
    double DeviceLatency() const;

    // Where the samples handed to a device are recorded for the echo canceller (null: nowhere);
    // takes effect at the next Start.
    void SetPlayedSignal(std::shared_ptr<zorvo::audio::PlayedSignal> played);

    struct Impl;

  private:
    std::unique_ptr<Impl> m_impl;
};
