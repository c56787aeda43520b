#pragma once

#include <sys/types.h>

#include <string>
#include <vector>

namespace testsupport {

// The zorvo-directory program as a child process of a test: started on a loopback address with
// the options a test gives, stopped with SIGTERM (or killed), and started again where it was.
class DirectoryProcess {
  public:
    explicit DirectoryProcess(std::string program) : m_program(std::move(program)) {}
    ~DirectoryProcess() { Stop(); }
    DirectoryProcess(const DirectoryProcess&) = delete;
    DirectoryProcess& operator=(const DirectoryProcess&) = delete;

    // Starts the service listening on `listen` ("127.0.0.1:0" lets the system choose the port)
    // with `options` after it, and waits up to 10 s for its first line, which names the address
    // it listens on. False when that line does not come or names no loopback address.
    bool Start(const std::string& listen, const std::vector<std::string>& options);
    // The usual test service: a fixed port, `db`, the cheapest password hashes, no request log.
    bool Start(const std::string& db, int port);

    // SIGTERM, then the exit status; -1 when it had to be killed after 10 s, or was not running.
    int Stop();
    // SIGKILL: the process ends at once, in the middle of whatever it was doing.
    void Kill();
    bool Alive() const;

    // "127.0.0.1:PORT" and PORT of the running service.
    const std::string& Host() const { return m_host; }
    int Port() const { return m_port; }

  private:
    void Reap(int* status);

    std::string m_program;
    pid_t m_pid = 0;
    int m_err = -1;
    std::string m_host;
    int m_port = 0;
};

}  // namespace testsupport
