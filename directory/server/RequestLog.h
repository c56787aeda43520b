#pragma once

#include <httplib.h>

#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>

// The request log of zorvo-directory: one line per request of either listener, written through
// a buffer that a helper thread flushes every second and that is flushed at the end. No line
// ever shows a password.
class RequestLog {
  public:
    // Writes to out (standard output, or a file it closes at the end); null: no log.
    explicit RequestLog(FILE* out);
    ~RequestLog();
    RequestLog(const RequestLog&) = delete;
    RequestLog& operator=(const RequestLog&) = delete;

    void Write(const std::string& line);

  private:
    void FlushLoop();

    FILE* m_out;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_flusher;
};

// The target as the log shows it: the values of password keys hidden, in the path too (where a
// query whose '?' came percent-encoded ends up). read: the request reached the page handling;
// the query of one that the HTTP layer refused is hidden whole, since what it holds was never
// read as keys and values.
std::string ShownTarget(std::string_view target, bool read);

// One line of the log: time, peer, method, target as shown, status, bytes, duration.
std::string LogLine(const httplib::Request& req, int status, size_t bytes, long micros,
                    bool read = true);
