#pragma once

// What the HTTPS tests of the service share: a temporary folder, a client (libcurl) that pins a
// key or trusts a certificate, raw exchanges over TLS (OpenSSL), and the program run with its
// standard error kept in a file, so that a test can read every line it wrote.

#include <arpa/inet.h>
#include <curl/curl.h>
#include <netinet/in.h>
#include <openssl/ssl.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace tlstest {

// A folder of its own under $TMPDIR (or /tmp), removed with everything in it at the end.
class TempDir {
  public:
    TempDir() {
        const char* base = std::getenv("TMPDIR");
        std::string pattern = std::string(base != nullptr ? base : "/tmp") + "/zorvo-tls-XXXXXX";
        if (mkdtemp(pattern.data()) != nullptr) {
            m_path = pattern;
        }
    }
    ~TempDir() {
        if (!m_path.empty()) {
            std::string ignored = "rm -rf '" + m_path + "'";
            (void)!std::system(ignored.c_str());
        }
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    const std::string& path() const { return m_path; }
    std::string File(const std::string& name) const { return m_path + "/" + name; }

  private:
    std::string m_path;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream text;
    text << in.rdbuf();
    return text.str();
}

inline void WriteFile(const std::string& path, const std::string& text) {
    std::ofstream(path, std::ios::binary) << text;
}

struct Answer {
    CURLcode code = CURLE_FAILED_INIT;
    long status = 0;
    std::string body;
};

struct FetchOptions {
    std::string pin;          // "sha256//..." : the server's key must be this one
    std::string caFile;       // a certificate to trust (checked with the host name too)
    std::string fromAddress;  // the local address to connect from
    std::string form;         // a form to POST (application/x-www-form-urlencoded)
};

inline size_t KeepBody(char* data, size_t size, size_t count, void* body) {
    static_cast<std::string*>(body)->append(data, size * count);
    return size * count;
}

// One request with libcurl. With a pin and no certificate to trust, the certificate chain is not
// checked: the pin alone decides (as a client of a self-signed service does).
inline Answer Fetch(const std::string& url, const FetchOptions& o = {}) {
    static const bool initialised = curl_global_init(CURL_GLOBAL_DEFAULT) == CURLE_OK;
    Answer a;
    CURL* c = initialised ? curl_easy_init() : nullptr;
    if (c == nullptr) {
        return a;
    }
    curl_easy_setopt(c, CURLOPT_URL, url.c_str());
    curl_easy_setopt(c, CURLOPT_TIMEOUT_MS, 10000L);
    curl_easy_setopt(c, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(c, CURLOPT_WRITEFUNCTION, KeepBody);
    curl_easy_setopt(c, CURLOPT_WRITEDATA, &a.body);
    if (!o.caFile.empty()) {
        curl_easy_setopt(c, CURLOPT_CAINFO, o.caFile.c_str());
    } else if (!o.pin.empty()) {
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYPEER, 0L);
        curl_easy_setopt(c, CURLOPT_SSL_VERIFYHOST, 0L);
    }
    if (!o.pin.empty()) {
        curl_easy_setopt(c, CURLOPT_PINNEDPUBLICKEY, o.pin.c_str());
    }
    if (!o.fromAddress.empty()) {
        curl_easy_setopt(c, CURLOPT_INTERFACE, ("host!" + o.fromAddress).c_str());
    }
    if (!o.form.empty()) {
        curl_easy_setopt(c, CURLOPT_POSTFIELDS, o.form.c_str());
    }
    a.code = curl_easy_perform(c);
    curl_easy_getinfo(c, CURLINFO_RESPONSE_CODE, &a.status);
    curl_easy_cleanup(c);
    return a;
}

inline int ConnectLoopback(int port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<uint16_t>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    timeval wait{5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wait, sizeof wait);
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &wait, sizeof wait);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Whether a reply holds its whole head and as many body bytes as its Content-Length says.
inline bool Complete(const std::string& reply) {
    const size_t end = reply.find("\r\n\r\n");
    if (end == std::string::npos) {
        return false;
    }
    const size_t at = reply.find("Content-Length: ");
    const size_t length = at != std::string::npos && at < end
                              ? std::strtoul(reply.c_str() + at + 16, nullptr, 10)
                              : 0;
    return reply.size() >= end + 4 + length;
}

// Sends raw bytes, plain or inside TLS (any certificate accepted), on a fresh connection; gives
// the server's answer: one whole reply, or what came before it closed or went quiet for 5 s.
inline std::string RawExchange(int port, bool tls, const std::string& bytes) {
    signal(SIGPIPE, SIG_IGN);  // a server that closed early must not end the test
    int fd = ConnectLoopback(port);
    if (fd < 0) {
        return {};
    }
    SSL_CTX* ctx = tls ? SSL_CTX_new(TLS_client_method()) : nullptr;
    SSL* ssl = ctx != nullptr ? SSL_new(ctx) : nullptr;
    std::string reply;
    if (!tls || (ssl != nullptr && SSL_set_fd(ssl, fd) == 1 && SSL_connect(ssl) == 1)) {
        auto put = [&](const char* p, size_t n) {
            return tls ? SSL_write(ssl, p, static_cast<int>(n))
                       : static_cast<int>(send(fd, p, n, MSG_NOSIGNAL));
        };
        auto get = [&](char* p, size_t n) {
            return tls ? SSL_read(ssl, p, static_cast<int>(n))
                       : static_cast<int>(recv(fd, p, n, 0));
        };
        size_t sent = 0;
        while (sent < bytes.size()) {
            int n = put(bytes.data() + sent, std::min<size_t>(bytes.size() - sent, 16384));
            if (n <= 0) {
                break;
            }
            sent += static_cast<size_t>(n);
        }
        char buf[4096];
        while (!Complete(reply)) {
            int n = get(buf, sizeof buf);
            if (n <= 0) {
                break;
            }
            reply.append(buf, static_cast<size_t>(n));
        }
    }
    SSL_free(ssl);
    SSL_CTX_free(ctx);
    close(fd);
    return reply;
}

// The zorvo-directory program with its standard error in a file; the ports of its listeners
// come from its first line.
class ServiceRun {
  public:
    ServiceRun(std::string program, std::string errFile)
        : m_program(std::move(program)), m_errFile(std::move(errFile)) {}
    ~ServiceRun() { Stop(); }
    ServiceRun(const ServiceRun&) = delete;
    ServiceRun& operator=(const ServiceRun&) = delete;

    // Starts the program with args (its stderr appended to the file) and waits up to 10 s for
    // the line that names its listeners. False when it ended or never wrote that line.
    bool Start(const std::vector<std::string>& args) {
        Stop();
        m_skip = ReadFile(m_errFile).size();
        m_pid = fork();
        if (m_pid == 0) {
            FILE* err = std::fopen(m_errFile.c_str(), "a");
            if (err == nullptr) {
                _exit(127);
            }
            dup2(fileno(err), 2);
            std::vector<char*> argv{m_program.data()};
            for (const std::string& a : args) {
                argv.push_back(const_cast<char*>(a.c_str()));
            }
            argv.push_back(nullptr);
            execv(argv[0], argv.data());
            _exit(127);
        }
        for (int i = 0; i < 500 && m_pid > 0; ++i) {
            if (ReadPorts()) {
                return true;
            }
            if (waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
                m_pid = 0;
                return false;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return false;
    }
    // SIGTERM, then the exit status (-1 when it had to be killed, or was not running).
    int Stop() {
        if (m_pid <= 0) {
            return -1;
        }
        kill(m_pid, SIGTERM);
        for (int i = 0; i < 200; ++i) {
            if (waitpid(m_pid, &m_status, WNOHANG) == m_pid) {
                m_pid = 0;
                return WIFEXITED(m_status) ? WEXITSTATUS(m_status) : 128 + WTERMSIG(m_status);
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        kill(m_pid, SIGKILL);
        waitpid(m_pid, &m_status, 0);
        m_pid = 0;
        return -1;
    }
    // What this start wrote on stderr so far.
    std::string Err() const { return ReadFile(m_errFile).substr(m_skip); }
    // The rest of the line that begins with prefix ("zorvo-directory: " left out), or "".
    std::string LineAfter(const std::string& prefix) const {
        const std::string text = Err();
        size_t at = text.find("zorvo-directory: " + prefix);
        if (at == std::string::npos) {
            return "";
        }
        at += 17 + prefix.size();
        const size_t end = text.find('\n', at);
        return end == std::string::npos ? "" : text.substr(at, end - at);
    }
    int httpPort() const { return m_http; }
    int httpsPort() const { return m_https; }

  private:
    // "listening on 127.0.0.1:P1 (http) and 127.0.0.1:P2 (https), ..." or with one of them.
    bool ReadPorts() {
        const std::string line = LineAfter("listening on ");
        if (line.empty()) {
            return false;
        }
        m_http = 0;
        m_https = 0;
        for (size_t at = line.find("127.0.0.1:"); at != std::string::npos;
             at = line.find("127.0.0.1:", at + 1)) {
            int port = std::atoi(line.c_str() + at + 10);
            size_t end = line.find_first_not_of("0123456789", at + 10);
            bool tls = end != std::string::npos && line.compare(end, 8, " (https)") == 0;
            (tls ? m_https : m_http) = port;
        }
        return m_http > 0 || m_https > 0;
    }

    std::string m_program;
    std::string m_errFile;
    size_t m_skip = 0;
    pid_t m_pid = 0;
    int m_status = 0;
    int m_http = 0;
    int m_https = 0;
};

}  // namespace tlstest
