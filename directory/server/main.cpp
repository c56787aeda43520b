// zorvo-directory: the directory web service of Zorvo. It keeps accounts, buddy lists, presence
// and call records, and answers the client's page requests over HTTP.

#include <arpa/inet.h>
#include <httplib.h>
#include <netdb.h>
#include <signal.h>
#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "directory/server/Database.h"
#include "directory/server/Directory.h"
#include "directory/server/PgRendezvous.h"
#include "directory/server/Query.h"
#include "directory/server/Rendezvous.h"
#include "directory/server/ServiceOptions.h"

namespace {

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "zorvo-directory: %s\n", message.c_str());
    std::exit(1);
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

// The options, or the end of the program for help, version and bad options.
ServiceOptions OptionsOrExit(int argc, char** argv) {
    const ServiceCommand command = ParseServiceOptions(argc, argv);
    switch (command.action) {
        case ServiceCommand::Action::Help:
            std::fputs(kServiceUsage, stdout);
            std::exit(0);
        case ServiceCommand::Action::Version:
            std::printf("zorvo-directory %s\n", ZORVO_VERSION);
            std::exit(0);
        case ServiceCommand::Action::Error:
            Fail(command.error);
        case ServiceCommand::Action::Run:
            break;
    }
    return command.options;
}

// The request log's stream: standard output, a file appended to, or none.
FILE* OpenLog(const std::string& logFile) {
    if (logFile == "-") {
        return stdout;
    }
    if (logFile == "none") {
        return nullptr;
    }
    FILE* out = std::fopen(logFile.c_str(), "a");
    if (out == nullptr) {
        Fail("cannot open " + logFile + ": " + std::strerror(errno));
    }
    return out;
}

// Sets up the HTTP layer and binds it; gives the port bound.
int BindServer(httplib::Server& server, const ServiceOptions& o) {
    if (!server.is_valid()) {
        Fail("the HTTP server cannot be set up");
    }
    // Set before the socket is bound: the listening socket passes TCP_NODELAY on to every
    // connection it accepts (without it, replies wait for delayed acknowledgements).
    const size_t threads = static_cast<size_t>(o.threads);
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(10000);
    server.set_keep_alive_timeout(5);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_payload_max_length(16 * 1024);
    int bound = o.port == 0 ? server.bind_to_any_port(o.host)
                            : (server.bind_to_port(o.host, o.port) ? o.port : -1);
    if (bound <= 0) {
        Fail("cannot listen on " + o.listen + ": " + std::strerror(errno));
    }
    return bound;
}

// The relay's shared secret: the first line of the file, read once at the start.
std::string ReadTurnSecret(const std::string& file) {
    std::ifstream in(file);
    std::string secret;
    if (!in || !std::getline(in, secret)) {
        Fail("cannot read the relay secret from " + file);
    }
    while (!secret.empty() &&
           (secret.back() == '\r' || secret.back() == ' ' || secret.back() == '\t')) {
        secret.pop_back();
    }
    if (secret.empty()) {
        Fail("the relay secret file " + file + " is empty");
    }
    return secret;
}

// Where the rendezvous keeps its users and tokens: beside presence, in memory for SQLite and in
// the shared database for PostgreSQL (so that every process of the directory sees them).
std::unique_ptr<RendezvousRegistry> OpenRegistry(const ServiceOptions& o, const std::string& db,
                                                 int connections) {
    if (!o.rendezvousOn || !IsPostgresUri(db)) {
        return std::make_unique<MemoryRendezvousRegistry>();
    }
    std::string error;
    std::unique_ptr<RendezvousRegistry> registry =
        PgRendezvousRegistry::Open(db, std::max(2, connections / 2), &error);
    if (!registry) {
        Fail(error);
    }
    return registry;
}

// The rendezvous socket. A rendezvous asked for on the command line that cannot be opened ends
// the start; the default one (UDP 3478 on every address) may be taken by another service on
// the machine, and then the directory runs without (*note says so).
std::unique_ptr<Rendezvous> OpenRendezvous(const ServiceOptions& o, RendezvousRegistry& registry,
                                           int64_t onlineSeconds, std::string* note) {
    if (!o.rendezvousOn) {
        *note = "rendezvous off";
        return nullptr;
    }
    RendezvousSettings settings;
    settings.onlineSeconds = onlineSeconds;
    std::string error;
    auto r = Rendezvous::Open(o.rendezvousHost, o.rendezvousPort, registry, settings, &error);
    if (!r && o.rendezvousGiven) {
        Fail(error);
    }
    *note = r ? "rendezvous on UDP " + o.rendezvousHost + ":" + std::to_string(r->Port())
              : error + "; running without a rendezvous";
    return r;
}

DirectoryOptions PageOptions(const ServiceOptions& o, int bound) {
    std::string hostPort = o.host + ":" + std::to_string(bound);
    DirectoryOptions options;
    options.advertise = o.advertise;
    if (o.advertise.empty() && o.host != "0.0.0.0") {
        options.advertise = hostPort;
    }
    options.fallbackHost = o.host == "0.0.0.0" ? "127.0.0.1:" + std::to_string(bound) : hostPort;
    options.pagePath = o.pagePath;
    options.onlineSeconds = o.onlineSeconds;
    options.hashCost = o.hashCost;
    options.failureLimit = static_cast<int>(o.maxFailures);
    options.failureWindow = o.failureWindow;
    options.trustedProxy = o.trustedProxy;
    return options;
}

// The relay's "HOST:PORT" with the host as a dotted address (clients read only that form): a
// name is looked up once, at the start.
std::string TurnAddress(const std::string& turn) {
    const std::string host = turn.substr(0, turn.rfind(':'));
    in_addr a{};
    if (inet_pton(AF_INET, host.c_str(), &a) == 1) {
        return turn;
    }
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_DGRAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) != 0 || found == nullptr) {
        Fail("cannot look up the relay host " + host);
    }
    char text[INET_ADDRSTRLEN] = {};
    inet_ntop(AF_INET, &reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr, text,
              sizeof text);
    freeaddrinfo(found);
    return std::string(text) + turn.substr(turn.rfind(':'));
}

// What the pages hand out of the rendezvous (when it runs) and of the relay (when configured).
void AddRendezvous(const ServiceOptions& o, const std::string& turnSecret,
                   RendezvousRegistry* registry, const Rendezvous* rendezvous,
                   DirectoryOptions* options) {
    if (!o.turn.empty()) {
        options->turnServer = TurnAddress(o.turn);
        options->turnSecret = turnSecret;
        options->turnSeconds = o.turnSeconds;
    }
    if (rendezvous == nullptr) {
        return;
    }
    options->rendezvous = registry;
    options->rendezvousPort = rendezvous->Port();
    options->rendezvousAdvertise = o.rendezvousAdvertise;
    if (o.rendezvousAdvertise.empty() && o.rendezvousHost != "0.0.0.0") {
        options->rendezvousAdvertise = o.rendezvousHost + ":" + std::to_string(rendezvous->Port());
    }
}

// Every request goes to the page handling and into the log; requests the HTTP layer refuses
// before any page is reached still get a clear reply.
void Route(httplib::Server& server, Directory& directory, RequestLog& log) {
    auto handler = [&directory, &log](const httplib::Request& req, httplib::Response& res) {
        auto start = std::chrono::steady_clock::now();
        HttpRequest in;
        in.method = req.method;
        in.target = req.target;
        in.body = req.body;
        in.contentType = req.get_header_value("Content-Type");
        in.host = req.get_header_value("Host");
        in.peer = req.remote_addr;
        in.local = req.local_addr;
        in.forwardedFor = req.get_header_value("X-Forwarded-For");
        HttpReply out = directory.Handle(in);
        res.status = out.status;
        res.set_header("Cache-Control", "no-store");
        res.set_content(out.body, out.contentType.c_str());
        long micros = static_cast<long>(std::chrono::duration_cast<std::chrono::microseconds>(
                                            std::chrono::steady_clock::now() - start)
                                            .count());
        log.Write(LogLine(req, out.status, out.body.size(), micros));
    };
    // Every method reaches the page handling, which answers those it does not serve itself.
    server.Get(".*", handler);
    server.Post(".*", handler);
    server.Put(".*", handler);
    server.Delete(".*", handler);
    server.Patch(".*", handler);
    server.Options(".*", handler);
    server.set_error_handler(httplib::Server::HandlerWithResponse(
        [&log](const httplib::Request& req, httplib::Response& res) {
            if (!res.body.empty()) {
                return httplib::Server::HandlerResponse::Unhandled;
            }
            res.set_content(RefusalText(StatusText(res.status)), "text/plain; charset=utf-8");
            log.Write(LogLine(req, res.status, res.body.size(), 0));
            return httplib::Server::HandlerResponse::Handled;
        }));
    server.set_exception_handler(
        [](const httplib::Request&, httplib::Response& res, std::exception_ptr) {
            res.status = 500;
            res.set_content(RefusalText("internal error"), "text/plain; charset=utf-8");
        });
}

}  // namespace

int main(int argc, char** argv) {
    const ServiceOptions o = OptionsOrExit(argc, argv);
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

    const std::string db = o.db.empty() ? DefaultDatabase() : o.db;
    std::string error;
    const long connections = o.dbConnections > 0 ? o.dbConnections : std::min(o.threads, 16L);
    std::unique_ptr<Storage> storage = OpenDatabase(db, static_cast<int>(connections), &error);
    if (!storage) {
        Fail(error);
    }
    FILE* logOut = OpenLog(o.logFile);

    const std::string turnSecret = o.turn.empty() ? "" : ReadTurnSecret(o.turnSecretFile);
    std::unique_ptr<RendezvousRegistry> registry =
        OpenRegistry(o, db, static_cast<int>(connections));
    std::string rendezvousNote;
    std::unique_ptr<Rendezvous> rendezvous =
        OpenRendezvous(o, *registry, o.onlineSeconds, &rendezvousNote);

    httplib::Server server;
    const int bound = BindServer(server, o);
    DirectoryOptions pageOptions = PageOptions(o, bound);
    AddRendezvous(o, turnSecret, rendezvous ? registry.get() : nullptr, rendezvous.get(),
                  &pageOptions);
    if (rendezvous) {
        rendezvous->Start();
    }
    auto directory = std::make_unique<Directory>(*storage, pageOptions);
    auto log = std::make_unique<RequestLog>(logOut);
    Route(server, *directory, *log);

    std::atomic<bool> signalled{false};
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        signalled = true;
        server.stop();
    });

    std::fprintf(stderr, "zorvo-directory: listening on %s:%d, database %s\n", o.host.c_str(),
                 bound, ShownDatabase(db).c_str());
    std::fprintf(stderr, "zorvo-directory: %s\n", rendezvousNote.c_str());
    std::fflush(stderr);
    bool served = server.listen_after_bind();

    // listen_after_bind returns after the worker threads have finished every request they
    // had; a stop that did not come from a signal still releases the signal thread.
    if (!signalled) {
        pthread_kill(stopper.native_handle(), SIGTERM);
    }
    stopper.join();
    rendezvous.reset();
    directory.reset();
    storage.reset();  // closes the database, folding the journal into the file
    log.reset();
    if (!served) {
        Fail("the server stopped with an error");
    }
    std::fprintf(stderr, "zorvo-directory: stopped\n");
    return 0;
}
