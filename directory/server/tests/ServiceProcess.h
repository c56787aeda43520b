#pragma once

// The zorvo-directory program run by tests: to its end (help, bad options), or as a service on a
// port the system picks.

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

#include "testsupport/DirectoryProcess.h"

namespace {

std::string ReadAll(int fd, int timeoutMs) {
    std::string out;
    char buf[4096];
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                        deadline - std::chrono::steady_clock::now())
                                        .count());
        pollfd p{fd, POLLIN, 0};
        if (left <= 0 || poll(&p, 1, left) <= 0) {
            break;
        }
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(n));
    }
    return out;
}

// Runs the program to its end; gives its exit status and what it wrote.
int RunProgram(const std::vector<std::string>& args, std::string* out, std::string* err) {
    int o[2];
    int e[2];
    if (pipe(o) != 0 || pipe(e) != 0) {
        return -1;
    }
    pid_t pid = fork();
    if (pid == 0) {
        dup2(o[1], 1);
        dup2(e[1], 2);
        close(o[0]);
        close(e[0]);
        std::vector<char*> argv{const_cast<char*>(ZORVO_DIRECTORY_BIN)};
        for (const std::string& a : args) {
            argv.push_back(const_cast<char*>(a.c_str()));
        }
        argv.push_back(nullptr);
        execv(argv[0], argv.data());
        _exit(127);
    }
    close(o[1]);
    close(e[1]);
    *out = ReadAll(o[0], 10000);
    *err = ReadAll(e[0], 10000);
    close(o[0]);
    close(e[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
}

// The service, started with its own database and request log on a port the system picks.
class ServerProcess {
  public:
    // Starts the program on db with the request log in log, and more options when given.
    bool Start(const std::string& db, const std::string& log,
               const std::vector<std::string>& more = {}) {
        // The rendezvous on a loopback port of its own, so that tests never meet on UDP 3478.
        std::vector<std::string> options = {"--db",         db,           "--log",     log,
                                            "--hash-cost",  "min",        "--threads", "8",
                                            "--rendezvous", "127.0.0.1:0"};
        options.insert(options.end(), more.begin(), more.end());
        return m_process.Start("127.0.0.1:0", options);
    }
    // SIGTERM, then the exit status (-1 when it had to be killed).
    int Stop() { return m_process.Stop(); }
    // SIGKILL: the process ends at once, in the middle of whatever it was doing.
    void Kill() { m_process.Kill(); }
    bool Alive() const { return m_process.Alive(); }
    const std::string& host() const { return m_process.Host(); }
    int port() const { return m_process.Port(); }

  private:
    testsupport::DirectoryProcess m_process{ZORVO_DIRECTORY_BIN};
};

}  // namespace
