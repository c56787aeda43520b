#pragma once

#include <cstdint>
#include <string>

namespace testsupport {

// A port on the loopback address that nobody uses at this moment: the system picks it for a
// socket that is closed again at once. Another process may take it in between, which tests on
// one machine accept.
uint16_t FreeUdpPort();
uint16_t FreeTcpPort();

// A TCP service on loopback that takes connections and never answers: connections complete in the
// kernel's backlog and nobody reads them. For tests of what waits on a hanging server.
class SilentTcpService {
  public:
    SilentTcpService();
    ~SilentTcpService();
    SilentTcpService(const SilentTcpService&) = delete;
    SilentTcpService& operator=(const SilentTcpService&) = delete;

    // "127.0.0.1:PORT", or empty when the socket could not be set up.
    const std::string& Host() const { return m_host; }

  private:
    int m_fd = -1;
    std::string m_host;
};

}  // namespace testsupport
