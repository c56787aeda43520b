// zorvo-directory: the directory web service of Zorvo. It keeps accounts, buddy lists, presence
// and call records, and answers the client's page requests over HTTP, HTTPS or both.

#include <arpa/inet.h>
#include <httplib.h>
#include <netdb.h>
#include <signal.h>
#include <sodium.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "directory/server/Database.h"
#include "directory/server/Directory.h"
#include "directory/server/PgRendezvous.h"
#include "directory/server/Rendezvous.h"
#include "directory/server/RequestLog.h"
#include "directory/server/ServiceOptions.h"
#include "directory/server/TlsServer.h"

namespace {

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "zorvo-directory: %s\n", message.c_str());
    std::exit(1);
}

// The folder of the service's own files when no other is named: $XDG_DATA_HOME/zorvo, else
// ~/.local/share/zorvo; made when missing.
std::string DataFolder() {
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
    return dir;
}

std::string DefaultDatabase() {
    return DataFolder() + "/directory.db";
}

// Where the self-signed certificate is kept: --state-dir, else beside a SQLite --db file, else
// in the data folder.
std::string StateFolder(const ServiceOptions& o) {
    std::string dir = o.stateDir;
    if (dir.empty() && !o.db.empty() && !IsPostgresUri(o.db)) {
        size_t slash = o.db.rfind('/');
        dir = slash == std::string::npos ? "." : o.db.substr(0, std::max<size_t>(slash, 1));
    }
    if (dir.empty()) {
        return DataFolder();
    }
    if (mkdir(dir.c_str(), 0700) != 0 && errno != EEXIST) {
        Fail("cannot create " + dir + ": " + std::strerror(errno));
    }
    return dir;
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

// Sets up the HTTP layer and binds it to host:port (listen as given); gives the port bound.
int BindServer(httplib::Server& server, const std::string& host, int port,
               const std::string& listen, long threadCount) {
    if (!server.is_valid()) {
        Fail("the HTTP server cannot be set up");
    }
    // Set before the socket is bound: the listening socket passes TCP_NODELAY on to every
    // connection it accepts (without it, replies wait for delayed acknowledgements).
    const size_t threads = static_cast<size_t>(threadCount);
    server.new_task_queue = [threads] { return new httplib::ThreadPool(threads); };
    server.set_tcp_nodelay(true);
    server.set_keep_alive_max_count(10000);
    server.set_keep_alive_timeout(5);
    server.set_read_timeout(5, 0);
    server.set_write_timeout(5, 0);
    server.set_payload_max_length(16 * 1024);
    int bound =
        port == 0 ? server.bind_to_any_port(host) : (server.bind_to_port(host, port) ? port : -1);
    if (bound <= 0) {
        Fail("cannot listen on " + listen + ": " + std::strerror(errno));
    }
    return bound;
}

// One listening server, plain or HTTPS: the address asked for and the port bound.
struct Listener {
    std::unique_ptr<httplib::Server> server;
    std::string host;
    int port = 0;
    bool tls = false;
    std::atomic<bool> ended{false};
};
using Listeners = std::vector<std::unique_ptr<Listener>>;

// The host name a self-signed certificate is made for: the advertised host, else the HTTPS
// address when it is a particular one, else the service's name.
std::string CertificateHost(const ServiceOptions& o) {
    std::string host = o.advertise.substr(0, o.advertise.find(':'));
    if (host.empty() && o.tlsHost != "0.0.0.0") {
        host = o.tlsHost;
    }
    return IsPlainHostName(host) ? host : "zorvo-directory";
}

// The plain listener and the HTTPS one that the options ask for, bound; the HTTPS certificate
// is loaded (or made) first.
Listeners OpenListeners(const ServiceOptions& o, TlsIdentity* identity) {
    Listeners out;
    if (o.plainOn) {
        auto l = std::make_unique<Listener>();
        l->server = std::make_unique<httplib::Server>();
        l->host = o.host;
        l->port = BindServer(*l->server, o.host, o.port, o.listen, o.threads);
        out.push_back(std::move(l));
    }
    if (!o.tlsListen.empty()) {
        std::string error;
        const std::string stateDir = o.tlsCert.empty() ? StateFolder(o) : "";
        if (!LoadTlsIdentity(o.tlsCert, o.tlsKey, stateDir, CertificateHost(o), identity, &error)) {
            Fail(error);
        }
        auto l = std::make_unique<Listener>();
        l->server = MakeTlsServer(*identity, &error);
        if (!l->server) {
            Fail(error);
        }
        l->host = o.tlsHost;
        l->port = BindServer(*l->server, o.tlsHost, o.tlsPort, o.tlsListen, o.threads);
        l->tls = true;
        out.push_back(std::move(l));
    }
    return out;
}

// What the discovery file names for a request over HTTPS: the HTTPS listener, under the advertised
// host name when there is one.
void AddTlsHost(const ServiceOptions& o, const Listeners& listeners, DirectoryOptions* options) {
    const Listener& last = *listeners.back();
    if (!last.tls) {
        return;
    }
    const std::string port = ":" + std::to_string(last.port);
    std::string host = o.advertise.substr(0, o.advertise.find(':'));
    if (host.empty() && last.host != "0.0.0.0") {
        host = last.host;
    }
    options->tlsAdvertise = host.empty() ? "" : "https://" + host + port;
    options->tlsFallbackHost = (last.host == "0.0.0.0" ? "127.0.0.1" : last.host) + port;
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

// The page handling's options; host and bound: the first listener's address and port.
DirectoryOptions PageOptions(const ServiceOptions& o, const std::string& host, int bound) {
    std::string hostPort = host + ":" + std::to_string(bound);
    DirectoryOptions options;
    options.advertise = o.advertise;
    if (o.advertise.empty() && host != "0.0.0.0") {
        options.advertise = hostPort;
    }
    options.fallbackHost = host == "0.0.0.0" ? "127.0.0.1:" + std::to_string(bound) : hostPort;
    options.pagePath = o.pagePath;
    options.onlineSeconds = o.onlineSeconds;
    options.hashCost = o.hashCost;
    options.failureLimit = static_cast<int>(o.maxFailures);
    options.nameFailureLimit = static_cast<int>(o.maxNameFailures);
    options.addressNameLimit = static_cast<int>(o.maxAddressNames);
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
void Route(httplib::Server& server, Directory& directory, RequestLog& log, bool tls) {
    auto handler = [&directory, &log, tls](const httplib::Request& req, httplib::Response& res) {
        auto start = std::chrono::steady_clock::now();
        HttpRequest in;
        in.method = req.method;
        in.target = req.target;
        in.body = req.body;
        in.contentType = req.get_header_value("Content-Type");
        in.host = req.get_header_value("Host");
        in.peer = req.remote_addr;
        in.local = req.local_addr;
        in.tls = tls;
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
            log.Write(LogLine(req, res.status, res.body.size(), 0, false));
            return httplib::Server::HandlerResponse::Handled;
        }));
    // What the exception said is not shown anywhere: it might quote the request.
    server.set_exception_handler(
        [&log](const httplib::Request& req, httplib::Response& res, std::exception_ptr) {
            res.status = 500;
            res.set_content(RefusalText("internal error"), "text/plain; charset=utf-8");
            log.Write(LogLine(req, res.status, res.body.size(), 0));
        });
}

// The first line names every listener ("listening on HOST:PORT", the first one first: scripts
// and tests read the port from it); then the certificate's fingerprints clients check.
void PrintStart(const Listeners& listeners, const TlsIdentity& identity, const std::string& db,
                const std::string& rendezvousNote) {
    std::string where;
    for (const auto& l : listeners) {
        where += (where.empty() ? "" : " and ") + l->host + ":" + std::to_string(l->port);
        if (l->tls || listeners.size() > 1) {
            where += l->tls ? " (https)" : " (http)";
        }
    }
    std::fprintf(stderr, "zorvo-directory: listening on %s, database %s\n", where.c_str(),
                 ShownDatabase(db).c_str());
    if (listeners.back()->tls) {
        if (identity.made) {
            std::fprintf(stderr, "zorvo-directory: made a self-signed TLS certificate %s\n",
                         identity.certificate.c_str());
        }
        std::fprintf(stderr, "zorvo-directory: TLS certificate SHA-256 fingerprint %s\n",
                     identity.fingerprints.certificate.c_str());
        std::fprintf(stderr, "zorvo-directory: TLS public key pin %s\n",
                     identity.fingerprints.publicKeyPin.c_str());
    }
    std::fprintf(stderr, "zorvo-directory: %s\n", rendezvousNote.c_str());
    std::fflush(stderr);
}

// Stops a listener once it runs (a stop before that would be lost), or not at all when it has
// ended already. Called once per listener.
void StopListener(Listener& l) {
    while (!l.ended && !l.server->is_running()) {
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    l.server->stop();
}

// Serves on every listener until SIGTERM or SIGINT, or until one of them stops by itself (which
// stops the others); true when none failed. Each listener returns once its worker threads have
// answered every request they had.
bool ServeAll(Listeners& listeners, const sigset_t& stopSignals) {
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&stopSignals, &sig);
        for (auto& l : listeners) {
            StopListener(*l);
        }
    });
    std::atomic<bool> failed{false};
    auto serve = [&](Listener& l) {
        if (!l.server->listen_after_bind()) {
            failed = true;
        }
        l.ended = true;
        // Wakes the stopper as a signal would; once it is awake this stays pending, unread.
        pthread_kill(stopper.native_handle(), SIGTERM);
    };
    std::vector<std::thread> others;
    for (size_t i = 1; i < listeners.size(); ++i) {
        others.emplace_back(serve, std::ref(*listeners[i]));
    }
    serve(*listeners.front());
    for (std::thread& t : others) {
        t.join();
    }
    stopper.join();
    return !failed;
}

}  // namespace

int main(int argc, char** argv) {
    const ServiceOptions o = OptionsOrExit(argc, argv);
    if (sodium_init() < 0) {
        Fail("libsodium cannot be initialised");
    }

    // SIGTERM and SIGINT are taken by one thread that stops the listeners; every other thread
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

    TlsIdentity identity;
    Listeners listeners = OpenListeners(o, &identity);
    DirectoryOptions pageOptions = PageOptions(o, listeners.front()->host, listeners.front()->port);
    AddTlsHost(o, listeners, &pageOptions);
    AddRendezvous(o, turnSecret, rendezvous ? registry.get() : nullptr, rendezvous.get(),
                  &pageOptions);
    if (rendezvous) {
        rendezvous->Start();
    }
    auto directory = std::make_unique<Directory>(*storage, pageOptions);
    auto log = std::make_unique<RequestLog>(logOut);
    for (auto& l : listeners) {
        Route(*l->server, *directory, *log, l->tls);
    }
    PrintStart(listeners, identity, db, rendezvousNote);
    bool served = ServeAll(listeners, stopSignals);

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
