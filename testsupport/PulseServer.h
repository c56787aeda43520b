#pragma once

#include <sys/types.h>
#include <string>

namespace testsupport {

// A private PulseAudio server for tests that need a real sound server: a null sink whose monitor
// is the default source (what is played is what is captured), in a folder of its own with a
// private XDG_RUNTIME_DIR and a private HOME whose .asoundrc makes ALSA's "default" PCM and control
// the server's. Start() points this process's environment at it (call it before the first use of
// ALSA or PortAudio in the process); Stop(), also run by the destructor, stops the server, waits
// until it is gone, removes the folder and restores the environment. Nothing global is changed.
class PulseServer {
  public:
    PulseServer() = default;
    ~PulseServer();
    PulseServer(const PulseServer&) = delete;
    PulseServer& operator=(const PulseServer&) = delete;

    // Starts the server; false with `error` set when it cannot be started.
    bool Start(std::string* error);
    void Stop();

    bool Running() const { return m_pid > 0; }
    pid_t Pid() const { return m_pid; }
    const std::string& RuntimeDir() const { return m_runtime; }
    const std::string& HomeDir() const { return m_home; }
    // The null sink's name; its monitor is "<name>.monitor".
    static const char* SinkName() { return "zorvo_sink"; }

    // A shell prefix that gives a command this server's environment: "env XDG_RUNTIME_DIR=... ".
    std::string ShellEnvironment() const;

  private:
    std::string m_folder;
    std::string m_runtime;
    std::string m_home;
    pid_t m_pid = 0;
    struct Saved {
        bool set = false;
        std::string value;
    };
    Saved m_savedRuntime, m_savedHome, m_savedAlsa, m_savedPulse;
};

}  // namespace testsupport
