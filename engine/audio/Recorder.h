#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "engine/Export.h"
#include "engine/audio/AudioEndpoint.h"

namespace zorvo::audio {
class PlayedSignal;
}

// Posted to the thread given to Recorder::Start for every filled capture buffer.
constexpr uint32_t MM_WIM_DATA = 0x3C0;

// Captures 16-bit frames from an audio endpoint into a ring of capture buffers. A capturing thread
// inside the recorder fills the buffers in turn, marks each done and posts MM_WIM_DATA; the
// consumer reads the current buffer and gives it back with BufferDone, which moves on to the next.
// When all buffers are full the capture waits (samples are lost, as on a sound card).
class VOXLANE_API Recorder {
  public:
    static constexpr int kBufferCount = 5;

    Recorder(uint32_t bufferSamples, uint32_t samplesPerSecond, uint16_t channels,
             uint16_t bitsPerSample);
    ~Recorder();

    Recorder(const Recorder&) = delete;
    Recorder& operator=(const Recorder&) = delete;

    // Chooses the input endpoint (see AudioEndpoint.h); takes effect at the next Start.
    void SetEndpoint(const std::string& endpoint);

    // Opens the endpoint, queues the capture buffers and starts capturing; filled buffers are
    // reported to `threadId`. Non-zero on success; on failure LastError() says why.
    int Start(uint32_t threadId);

    // The capture buffer the consumer is to read next, its done flag and its data
    // (bufferSamples samples).
    int CurrentBuffer() const;
    bool IsBufferDone(int index) const;
    const char* BufferData(int index) const;
    uint32_t BufferBytes() const;

    // Gives the current buffer back for capturing and moves on to the next. Returns 1.
    int BufferDone();

    // Stops capturing and returns every capture buffer.
    void Reset();

    // Ends capturing and closes the endpoint.
    void Stop();

    std::string LastError() const;

    // Echo cancellation, noise suppression and automatic gain on sound-card capture: on unless
    // switched off here; takes effect at the next Start. Files and "none" are never processed.
    void SetProcessing(bool on);
    // What the speaker played, the echo canceller's reference (null: no echo cancellation); takes
    // effect at the next Start.
    void SetPlayedSignal(std::shared_ptr<zorvo::audio::PlayedSignal> played);
    // True while a started recorder processes what it captures.
    bool IsProcessing() const;
    // The input latency the open endpoint reports, in seconds (0 for a file or when closed).
    double DeviceLatency() const;

    struct Impl;

  private:
    std::unique_ptr<Impl> m_impl;
};
