#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

#include "engine/Export.h"

// Sample format of an audio stream: signed 16-bit little-endian PCM.
struct AudioFormat {
    uint32_t bufferSamples = 1600;  // samples per capture or playback buffer
    uint32_t sampleRate = 8000;
    uint16_t channels = 1;
    uint16_t bitsPerSample = 16;
};

// A source of captured samples, paced at real time: Read blocks until `count` samples are there.
class VOXLANE_API CaptureStream {
  public:
    virtual ~CaptureStream() = default;
    // Fills `samples` with `count` samples; false when the device failed.
    virtual bool Read(int16_t* samples, std::size_t count) = 0;
    // True for a sound card (a microphone in a room, worth cleaning up); false for a file.
    virtual bool IsDevice() const { return false; }
    // Time from the sound reaching the device to Read handing it out, as the device reports it.
    virtual double LatencySeconds() const { return 0; }
};

// A sink that plays samples at real time: Write blocks as long as the device needs.
class VOXLANE_API PlaybackStream {
  public:
    virtual ~PlaybackStream() = default;
    // Plays `count` samples; false when the device failed.
    virtual bool Write(const int16_t* samples, std::size_t count) = 0;
    // True for a device that runs on its own clock and must be fed without pause (it plays
    // silence, or clicks, when it runs dry); false for a file, where a pause is simply not there.
    virtual bool IsDevice() const { return false; }
    // Time from Write taking a sample to the sample being heard, as the device reports it.
    virtual double LatencySeconds() const { return 0; }
};

// An audio endpoint is named by a short text, chosen by the program that makes the engine:
//   "" or "default"  the sound card's default input or output device
//   "none"           no device: opening fails as a missing device would
//   anything else    a WAV file path: 8 kHz mono 16-bit; read (capture) or written (playback)
// Backends register themselves by name; the engine never names one.
VOXLANE_API std::unique_ptr<CaptureStream> OpenCaptureEndpoint(const std::string& endpoint,
                                                               const AudioFormat& format,
                                                               std::string* error);
VOXLANE_API std::unique_ptr<PlaybackStream> OpenPlaybackEndpoint(const std::string& endpoint,
                                                                 const AudioFormat& format,
                                                                 std::string* error);
