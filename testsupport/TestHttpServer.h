#pragma once

#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>

namespace testsupport {

// A small HTTP server on a free loopback port, run on its own thread for one test.
class TestHttpServer {
  public:
    TestHttpServer() { m_server.set_tcp_nodelay(true); }
    ~TestHttpServer() {
        m_server.stop();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    httplib::Server& server() { return m_server; }

    // Starts serving; returns "127.0.0.1:port".
    std::string Start() {
        m_port = m_server.bind_to_any_port("127.0.0.1");
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        for (int i = 0; i < 200 && !m_server.is_running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return "127.0.0.1:" + std::to_string(m_port);
    }

    int port() const { return m_port; }

  private:
    httplib::Server m_server;
    std::thread m_thread;
    int m_port = 0;
};

}  // namespace testsupport
