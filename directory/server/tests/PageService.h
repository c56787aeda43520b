#pragma once

// The page handling of the service over a test database, with a clock the test moves and
// requests from addresses the test gives.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <string>

#include "directory/server/Directory.h"
#include "directory/server/tests/TestDatabase.h"

struct PageService {
    std::unique_ptr<Storage> store;
    std::unique_ptr<Directory> dir;

    PageService(const TestDatabase& database, std::atomic<int64_t>& now) {
        std::string error;
        store = database.Open(&error);
        if (!store) {
            ADD_FAILURE() << error;
            return;
        }
        DirectoryOptions o;
        o.hashCost = HashCost::Min;
        o.clock = [&now] { return now.load(); };
        dir = std::make_unique<Directory>(*store, o);
    }
    HttpReply From(const std::string& address, const std::string& target) {
        HttpRequest r;
        r.method = "GET";
        r.target = target;
        r.peer = address;
        return dir->Handle(r);
    }
    HttpReply Login(const std::string& address, const std::string& user, const std::string& pass,
                    const std::string& more = "") {
        return From(address,
                    "/zorvo\\logmein.asp?User=" + user + "&Pass=" + pass + "&IPAddr=LAN" + more);
    }
    HttpReply Heartbeat(const std::string& address, const std::string& user,
                        const std::string& pass, const std::string& more = "") {
        return From(address,
                    "/zorvo\\iamup.asp?User=" + user + "&Pass=" + pass + "&IPAddr=LAN" + more);
    }
    void Register(const std::string& user, const std::string& pass) {
        ASSERT_EQ(From("127.0.0.1", "/register.asp?User=" + user + "&Pass=" + pass).status, 200);
    }
};
