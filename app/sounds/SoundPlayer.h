#pragma once

#include <QString>

#include <atomic>
#include <condition_variable>
#include <functional>
#include <mutex>
#include <string>
#include <thread>

// Plays the program's short sounds ("phonering.wav", "hangup.wav", "buddyin.wav", "buddyout.wav")
// and tones, on a thread of its own, through the same audio endpoints as the call engine. One
// sound at a time, like the system's sound player: a new sound replaces the one playing.
class SoundPlayer {
  public:
    enum Flags : unsigned {
        kAsync = 0x1,   // return at once (every sound plays asynchronously here)
        kLoop = 0x8,    // repeat until stopped
        kNoStop = 0x10  // do nothing when a sound is already playing
    };

    static SoundPlayer& Instance();

    // Plays the named sound file, found in the sounds folder beside the program (or
    // ZORVO_SOUNDS_DIR). An empty name stops the sound playing. A missing file plays the default
    // beep instead. Returns false when kNoStop found a sound playing.
    bool PlaySound(const QString& name, unsigned flags);

    // A tone of `frequency` Hz for `milliseconds`, asynchronously.
    void Beep(unsigned frequency, unsigned milliseconds);

    bool IsPlaying() const { return m_playing.load(); }

    // The endpoint sounds go to: "" the sound card, "none", or a WAV file (ZORVO_SOUND_OUT).
    void SetEndpoint(const std::string& endpoint);

    // Called on the player's thread for each sound started, with its name ("beep" for tones):
    // lets tests see what was played.
    void SetObserver(std::function<void(const QString&)> observer);

    // Called (on the player's thread) when the sound card cannot play: the program rings the
    // desktop's bell instead.
    void SetFallback(std::function<void()> fallback);

    ~SoundPlayer();

  private:
    SoundPlayer();
    struct Request;
    void Run();
    void Start(const Request& request);

    std::mutex m_lock;
    std::condition_variable m_changed;
    std::thread m_thread;
    bool m_quit = false;
    unsigned m_generation = 0;  // every new request or stop cancels what plays
    std::string m_endpoint;
    std::function<void(const QString&)> m_observer;
    std::function<void()> m_fallback;
    struct Pending;
    Pending* m_pending = nullptr;
    std::atomic<bool> m_playing{false};
};

// Where the program's sound files are: ZORVO_SOUNDS_DIR when set, else the folder that belongs
// to the running program (SoundsFolderFor).
QString SoundsFolder();

// The sound folder of a program in `programDir`: "sounds" beside it, as in the build tree, or
// else the installed <programDir>/<data>/zorvo/sounds, where <data> is the data folder as seen
// from the program's folder ("../share"). When neither exists, the first.
QString SoundsFolderFor(const QString& programDir);
