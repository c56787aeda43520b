// zorvo-directory-seed: fills a running zorvo-directory with users for the load benchmark
// (each registered, logged in, with a buddy list and a heartbeat), and checks that concurrent
// logins, buddy-list syncs and heartbeats lose no write.

#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "directory/client/Requests.h"
#include "directory/client/WebClient.h"

namespace {

const char* const kUsage =
    "Usage: zorvo-directory-seed --host HOST:PORT [OPTION]...\n"
    "Creates the users user0 ... userN-1 on a running zorvo-directory, logs them in, gives each\n"
    "a buddy list and sends a heartbeat; optionally checks that concurrent writes are kept.\n"
    "\n"
    "  --host HOST:PORT      the service web host (required)\n"
    "  --users N             users to create (default 1000)\n"
    "  --buddies K           buddies per user: the next K users (default 10)\n"
    "  --password TEXT       password of every user (default benchpw)\n"
    "  --threads T           requests in flight at once (default 4)\n"
    "  --check-writes R      then run R rounds of sync, heartbeat and login per user, all users\n"
    "                        at once, and check every login returns the list just synced\n"
    "  --help, --version\n";

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "zorvo-directory-seed: %s\n", message.c_str());
    std::exit(1);
}

long Number(const char* text, const char* option) {
    char* end = nullptr;
    long v = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || v < 0 || v > 1000000) {
        Fail(std::string(option) + " takes a number");
    }
    return v;
}

std::string Name(long i) {
    return std::string("user").append(std::to_string(i));
}

// The buddy list text that user i syncs in round r.
std::string ListText(long i, long r) {
    return std::string("w").append(std::to_string(i)).append("r").append(std::to_string(r));
}

// Runs work(i) for i in [0, count) on the given number of threads.
template <typename F>
void Parallel(long count, long threads, F work) {
    std::atomic<long> next{0};
    std::vector<std::thread> pool;
    for (long t = 0; t < threads; ++t) {
        pool.emplace_back([&] {
            for (long i = next++; i < count; i = next++) {
                work(i);
            }
        });
    }
    for (std::thread& t : pool) {
        t.join();
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string host;
    std::string password = "benchpw";
    long users = 1000;
    long buddies = 10;
    long threads = 4;
    long rounds = 0;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&]() -> const char* {
            if (i + 1 >= argc) {
                Fail("option " + arg + " needs a value (see --help)");
            }
            return argv[++i];
        };
        if (arg == "--help") {
            std::fputs(kUsage, stdout);
            return 0;
        } else if (arg == "--version") {
            std::printf("zorvo-directory-seed %s\n", ZORVO_VERSION);
            return 0;
        } else if (arg == "--host") {
            host = value();
        } else if (arg == "--users") {
            users = Number(value(), "--users");
        } else if (arg == "--buddies") {
            buddies = Number(value(), "--buddies");
        } else if (arg == "--password") {
            password = value();
        } else if (arg == "--threads") {
            threads = std::max(1L, Number(value(), "--threads"));
        } else if (arg == "--check-writes") {
            rounds = Number(value(), "--check-writes");
        } else {
            Fail("unknown option " + arg + " (see --help)");
        }
    }
    if (host.empty()) {
        Fail("--host is required (see --help)");
    }
    if (users < 1) {
        Fail("--users must be at least 1");
    }

    ServerInfo server;
    {
        CWebClient web;
        web.SetServiceHost(host);
        const char* tmp = std::getenv("TMPDIR");
        std::string ini = std::string(tmp != nullptr ? tmp : "/tmp") + "/zorvo-seed-" +
                          std::to_string(getpid()) + ".ini";
        web.SetDiscoveryFile(ini);
        int found = web.DiscoverServer(&server);
        unlink(ini.c_str());
        if (!found) {
            Fail("no directory service answers at " + host);
        }
    }

    std::atomic<long> failures{0};
    auto expect = [&](bool ok, const std::string& what) {
        if (!ok) {
            if (failures++ < 10) {
                std::fprintf(stderr, "zorvo-directory-seed: %s\n", what.c_str());
            }
        }
    };

    Parallel(users, threads, [&](long i) {
        CWebClient web;
        std::string user = Name(i);
        std::string reply;
        bool got = web.Get(server.host,
                           "register.asp?User=" + user + "&Pass=" + UrlEncode(password), &reply);
        expect(got && (reply.find("is ready") != std::string::npos ||
                       reply.find("is taken") != std::string::npos),
               "cannot register " + user);
        std::string list;
        for (long k = 1; k <= buddies && k < users; ++k) {
            list += Name((i + k) % users) + " ";
        }
        // Half the users report an address, half sit behind a firewall.
        std::string address =
            i % 2 == 0 ? "LAN"
                       : "100.64." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256);
        got = web.Get(server.host, LoginTarget(server, user, password, address), &reply);
        expect(got && reply[0] == '+', "cannot log in " + user);
        got = web.Get(server.host, SyncBListTarget(server, user, password, list), &reply);
        expect(got && reply[0] == '+', "cannot sync the buddies of " + user);
        got = web.Get(server.host, IamUpTarget(server, user, password, address), &reply);
        expect(got && reply[0] != '#', "heartbeat of " + user + " refused");
    });
    std::printf("seeded %ld users with %ld buddies each on %s (pages under %s)\n", users, buddies,
                server.host.c_str(), server.path.c_str());
    if (failures > 0) {
        Fail(std::to_string(failures.load()) + " seeding requests failed");
    }

    if (rounds > 0) {
        std::atomic<long> syncs{0};
        std::atomic<long> lost{0};
        // Every user at once, each on its own sequence: sync a new list, heartbeat, log in and
        // expect the list just synced back.
        Parallel(users, threads, [&](long i) {
            CWebClient web;
            std::string user = Name(i);
            std::string reply;
            for (long r = 0; r < rounds; ++r) {
                const std::string list = ListText(i, r);
                bool ok =
                    web.Get(server.host, SyncBListTarget(server, user, password, list), &reply) &&
                    reply == "+OK";
                syncs += ok ? 1 : 0;
                ok = ok &&
                     web.Get(server.host, IamUpTarget(server, user, password, "LAN"), &reply) &&
                     reply[0] != '#';
                ok = ok &&
                     web.Get(server.host, LoginTarget(server, user, password, "LAN"), &reply) &&
                     BuddyTextFromLoginReply(reply) == list;
                if (!ok) {
                    ++lost;
                    expect(false, "write of " + user + " round " + std::to_string(r) +
                                      " not kept: " + reply);
                }
            }
        });
        // And once more after everything settled.
        Parallel(users, threads, [&](long i) {
            CWebClient web;
            std::string reply;
            const std::string want = ListText(i, rounds - 1);
            bool ok = web.Get(server.host, LoginTarget(server, Name(i), password, "LAN"), &reply) &&
                      BuddyTextFromLoginReply(reply) == want;
            if (!ok) {
                ++lost;
                expect(false, "final list of " + Name(i) + " is " + reply);
            }
        });
        std::printf(
            "write check: %ld syncs, %ld heartbeats and %ld logins from %ld users at "
            "once; lost writes: %ld\n",
            syncs.load(), users * rounds, users * (rounds + 1), users, lost.load());
        if (lost > 0) {
            return 1;
        }
    }
    return 0;
}
