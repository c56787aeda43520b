#include "directory/server/RequestLog.h"

#include <chrono>
#include <ctime>

#include "directory/server/Query.h"

RequestLog::RequestLog(FILE* out) : m_out(out) {
    if (m_out != nullptr) {
        std::setvbuf(m_out, nullptr, _IOFBF, 1 << 16);
        m_flusher = std::thread([this] { FlushLoop(); });
    }
}

RequestLog::~RequestLog() {
    if (m_out == nullptr) {
        return;
    }
    {
        std::lock_guard<std::mutex> lock(m_lock);
        m_stop = true;
    }
    m_wake.notify_all();
    m_flusher.join();
    std::fflush(m_out);
    if (m_out != stdout) {
        std::fclose(m_out);
    }
}

void RequestLog::Write(const std::string& line) {
    if (m_out == nullptr) {
        return;
    }
    std::lock_guard<std::mutex> lock(m_lock);
    std::fwrite(line.data(), 1, line.size(), m_out);
}

void RequestLog::FlushLoop() {
    std::unique_lock<std::mutex> lock(m_lock);
    while (!m_stop) {
        m_wake.wait_for(lock, std::chrono::seconds(1));
        std::fflush(m_out);
    }
}

namespace {

// Keeps the log to one line whatever the request held.
std::string Printable(std::string_view s) {
    std::string out;
    for (unsigned char c : s) {
        if (c < 0x20 || c == 0x7F || c == '"') {
            char buf[5];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out += static_cast<char>(c);
        }
    }
    return out;
}

}  // namespace

std::string ShownTarget(std::string_view target, bool read) {
    size_t q = target.find('?');
    std::string shown = RedactQuery(target.substr(0, q));
    if (q != std::string_view::npos) {
        shown += "?" + (read ? RedactQuery(target.substr(q + 1)) : std::string("***"));
    }
    return shown;
}

std::string LogLine(const httplib::Request& req, int status, size_t bytes, long micros, bool read) {
    char when[32];
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
    const std::string shown = ShownTarget(req.target, read);
    return std::string(when) + " " + req.remote_addr + " " + Printable(req.method) + " \"" +
           Printable(shown.substr(0, 1024)) + "\" " + std::to_string(status) + " " +
           std::to_string(bytes) + " " + std::to_string(micros) + "us\n";
}
