// Feeds arbitrary requests to the page handling of the directory service: the first line of
// the input is the method, the second the request target, the rest a POSTed form. A fixed set of
// accounts exists, so that requests with good credentials reach the storage too.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>

#include "directory/server/Directory.h"
#include "directory/server/SqliteStorage.h"

namespace {

struct Service {
    std::unique_ptr<SqliteStorage> storage;
    std::unique_ptr<Directory> directory;

    Service() {
        std::string error;
        storage = SqliteStorage::Open(":memory:", &error);
        if (!storage) {
            std::abort();
        }
        DirectoryOptions o;
        o.hashCost = HashCost::Min;
        o.clock = [] { return int64_t{1700000000}; };
        directory = std::make_unique<Directory>(*storage, o);
        for (const char* user : {"alice", "bob"}) {
            HttpRequest r;
            r.method = "GET";
            r.target = std::string("/register.asp?User=") + user + "&Pass=pw";
            directory->Handle(r);
        }
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Service service;
    std::string input(reinterpret_cast<const char*>(data), size);
    HttpRequest r;
    size_t first = input.find('\n');
    r.method = input.substr(0, first);
    if (first != std::string::npos) {
        size_t second = input.find('\n', first + 1);
        r.target = input.substr(
            first + 1, second == std::string::npos ? std::string::npos : second - first - 1);
        if (second != std::string::npos) {
            r.body = input.substr(second + 1);
        }
    }
    r.contentType = "application/x-www-form-urlencoded";
    r.host = "127.0.0.1:8080";
    HttpReply reply = service.directory->Handle(r);
    // Every reply is complete: a status the HTTP layer can send and a body.
    if (reply.status < 200 || reply.status > 599 || reply.body.empty()) {
        std::abort();
    }
    return 0;
}
