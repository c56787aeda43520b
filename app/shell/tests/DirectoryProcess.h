#pragma once

#include <poll.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <string>

namespace shelltest {

// zorvo-directory as a child process on a fixed loopback port, so that a test can stop it and
// start it again at the same place with the same database.
class DirectoryProcess {
  public:
    ~DirectoryProcess() { Stop(); }

    // Starts the service and waits for its "listening" line; false when it does not come.
    bool Start(const std::string& db, int port) {
        int err[2];
        if (pipe(err) != 0) {
            return false;
        }
        m_pid = fork();
        if (m_pid == 0) {
            dup2(err[1], 2);
            close(err[0]);
            const std::string listen = "127.0.0.1:" + std::to_string(port);
            execl(ZORVO_DIRECTORY_BIN, ZORVO_DIRECTORY_BIN, "--listen", listen.c_str(), "--db",
                  db.c_str(), "--hash-cost", "min", "--log", "none", static_cast<char*>(nullptr));
            _exit(127);
        }
        close(err[1]);
        std::string line;
        char c = 0;
        while (line.find('\n') == std::string::npos) {
            pollfd p{err[0], POLLIN, 0};
            if (poll(&p, 1, 10000) <= 0 || read(err[0], &c, 1) != 1) {
                close(err[0]);
                return false;
            }
            line += c;
        }
        m_err = err[0];
        return line.find("listening") != std::string::npos;
    }

    void Stop() {
        if (m_pid > 0) {
            kill(m_pid, SIGTERM);
            waitpid(m_pid, nullptr, 0);
            m_pid = -1;
        }
        if (m_err >= 0) {
            close(m_err);
            m_err = -1;
        }
    }

  private:
    pid_t m_pid = -1;
    int m_err = -1;
};

}  // namespace shelltest
