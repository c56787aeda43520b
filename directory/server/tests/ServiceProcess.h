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
    ~ServerProcess() { Stop(); }

    // Starts the program on db with the request log in log, and more options when given.
    bool Start(const std::string& db, const std::string& log,
               const std::vector<std::string>& more = {}) {
        int e[2];
        if (pipe(e) != 0) {
            return false;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(e[1], 2);
            close(e[0]);
            std::vector<std::string> args = {
                "--listen", "127.0.0.1:0", "--db", db,          "--log",
                log,        "--hash-cost", "min",  "--threads", "8"};
            args.insert(args.end(), more.begin(), more.end());
            std::vector<char*> argv{const_cast<char*>(ZORVO_DIRECTORY_BIN)};
            for (std::string& a : args) {
                argv.push_back(a.data());
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        close(e[1]);
        m_err = e[0];
        // The first line names the port: "... listening on 127.0.0.1:PORT, ..."
        std::string text;
        char c;
        while (text.find('\n') == std::string::npos) {
            pollfd p{m_err, POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0 || read(m_err, &c, 1) != 1) {
                return false;
            }
            text += c;
        }
        size_t at = text.find("127.0.0.1:");
        if (at == std::string::npos) {
            return false;
        }
        m_host = "127.0.0.1:" + std::to_string(std::atoi(text.c_str() + at + 10));
        m_port = std::atoi(text.c_str() + at + 10);
        return true;
    }

    // SIGTERM, then the exit status (-1 when it had to be killed).
    int Stop() {
        if (m_pid <= 0) {
            return -1;
        }
        kill(m_pid, SIGTERM);
        int status = 0;
        for (int i = 0; i < 200; ++i) {
            if (waitpid(m_pid, &status, WNOHANG) == m_pid) {
                m_pid = 0;
                close(m_err);
                return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &status, 0);
        m_pid = 0;
        close(m_err);
        return -1;
    }

    // SIGKILL: the process ends at once, in the middle of whatever it was doing.
    void Kill() {
        if (m_pid > 0) {
            kill(m_pid, SIGKILL);
            waitpid(m_pid, nullptr, 0);
            m_pid = 0;
            close(m_err);
        }
    }

    bool Alive() { return m_pid > 0 && waitpid(m_pid, nullptr, WNOHANG) == 0; }
    const std::string& host() const { return m_host; }
    int port() const { return m_port; }

  private:
    pid_t m_pid = 0;
    int m_err = -1;
    std::string m_host;
    int m_port = 0;
};

}  // namespace
