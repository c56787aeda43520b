#include "testsupport/PulseServer.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <thread>

namespace testsupport {
namespace {

bool WriteFile(const std::string& path, const std::string& text) {
    std::ofstream out(path);
    out << text;
    return static_cast<bool>(out);
}

void Save(const char* name, bool* set, std::string* value) {
    const char* current = std::getenv(name);
    *set = current != nullptr;
    *value = current != nullptr ? current : "";
}

void Restore(const char* name, bool set, const std::string& value) {
    if (set) {
        setenv(name, value.c_str(), 1);
    } else {
        unsetenv(name);
    }
}

// Gone, or a zombie that only waits for its parent to collect it.
bool Gone(pid_t pid) {
    if (kill(pid, 0) != 0) {
        return true;
    }
    std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(stat, line);
    const auto close = line.rfind(')');
    return close == std::string::npos || line.substr(close + 2, 1) == "Z";
}

bool WaitGone(pid_t pid, std::chrono::milliseconds limit) {
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!Gone(pid)) {
        if (std::chrono::steady_clock::now() > end) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

pid_t ReadPid(const std::string& runtime) {
    std::ifstream in(runtime + "/pulse/pid");
    long pid = 0;
    in >> pid;
    return static_cast<pid_t>(pid);
}

}  // namespace

PulseServer::~PulseServer() {
    Stop();
}

std::string PulseServer::ShellEnvironment() const {
    return "env -u ALSA_CONFIG_PATH XDG_RUNTIME_DIR='" + m_runtime + "' HOME='" + m_home +
           "' PULSE_SERVER='unix:" + m_runtime + "/pulse/native' ";
}

bool PulseServer::Start(std::string* error) {
    const char* tmp = std::getenv("TMPDIR");
    std::string folder = std::string(tmp && *tmp ? tmp : "/tmp") + "/zorvo-pulse-XXXXXX";
    if (mkdtemp(folder.data()) == nullptr) {
        *error = "cannot make a folder for the sound server";
        return false;
    }
    m_folder = folder;
    m_runtime = folder + "/run";
    m_home = folder + "/home";
    std::filesystem::create_directories(m_home + "/.config/pulse");
    mkdir(m_runtime.c_str(), 0700);
    WriteFile(m_home + "/.asoundrc", "pcm.!default { type pulse }\nctl.!default { type pulse }\n");
    // No client may start a server of its own once this one is stopped.
    WriteFile(m_home + "/.config/pulse/client.conf", "autospawn = no\n");
    const std::string command =
        ShellEnvironment() +
        "pulseaudio --daemonize=yes --exit-idle-time=-1 -n --use-pid-file=yes"
        " --load='module-null-sink sink_name=" +
        SinkName() + "' --load=module-native-protocol-unix --log-target=file:" + m_folder +
        "/server.log >/dev/null 2>&1";
    if (std::system(command.c_str()) != 0 || (m_pid = ReadPid(m_runtime)) <= 0) {
        *error = "cannot start pulseaudio (see " + m_folder + "/server.log)";
        m_pid = 0;
        return false;
    }
    Save("XDG_RUNTIME_DIR", &m_savedRuntime.set, &m_savedRuntime.value);
    Save("HOME", &m_savedHome.set, &m_savedHome.value);
    Save("ALSA_CONFIG_PATH", &m_savedAlsa.set, &m_savedAlsa.value);
    Save("PULSE_SERVER", &m_savedPulse.set, &m_savedPulse.value);
    setenv("XDG_RUNTIME_DIR", m_runtime.c_str(), 1);
    setenv("HOME", m_home.c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + m_runtime + "/pulse/native").c_str(), 1);
    unsetenv("ALSA_CONFIG_PATH");
    return true;
}

void PulseServer::Stop() {
    if (m_pid > 0) {
        std::system((ShellEnvironment() + "pulseaudio --kill >/dev/null 2>&1").c_str());
        if (!WaitGone(m_pid, std::chrono::seconds(3))) {
            kill(m_pid, SIGKILL);
            WaitGone(m_pid, std::chrono::seconds(3));
        }
        m_pid = 0;
        Restore("XDG_RUNTIME_DIR", m_savedRuntime.set, m_savedRuntime.value);
        Restore("HOME", m_savedHome.set, m_savedHome.value);
        Restore("ALSA_CONFIG_PATH", m_savedAlsa.set, m_savedAlsa.value);
        Restore("PULSE_SERVER", m_savedPulse.set, m_savedPulse.value);
    }
    if (!m_folder.empty()) {
        std::error_code ignored;
        std::filesystem::remove_all(m_folder, ignored);
        m_folder.clear();
    }
}

}  // namespace testsupport
