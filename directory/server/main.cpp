// zorvo-directory: the directory web service of Zorvo. It keeps accounts, buddy lists, presence
// and call records, and answers the client's page requests over HTTP.

#include <httplib.h>
#include <signal.h>
#include <sodium.h>
#include <sys/stat.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "directory/server/Directory.h"
#include "directory/server/Query.h"
#include "directory/server/SqliteStorage.h"

namespace {

const char* const kUsage =
    "Usage: zorvo-directory [OPTION]...\n"
    "The Zorvo directory service: accounts, buddy lists, presence and call records over HTTP.\n"
    "\n"
    "  --listen HOST:PORT    address to serve on (default 127.0.0.1:8080; port 0 picks one)\n"
    "  --db FILE             SQLite database (default $XDG_DATA_HOME/zorvo/directory.db)\n"
    "  --advertise HOST[:PORT]\n"
    "                        server published in ZorvoServer.txt (default: the listen\n"
    "                        address, or the request's Host when listening on 0.0.0.0)\n"
    "  --page-path PATH      page prefix published in ZorvoServer.txt (default /zorvo)\n"
    "  --online-seconds N    a user stays online N seconds after a heartbeat (default 120)\n"
    "  --threads N           requests served at the same time (default 64)\n"
    "  --hash-cost LEVEL     password hash cost: interactive (default), moderate, or min\n"
    "                        (min only for tests and benchmarks)\n"
    "  --log FILE            request log file, '-' for standard output (default), or 'none'\n"
    "  --help                show this help and exit\n"
    "  --version             show the version and exit\n";

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "zorvo-directory: %s\n", message.c_str());
    std::exit(1);
}

bool ParseCount(const char* text, long low, long high, long* out) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high) {
        return false;
    }
    *out = v;
    return true;
}

std::string DefaultDatabase() {
    std::string base;
    const char* xdg = std::getenv("XDG_DATA_HOME");
    if (xdg != nullptr && xdg[0] == '/') {
        base = xdg;
    } else {
        const char* home = std::getenv("HOME");
        if (home == nullptr || home[0] != '/') {
            Fail("neither XDG_DATA_HOME nor HOME is set; give --db");
        }
        base = std::string(home) + "/.local/share";
        mkdir((std::string(home) + "/.local").c_str(), 0700);
        mkdir(base.c_str(), 0700);
    }
    std::string dir = base + "/zorvo";
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        Fail("cannot create " + dir + ": " + std::strerror(errno));
    }
    return dir + "/directory.db";
}

// The request log: one line per request, written through a buffer that a helper thread flushes
// every second and that is flushed at exit.
class RequestLog {
  public:
    explicit RequestLog(FILE* out) : m_out(out) {
        if (m_out != nullptr) {
            std::setvbuf(m_out, nullptr, _IOFBF, 1 << 16);
            m_flusher = std::thread([this] { FlushLoop(); });
        }
    }
    ~RequestLog() {
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

    void Write(const std::string& line) {
        if (m_out == nullptr) {
            return;
        }
        std::lock_guard<std::mutex> lock(m_lock);
        std::fwrite(line.data(), 1, line.size(), m_out);
    }

  private:
    void FlushLoop() {
        std::unique_lock<std::mutex> lock(m_lock);
        while (!m_stop) {
            m_wake.wait_for(lock, std::chrono::seconds(1));
            std::fflush(m_out);
        }
    }

    FILE* m_out;
    std::mutex m_lock;
    std::condition_variable m_wake;
    bool m_stop = false;
    std::thread m_flusher;
};

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

std::string LogLine(const httplib::Request& req, int status, size_t bytes, long micros) {
    char when[32];
    std::time_t t = std::time(nullptr);
    std::tm tm{};
    gmtime_r(&t, &tm);
    std::strftime(when, sizeof when, "%Y-%m-%dT%H:%M:%SZ", &tm);
    std::string_view target = req.target;
    size_t q = target.find('?');
    std::string shown(target.substr(0, q));
    if (q != std::string_view::npos) {
        shown += "?" + RedactQuery(target.substr(q + 1));
    }
    return std::string(when) + " " + req.remote_addr + " " + Printable(req.method) + " \"" +
           Printable(shown.substr(0, 1024)) + "\" " + std::to_string(status) + " " +
           std::to_string(bytes) + " " + std::to_string(micros) + "us\n";
}

std::string StatusText(int status) {
    switch (status) {
        case 400:
            return "bad request";
        case 404:
            return "no such page";
        case 405:
            return "method not allowed";
        case 413:
            return "request too large";
        case 414:
            return "request line too long";
        case 431:
            return "request headers too large";
        default:
            return "request refused (" + std::to_string(status) + ")";
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string listen = "127.0.0.1:8080";
    std::string db;
    std::string advertise;
    std::string pagePath = "/zorvo";
    std::string logFile = "-";
    long onlineSeconds = 120;
    long threads = 64;
    HashCost cost = HashCost::Interactive;

    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                Fail("option " + arg + " needs a value (see --help)");
            }
            return argv[++i];
        };
        if (arg == "--help" || arg == "-h") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("zorvo-directory %s\n", ZORVO_VERSION);
            return 0;
        } else if (arg == "--listen") {
            listen = value();
        } else if (arg == "--db") {
            db = value();
        } else if (arg == "--advertise") {
            advertise = value();
        } else if (arg == "--page-path") {
            pagePath = value();
        } else if (arg == "--log") {
            logFile = value();
        } else if (arg == "--online-seconds") {
            if (!ParseCount(value(), 1, 86400, &onlineSeconds)) {
                Fail("--online-seconds takes a number from 1 to 86400");
            }
        } else if (arg == "--threads") {
            if (!ParseCount(value(), 1, 1024, &threads)) {
                Fail("--threads takes a number from 1 to 1024");
            }
        } else if (arg == "--hash-cost") {
            std::string level = value();
            if (level == "interactive") {
                cost = HashCost::Interactive;
            } else if (level == "moderate") {
                cost = HashCost::Moderate;
            } else if (level == "min") {
                cost = HashCost::Min;
            } else {
                Fail("--hash-cost takes interactive, moderate or min");
            }
        } else {
            Fail("unknown option " + arg + " (see --help)");
        }
    }

    std::string::size_type colon = listen.rfind(':');
    long port = -1;
    if (colon == std::string::npos || colon == 0 ||
        !ParseCount(listen.c_str() + colon + 1, 0, 65535, &port)) {
        Fail("--listen takes HOST:PORT, for example 127.0.0.1:8080");
    }
    std::string host = listen.substr(0, colon);
    if (pagePath.empty() || pagePath[0] != '/' ||
        pagePath.find_first_of(" \t\r\n\\?#") != std::string::npos) {
        Fail("--page-path takes a path that begins with /, for example /zorvo");
    }
    if (sodium_init() < 0) {
        Fail("libsodium cannot be initialised");
    }

    // SIGTERM and SIGINT are taken by one thread that stops the server; every other thread
    // inherits the blocked mask.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGTERM);
    sigaddset(&stopSignals, SIGINT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    signal(SIGPIPE, SIG_IGN);

    if (db.empty()) {
        db = DefaultDatabase();
    }
    std::string error;
    std::unique_ptr<SqliteStorage> storage = SqliteStorage::Open(db, &error);
    if (!storage) {
        Fail(error);
    }

    FILE* logOut = nullptr;
    if (logFile == "-") {
        logOut = stdout;
    } else if (logFile != "none") {
        logOut = std::fopen(logFile.c_str(), "a");
        if (logOut == nullptr) {
            Fail("cannot open " + logFile + ": " + std::strerror(errno));
        }
    }

    httplib::Server server;
    if (!server.is_valid()) {
        Fail("the HTTP server cannot be set up");
    }
    // Set before the socket is bound: the listening socket passes TCP_NODELAY on to every
    // connection it accepts (without it, replies wait for delayed acknowledgements).
    server.new_task_queue = [threads] {
        return new httplib::ThreadPool(static_cast<size_t>(threads));
    };
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(10000);
    server.set_keep_alive_timeout(5);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_payload_max_length(16 * 1024);
    int bound =
        port == 0
            ? server.bind_to_any_port(host)
            : (server.bind_to_port(host, static_cast<int>(port)) ? static_cast<int>(port) : -1);
    if (bound <= 0) {
        Fail("cannot listen on " + listen + ": " + std::strerror(errno));
    }
    std::string hostPort = host + ":" + std::to_string(bound);

    DirectoryOptions options;
    options.advertise = advertise;
    if (advertise.empty() && host != "0.0.0.0") {
        options.advertise = hostPort;
    }
    options.fallbackHost = host == "0.0.0.0" ? "127.0.0.1:" + std::to_string(bound) : hostPort;
    options.pagePath = pagePath;
    options.onlineSeconds = onlineSeconds;
    options.hashCost = cost;
    auto directory = std::make_unique<Directory>(*storage, options);
    auto log = std::make_unique<RequestLog>(logOut);

    auto handler = [&](const httplib::Request& req, httplib::Response& res) {
        auto start = std::chrono::steady_clock::now();
        HttpRequest in;
        in.method = req.method;
        in.target = req.target;
        in.body = req.body;
        in.contentType = req.get_header_value("Content-Type");
        in.host = req.get_header_value("Host");
        HttpReply out = directory->Handle(in);
        res.status = out.status;
        res.set_header("Cache-Control", "no-store");
        res.set_content(out.body, out.contentType.c_str());
        long micros = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now() - start)
                                            .count());
        log->Write(LogLine(req, out.status, out.body.size(), micros));
    };
    // Every method reaches the page handling, which answers those it does not serve itself.
    server.Get(".*", handler);
    server.Post(".*", handler);
    server.Put(".*", handler);
    server.Delete(".*", handler);
    server.Patch(".*", handler);
    server.Options(".*", handler);
    // Requests the HTTP layer refuses before any page is reached still get a clear reply.
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [&](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty()) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            res.set_content(RefusalText(StatusText(res.status)), "text/plain; charset=utf-8");
            log->Write(LogLine(req, res.status, res.body.size(), 0));
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
            res.status = 500;
            res.set_content(RefusalText("internal error"), "text/plain; charset=utf-8");
        });

    std::atomic<bool> signalled{false};
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        signalled = true;
        server.stop();
    });

    std::fprintf(stderr, "zorvo-directory: listening on %s, database %s\n", hostPort.c_str(),
                 db.c_str());
    std::fflush(stderr);
    bool served = server.listen_after_bind();

    // listen_after_bind returns after the worker threads have finished every request they
    // had; a stop that did not come from a signal still releases the signal thread.
    if (!signalled) {
        pthread_kill(stopper.native_handle(), SIGTERM);
    }
    stopper.join();
    directory.reset();
    storage.reset();  // closes the database, folding the journal into the file
    log.reset();
    if (!served) {
        Fail("the server stopped with an error");
    }
    std::fprintf(stderr, "zorvo-directory: stopped\n");
    return 0;
}
