// zorvo-directory-seed: fills a running zorvo-directory with users for the load benchmark
// (each registered, logged in, with a buddy list and a heartbeat), and checks that concurrent
// logins, buddy-list syncs and heartbeats lose no write.

#include <unistd.h>
#include <CLI/CLI.hpp>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

#include "directory/client/Requests.h"
#include "directory/client/WebClient.h"
#include "directory/protocol/Pages.h"

namespace pages = directory::pages;
namespace replies = directory::replies;

namespace {

const char* const kUsage =
    "Usage: zorvo-directory-seed --host HOST:PORT [OPTION]...\n"
    "Creates the users user0 ... userN-1 on a running zorvo-directory, logs them in, gives each\n"
    "a buddy list and sends a heartbeat; optionally checks that concurrent writes are kept.\n"
    "\n"
    "  --host HOST:PORT      the service web host (required)\n"
    "  --users N             users to create (default 1000)\n"
    "  --online N            of them, log in and heartbeat only the first N (default: all)\n"
    "  --buddies K           buddies per user: the next K users (default 10)\n"
    "  --password TEXT       password of every user (default benchpw)\n"
    "  --threads T           requests in flight at once (default 4)\n"
    "  --check-writes R      then run R rounds of sync, heartbeat and login per user, all users\n"
    "                        at once, and check every login returns the list just synced\n"
    "  --other-host HOST:PORT  another process on the same database: the write check logs\n"
    "                        in there, so that a list synced on one must come back from it\n"
    "  --help, --version\n";

[[noreturn]] void Fail(const std::string& message) {
    std::fprintf(stderr, "zorvo-directory-seed: %s\n", message.c_str());
    std::exit(1);
}

struct SeedOptions {
    std::string host;
    std::string password = "benchpw";
    long users = 1000;
    long buddies = 10;
    long threads = 4;
    long rounds = 0;
    long online = -1;       // -1: every user
    std::string otherHost;  // the write check's logins go here when set
};

// The number an option called name takes, from 0 to a million.
std::function<void(const std::string&)> Number(const char* name, long* out) {
    return [name, out](const std::string& text) {
        char* end = nullptr;
        long v = std::strtol(text.c_str(), &end, 10);
        if (end == text.c_str() || *end != '\0' || v < 0 || v > 1000000) {
            throw CLI::ValidationError(std::string(name) + " takes a number");
        }
        *out = v;
    };
}

// An option with one value, handled by set; given twice, the last one counts.
void Add(CLI::App& app, const char* name, std::function<void(const std::string&)> set) {
    app.add_option_function<std::string>(name, std::move(set))
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

// The options, or the end of the program for help, version and bad options.
SeedOptions OptionsOrExit(int argc, char** argv) {
    SeedOptions o;
    CLI::App app("zorvo-directory-seed", "zorvo-directory-seed");
    // Help and version answer as soon as they are met, before any value is judged.
    app.set_help_flag();
    app.add_flag_callback("--help", [] { throw CLI::CallForHelp(); })->trigger_on_parse();
    app.add_flag_callback("--version", [] { throw CLI::CallForVersion(); })->trigger_on_parse();
    app.allow_extras();
    Add(app, "--host", [&o](const std::string& v) { o.host = v; });
    Add(app, "--users", Number("--users", &o.users));
    Add(app, "--buddies", Number("--buddies", &o.buddies));
    Add(app, "--password", [&o](const std::string& v) { o.password = v; });
    Add(app, "--threads", Number("--threads", &o.threads));
    Add(app, "--check-writes", Number("--check-writes", &o.rounds));
    Add(app, "--online", Number("--online", &o.online));
    Add(app, "--other-host", [&o](const std::string& v) { o.otherHost = v; });
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        std::fputs(kUsage, stdout);
        std::exit(0);
    } catch (const CLI::CallForVersion&) {
        std::printf("zorvo-directory-seed %s\n", ZORVO_VERSION);
        std::exit(0);
    } catch (const CLI::ArgumentMismatch& e) {
        // The message begins with the option's name: "--users: 1 required TEXT missing".
        const std::string what = e.what();
        Fail("option " + what.substr(0, what.find(':')) + " needs a value (see --help)");
    } catch (const CLI::ParseError& e) {
        Fail(e.what());
    }
    if (!app.remaining().empty()) {
        Fail("unknown option " + app.remaining().front() + " (see --help)");
    }
    if (o.host.empty()) {
        Fail("--host is required (see --help)");
    }
    if (o.users < 1) {
        Fail("--users must be at least 1");
    }
    o.threads = std::max(1L, o.threads);
    if (o.online < 0 || o.online > o.users) {
        o.online = o.users;
    }
    return o;
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

bool Accepted(const std::string& reply) {
    return replies::Judge(reply) == replies::Verdict::Accepted;
}

// A heartbeat is refused only by a reply the client shows to the user.
bool HeartbeatKept(const std::string& reply) {
    return replies::Judge(reply) != replies::Verdict::Message;
}

// Where the pages of the service at host live.
ServerInfo Discover(const std::string& host) {
    ServerInfo server;
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
    return server;
}

// Reports the first few failed expectations and counts them all.
class Expectations {
  public:
    void Expect(bool ok, const std::string& what) {
        if (!ok && m_failures++ < 10) {
            std::fprintf(stderr, "zorvo-directory-seed: %s\n", what.c_str());
        }
    }
    long Failures() const { return m_failures.load(); }

  private:
    std::atomic<long> m_failures{0};
};

// Registers user i and, for the first --online users, logs it in, syncs its buddy list and
// sends a heartbeat.
void SeedUser(const SeedOptions& o, const ServerInfo& server, long i, Expectations& expect) {
    CWebClient web;
    std::string user = Name(i);
    std::string reply;
    bool got = web.Get(
        server.host,
        std::string(pages::kRegister) + "?User=" + user + "&Pass=" + UrlEncode(o.password), &reply);
    expect.Expect(got && (reply.find("is ready") != std::string::npos ||
                          reply.find("is taken") != std::string::npos),
                  "cannot register " + user);
    if (i >= o.online) {
        return;
    }
    std::string list;
    for (long k = 1; k <= o.buddies && k < o.users; ++k) {
        list += Name((i + k) % o.users) + " ";
    }
    // Half the users report an address, half sit behind a firewall.
    std::string address =
        i % 2 == 0 ? "LAN"
                   : "100.64." + std::to_string(i / 256 % 256) + "." + std::to_string(i % 256);
    got = web.Get(server.host, LoginTarget(server, user, o.password, address), &reply);
    expect.Expect(got && Accepted(reply), "cannot log in " + user);
    got = web.Get(server.host, SyncBListTarget(server, user, o.password, list), &reply);
    expect.Expect(got && Accepted(reply), "cannot sync the buddies of " + user);
    got = web.Get(server.host, IamUpTarget(server, user, o.password, address), &reply);
    expect.Expect(got && HeartbeatKept(reply), "heartbeat of " + user + " refused");
}

// One round of user i: sync a new list, heartbeat, log in and expect the list just synced back.
// Counts the syncs that were accepted.
bool WriteRound(const SeedOptions& o, const ServerInfo& server, const ServerInfo& reader, long i,
                long r, std::string* reply, std::atomic<long>& syncs) {
    CWebClient web;
    const std::string user = Name(i);
    const std::string list = ListText(i, r);
    if (!web.Get(server.host, SyncBListTarget(server, user, o.password, list), reply) ||
        *reply != replies::kOk) {
        return false;
    }
    ++syncs;
    return web.Get(server.host, IamUpTarget(server, user, o.password, "LAN"), reply) &&
           HeartbeatKept(*reply) &&
           web.Get(reader.host, LoginTarget(reader, user, o.password, "LAN"), reply) &&
           BuddyTextFromLoginReply(*reply) == list;
}

// Every user at once, each on its own sequence of rounds; then every final list once more after
// everything settled.
struct WriteCheck {
    std::atomic<long> syncs{0};
    std::atomic<long> lost{0};
};

void CheckWrites(const SeedOptions& o, const ServerInfo& server, const ServerInfo& reader,
                 Expectations& expect, WriteCheck& check) {
    std::atomic<long>& lost = check.lost;
    Parallel(o.users, o.threads, [&](long i) {
        std::string reply;
        for (long r = 0; r < o.rounds; ++r) {
            if (!WriteRound(o, server, reader, i, r, &reply, check.syncs)) {
                ++lost;
                expect.Expect(false, "write of " + Name(i) + " round " + std::to_string(r) +
                                         " not kept: " + reply);
            }
        }
    });
    Parallel(o.users, o.threads, [&](long i) {
        CWebClient web;
        std::string reply;
        const std::string want = ListText(i, o.rounds - 1);
        bool ok = web.Get(reader.host, LoginTarget(reader, Name(i), o.password, "LAN"), &reply) &&
                  BuddyTextFromLoginReply(reply) == want;
        if (!ok) {
            ++lost;
            expect.Expect(false, "final list of " + Name(i) + " is " + reply);
        }
    });
}

}  // namespace

int main(int argc, char** argv) {
    const SeedOptions o = OptionsOrExit(argc, argv);
    const ServerInfo server = Discover(o.host);

    const ServerInfo reader = o.otherHost.empty() ? server : Discover(o.otherHost);

    Expectations expect;
    Parallel(o.users, o.threads, [&](long i) { SeedUser(o, server, i, expect); });
    std::printf("seeded %ld users (%ld online) with %ld buddies each on %s (pages under %s)\n",
                o.users, o.online, o.buddies, server.host.c_str(), server.path.c_str());
    if (expect.Failures() > 0) {
        Fail(std::to_string(expect.Failures()) + " seeding requests failed");
    }
    if (o.rounds > 0) {
        WriteCheck check;
        CheckWrites(o, server, reader, expect, check);
        std::printf(
            "write check: %ld syncs, %ld heartbeats and %ld logins from %ld users at "
            "once%s; lost writes: %ld\n",
            check.syncs.load(), o.users * o.rounds, o.users * (o.rounds + 1), o.users,
            o.otherHost.empty() ? "" : " (logins on the other process)", check.lost.load());
        if (check.lost > 0) {
            return 1;
        }
    }
    return 0;
}
