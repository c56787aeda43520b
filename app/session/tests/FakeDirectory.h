#pragma once

#include <httplib.h>

#include <chrono>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "testsupport/TestHttpServer.h"

namespace sessiontest {

// A directory service played by a test on a free loopback port: it answers the discovery and
// every page under "/p" with the reply the test set for that page ("+OK" unless set), after an
// optional delay and what the test wants done first, and keeps every request it got.
class FakeDirectory {
  public:
    // One request as it arrived: the raw target and the decoded query keys.
    struct Request {
        std::string target;
        std::multimap<std::string, std::string> params;
        std::string Param(const std::string& key) const {
            const auto found = params.find(key);
            return found == params.end() ? std::string("(none)") : found->second;
        }
    };

    FakeDirectory() {
        m_http.server().Get(
            "/ZorvoServer.txt", [this](const httplib::Request&, httplib::Response& res) {
                res.set_content("[ZORVO]\nCURRENT IP=" + m_host + "\nPATH=/p\n", "text/plain");
            });
        m_http.server().Get(R"(/p\\([A-Za-z]+\.asp))",
                            [this](const httplib::Request& req, httplib::Response& res) {
                                res.set_content(Answer(req), "text/plain");
                            });
        m_host = m_http.Start();  // the handlers run only once a request comes
    }

    // "127.0.0.1:PORT".
    const std::string& Host() const { return m_host; }

    void SetReply(const std::string& page, const std::string& reply, int delayMs = 0) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_replies[page] = {reply, delayMs};
    }

    // Runs `action` on the server's thread before each answer for `page`.
    void SetAction(const std::string& page, std::function<void()> action) {
        std::lock_guard<std::mutex> lock(m_lock);
        m_actions[page] = std::move(action);
    }

    // The requests for `page` ("iamup.asp"), oldest first.
    std::vector<Request> Requests(const std::string& page) const {
        std::lock_guard<std::mutex> lock(m_lock);
        std::vector<Request> found;
        for (const auto& [name, request] : m_seen) {
            if (name == page) {
                found.push_back(request);
            }
        }
        return found;
    }

  private:
    std::string Answer(const httplib::Request& req) {
        const std::string page = req.matches[1];
        std::pair<std::string, int> reply{"+OK", 0};
        std::function<void()> action;
        {
            std::lock_guard<std::mutex> lock(m_lock);
            m_seen.emplace_back(page, Request{req.target, {req.params.begin(), req.params.end()}});
            if (const auto set = m_replies.find(page); set != m_replies.end()) {
                reply = set->second;
            }
            if (const auto set = m_actions.find(page); set != m_actions.end()) {
                action = set->second;
            }
        }
        if (action) {
            action();
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(reply.second));
        return reply.first;
    }

    testsupport::TestHttpServer m_http;
    std::string m_host;
    mutable std::mutex m_lock;
    std::map<std::string, std::pair<std::string, int>> m_replies;
    std::map<std::string, std::function<void()>> m_actions;
    std::vector<std::pair<std::string, Request>> m_seen;
};

}  // namespace sessiontest
