#pragma once

// Certificates made for one test (OpenSSL: EC P-256 keys, self-signed or issued by a test
// authority) and an https server on a free loopback port that counts every request reaching it.

#include <httplib.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>

namespace tlstest {

struct FreeKey {
    void operator()(EVP_PKEY* key) const { EVP_PKEY_free(key); }
};
struct FreeCert {
    void operator()(X509* cert) const { X509_free(cert); }
};

class Certificate {
  public:
    // A certificate for the server at 127.0.0.1 that signs itself.
    static Certificate SelfSigned(const std::string& name = "zorvo-directory") {
        Certificate c;
        c.Make(name, nullptr, false);
        return c;
    }
    // A test authority.
    static Certificate Authority(const std::string& name = "Zorvo Test Authority") {
        Certificate c;
        c.Make(name, nullptr, true);
        return c;
    }
    // A certificate for the server at 127.0.0.1 issued by this authority.
    Certificate Issue(const std::string& name = "127.0.0.1") const {
        Certificate c;
        c.Make(name, this, false);
        return c;
    }

    X509* cert() const { return m_cert.get(); }
    EVP_PKEY* key() const { return m_key.get(); }

    std::string Pem() const {
        BIO* bio = BIO_new(BIO_s_mem());
        PEM_write_bio_X509(bio, m_cert.get());
        char* data = nullptr;
        const long n = BIO_get_mem_data(bio, &data);
        std::string pem(data, static_cast<size_t>(n));
        BIO_free(bio);
        return pem;
    }

    void WritePem(const std::string& path) const {
        FILE* f = std::fopen(path.c_str(), "w");
        if (f == nullptr) {
            throw std::runtime_error("cannot write " + path);
        }
        PEM_write_X509(f, m_cert.get());
        std::fclose(f);
    }

  private:
    static void Extension(X509* cert, X509* issuer, int nid, const char* value) {
        X509V3_CTX ctx;
        X509V3_set_ctx_nodb(&ctx);
        X509V3_set_ctx(&ctx, issuer, cert, nullptr, nullptr, 0);
        X509_EXTENSION* ext = X509V3_EXT_conf_nid(nullptr, &ctx, nid, value);
        X509_add_ext(cert, ext, -1);
        X509_EXTENSION_free(ext);
    }

    void Make(const std::string& name, const Certificate* issuer, bool authority) {
        m_key = std::shared_ptr<EVP_PKEY>(EVP_EC_gen("P-256"), FreeKey());
        m_cert = std::shared_ptr<X509>(X509_new(), FreeCert());
        X509* cert = m_cert.get();
        X509_set_version(cert, 2);
        static std::atomic<long> serial{1};
        ASN1_INTEGER_set(X509_get_serialNumber(cert), serial++);
        X509_gmtime_adj(X509_getm_notBefore(cert), -60);
        X509_gmtime_adj(X509_getm_notAfter(cert), 2 * 24 * 3600);
        X509_set_pubkey(cert, m_key.get());
        X509_NAME* subject = X509_get_subject_name(cert);
        X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC,
                                   reinterpret_cast<const unsigned char*>(name.c_str()), -1, -1, 0);
        X509* issuerCert = issuer != nullptr ? issuer->cert() : cert;
        X509_set_issuer_name(cert, X509_get_subject_name(issuerCert));
        if (authority) {
            Extension(cert, issuerCert, NID_basic_constraints, "critical,CA:TRUE");
            Extension(cert, issuerCert, NID_key_usage, "critical,keyCertSign,cRLSign");
        } else {
            Extension(cert, issuerCert, NID_subject_alt_name, "IP:127.0.0.1");
        }
        Extension(cert, issuerCert, NID_subject_key_identifier, "hash");
        X509_sign(cert, issuer != nullptr ? issuer->key() : m_key.get(), EVP_sha256());
    }

    std::shared_ptr<EVP_PKEY> m_key;
    std::shared_ptr<X509> m_cert;
};

// An https server on a free loopback port, run on its own thread for one test. Requests() counts
// every request that reached the server, whatever its target.
class TlsTestServer {
  public:
    explicit TlsTestServer(const Certificate& certificate)
        : m_certificate(certificate), m_server(certificate.cert(), certificate.key()) {
        m_server.set_tcp_nodelay(true);
        m_server.set_pre_routing_handler([this](const httplib::Request&, httplib::Response&) {
            ++m_requests;
            return httplib::Server::HandlerResponse::Unhandled;
        });
    }
    ~TlsTestServer() { Stop(); }

    void Stop() {
        m_server.stop();
        if (m_thread.joinable()) {
            m_thread.join();
        }
    }

    httplib::SSLServer& server() { return m_server; }

    // Starts serving on `port` (0: a free one); returns "https://127.0.0.1:port".
    std::string Start(int port = 0) {
        m_port = port;
        if (port == 0) {
            m_port = m_server.bind_to_any_port("127.0.0.1");
        } else if (!m_server.bind_to_port("127.0.0.1", port)) {
            throw std::runtime_error("cannot listen on port " + std::to_string(port));
        }
        m_thread = std::thread([this] { m_server.listen_after_bind(); });
        for (int i = 0; i < 200 && !m_server.is_running(); ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        return "https://127.0.0.1:" + std::to_string(m_port);
    }

    int port() const { return m_port; }
    int Requests() const { return m_requests.load(); }

  private:
    Certificate m_certificate;  // the server holds pointers into it
    httplib::SSLServer m_server;
    std::thread m_thread;
    int m_port = 0;
    std::atomic<int> m_requests{0};
};

}  // namespace tlstest
