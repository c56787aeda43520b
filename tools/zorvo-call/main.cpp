// zorvo-call: one call engine driven from the command line, for scripts, tests and benchmarks.

#include <signal.h>

#include <atomic>
#include <cstdio>

#include "CallOptions.h"
#include "CallSession.h"

namespace {

std::atomic<int> g_stop{0};

void RequestStop(int) {
    g_stop.store(1);
}

}  // namespace

int main(int argc, char** argv) {
    const ParseResult parsed = ParseCallOptions(argc, argv);
    switch (parsed.action) {
        case ParseResult::Action::Help:
            std::fputs(kCallUsage, stdout);
            return 0;
        case ParseResult::Action::Version:
            std::printf("zorvo-call %s\n", ZORVO_VERSION);
            return 0;
        case ParseResult::Action::Error:
            std::fprintf(stderr, "zorvo-call: %s (see --help)\n", parsed.error.c_str());
            return CallSession::kSetupFailed;
        case ParseResult::Action::Run:
            break;
    }

    struct sigaction action {};
    action.sa_handler = &RequestStop;
    sigemptyset(&action.sa_mask);
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    CallSession session(parsed.options);
    return session.Run(g_stop);
}
