#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <semaphore>
#include <shared_mutex>
#include <string>
#include <string_view>
#include <unordered_map>

#include "directory/server/Query.h"
#include "directory/server/Storage.h"

// One HTTP request as the page handling sees it; no sockets involved.
struct HttpRequest {
    std::string method;  // "GET", "HEAD", "POST", ...
    std::string target;  // the raw request target: path, then "?" and the query
    std::string body;    // a POSTed form
    std::string contentType;
    std::string host;  // the Host header
};

struct HttpReply {
    int status = 200;
    std::string contentType = "text/plain; charset=utf-8";
    std::string body;
    std::string page = "-";  // the page recognised, for the request log
};

// How costly the stored password hashes are. Interactive is for real use; Min only makes
// tests and benchmarks that create many accounts run fast.
enum class HashCost { Interactive, Moderate, Min };

struct DirectoryOptions {
    std::string advertise;  // "CURRENT IP" published; empty: the Host header, else fallbackHost
    std::string fallbackHost = "127.0.0.1:8080";
    std::string pagePath = "/zorvo";  // "PATH" published: where the directory pages live
    int64_t onlineSeconds = 120;      // a user is online this long after a heartbeat
    int64_t callReopenSeconds = 10;   // a repeated opening report within this gets the same record
    HashCost hashCost = HashCost::Interactive;
    int slowHashes = 2;              // password hashes computed at the same time, at most
    std::function<int64_t()> clock;  // seconds since the epoch; default the system clock
};

// The service's pages: the directory requests of the client, the discovery text and the two
// pages for people in a browser. Handle may be called from many threads at once.
class Directory {
  public:
    Directory(Storage& storage, DirectoryOptions options);
    ~Directory();

    HttpReply Handle(const HttpRequest& request);

    // The buddy-name rule: trimmed, lower case, 1 to 63 bytes, no white space or control
    // bytes and none of * & ' ~ , " < > ? % ! @ : ; ` ( ) + = | \ /.
    static bool NormalizeName(std::string_view in, std::string* out);
    // "LAN" or a dotted IPv4 address (written back in its plain form).
    static bool NormalizeAddress(std::string_view in, std::string* out);
    // A decimal 32-bit number with an optional minus sign, nothing else.
    static bool ParseInt32(std::string_view in, int* out);

  private:
    enum class Auth { Ok, Refused, Failed };
    using Digest = std::array<unsigned char, 32>;

    int64_t Now() const;
    Auth CheckFast(const std::string& name, const std::string& password);
    Auth CheckSlow(const std::string& name, const std::string& password);
    Digest MakeDigest(const std::string& name, const std::string& password) const;
    bool HashPassword(const std::string& password, std::string* hash);

    HttpReply Discovery(const HttpRequest& request);
    HttpReply Login(const Params& p);
    HttpReply Logoff(const Params& p);
    HttpReply IamUp(const Params& p);
    HttpReply UserList(const Params& p);
    HttpReply CallReport(const Params& p);
    HttpReply SyncBuddies(const Params& p);
    HttpReply Register(const HttpRequest& request, const Params& p);
    HttpReply MyAccount(const HttpRequest& request, const Params& p);
    HttpReply Index();
    std::string WebHost(const HttpRequest& request) const;

    Storage& m_storage;
    DirectoryOptions m_options;
    std::counting_semaphore<64> m_slowHashes;
    unsigned char m_digestKey[32];
    std::shared_mutex m_cacheLock;
    std::unordered_map<std::string, Digest> m_cache;  // from each user's last good password
};
