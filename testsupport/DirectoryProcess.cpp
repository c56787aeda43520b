#include "testsupport/DirectoryProcess.h"

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <thread>

namespace testsupport {

namespace {

constexpr int kFirstLineWaitMs = 10000;
constexpr int kStopWaitSteps = 200;  // of 50 ms each
constexpr const char* kLoopback = "127.0.0.1:";

// Reads one line from fd, waiting at most kFirstLineWaitMs for each character.
bool ReadLine(int fd, std::string* line) {
    char c = 0;
    while (line->find('\n') == std::string::npos) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, kFirstLineWaitMs) <= 0 || read(fd, &c, 1) != 1) {
            return false;
        }
        *line += c;
    }
    return true;
}

}  // namespace

bool DirectoryProcess::Start(const std::string& listen, const std::vector<std::string>& options) {
    Stop();
    int err[2];
    if (pipe(err) != 0) {
        return false;
    }
    std::vector<std::string> args{m_program, "--listen", listen};
    args.insert(args.end(), options.begin(), options.end());
    m_pid = fork();
    if (m_pid == 0) {
        dup2(err[1], 2);
        close(err[0]);
        std::vector<char*> argv;
        for (std::string& a : args) {
            argv.push_back(a.data());
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(err[1]);
    m_err = err[0];
    // The first line names the address: "... listening on 127.0.0.1:PORT, ..."
    std::string line;
    if (m_pid < 0 || !ReadLine(m_err, &line) || line.find("listening") == std::string::npos) {
        return false;
    }
    const size_t at = line.find(kLoopback);
    if (at == std::string::npos) {
        return false;
    }
    m_port = std::atoi(line.c_str() + at + std::char_traits<char>::length(kLoopback));
    m_host = kLoopback + std::to_string(m_port);
    return m_port > 0;
}

bool DirectoryProcess::Start(const std::string& db, int port) {
    return Start(kLoopback + std::to_string(port), {"--db", db, "--hash-cost", "min", "--log",
                                                    "none", "--rendezvous", "127.0.0.1:0"});
}

int DirectoryProcess::Stop() {
    if (m_pid <= 0) {
        return -1;
    }
    kill(m_pid, SIGTERM);
    int status = 0;
    for (int i = 0; i < kStopWaitSteps; ++i) {
        if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
            Reap(nullptr);
            return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    Kill();
    return -1;
}

void DirectoryProcess::Kill() {
    if (m_pid <= 0) {
        return;
    }
    kill(m_pid, SIGKILL);
    int status = 0;
    Reap(&status);
}

bool DirectoryProcess::Alive() const {
    return m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0;
}

// Collects the child (when `status` is given: waits for it) and closes its error pipe.
void DirectoryProcess::Reap(int* status) {
    if (status != nullptr) {
        waitpid(m_pid, status, 0);
    }
    m_pid = 0;
    if (m_err >= 0) {
        close(m_err);
        m_err = -1;
    }
}

}  // namespace testsupport
