#pragma once

// Helpers shared by the audio tests: scratch folders, WAV files written and read with libsndfile,
// the calling thread's message queue, and stderr capture.

#include <sndfile.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

#include "util/Messages.h"

namespace zorvo::audio::test {

// A fresh folder under the system's temporary folder, removed with everything in it.
class ScratchDir {
  public:
    ScratchDir();
    ~ScratchDir();
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;

    std::string Path(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

// Writes `samples` (interleaved) as a sound file; `format` is a libsndfile format such as
// SF_FORMAT_WAV | SF_FORMAT_PCM_16. Fails the current test on error.
void WriteSoundFile(const std::string& path, const std::vector<int16_t>& samples, int rate,
                    int channels, int format = SF_FORMAT_WAV | SF_FORMAT_PCM_16);

// Writes `text` as a plain file.
void WriteTextFile(const std::string& path, const std::string& text);

struct SoundFileContents {
    bool ok = false;
    std::string error;
    SF_INFO info{};
    std::vector<int16_t> samples;
};
SoundFileContents ReadSoundFile(const std::string& path);

// count samples with the values first, first + 1, ... (wrapping within the positive range, never
// 0, so a ramp can always be told from silence).
std::vector<int16_t> Ramp(std::size_t count, int first = 1);

// Takes every message waiting on the calling thread's queue; returns how many there were.
int DrainMessages();

// Takes messages for up to `timeout` and counts those of type `message`, stopping early once
// `expected` of them have arrived.
int CountMessages(uint32_t message, int expected, std::chrono::milliseconds timeout);

// A backend registered by the tests for endpoints "scripted:fail-after=N": capture and playback
// streams that take 10 ms per call, capture buffers filled with the call's number (1, 2, ...),
// and every call after the first N failing as a broken device would.
std::string ScriptedEndpoint(int failAfter);

// Points file descriptor 2 at a temporary file until Finish, which restores it and returns what
// was written there.
class StderrCapture {
  public:
    StderrCapture();
    ~StderrCapture();
    StderrCapture(const StderrCapture&) = delete;
    StderrCapture& operator=(const StderrCapture&) = delete;

    std::string Finish();

  private:
    int m_saved = -1;
    int m_file = -1;
};

using Clock = std::chrono::steady_clock;

inline double SecondsSince(Clock::time_point start) {
    return std::chrono::duration<double>(Clock::now() - start).count();
}

}  // namespace zorvo::audio::test
