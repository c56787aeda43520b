#include "CallOptions.h"

#include <arpa/inet.h>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string_view>

const char* const kCallUsage =
    "usage: zorvo-call listen [--port N] [--user NAME] [--answer accept|reject|silent|ignore]\n"
    "                         [--answer-delay SEC] [--mic SRC] [--speaker DST]\n"
    "                         [--hangup-after SEC] [--timeout SEC]\n"
    "       zorvo-call call ADDRESS [--port N] [--user NAME] [--mic SRC] [--speaker DST]\n"
    "                         [--hangup-after SEC] [--timeout SEC]\n"
    "       zorvo-call --help | --version\n"
    "\n"
    "Holds one voice call from the command line and prints every engine notification as one\n"
    "line on stdout: the status name and its value, the text of a debug message, the caller's\n"
    "name for an incoming call, and the number of samples for a frame notification.\n"
    "\n"
    "  --port N          UDP port: the one listened on, or the callee's (default 1720)\n"
    "  --user NAME       the name sent with a call (default UNKNOWN)\n"
    "  --answer WHAT     accept, reject, silent (accept, send no audio) or ignore (never\n"
    "                    decide); default accept\n"
    "  --answer-delay S  seconds to ring before answering (default 0)\n"
    "  --mic SRC         a WAV file (8 kHz mono) or none; default the sound card\n"
    "  --speaker DST     a WAV file to write, or none; default the sound card\n"
    "  --hangup-after S  hang up that many seconds after the call came up\n"
    "  --timeout S       give up when no call has come up after that many seconds\n"
    "\n"
    "listen serves one call: it ends when the first call that came up has ended, and keeps\n"
    "listening after a rejected one. Exit status: 0 a call came up and ended, 1 no call came\n"
    "up, 2 bad arguments or a setup failure.\n";

namespace {

bool ParseSeconds(const char* text, double* out) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text, &end);
    if (errno != 0 || end == text || *end != '\0' || !std::isfinite(value) || value < 0 ||
        value > 1e6) {
        return false;
    }
    *out = value;
    return true;
}

bool ParsePort(const char* text, unsigned* out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || value < 1 || value > 65535) {
        return false;
    }
    *out = static_cast<unsigned>(value);
    return true;
}

ParseResult Fail(std::string error) {
    ParseResult r;
    r.action = ParseResult::Action::Error;
    r.error = std::move(error);
    return r;
}

}  // namespace

ParseResult ParseCallOptions(int argc, const char* const* argv) {
    ParseResult result;
    CallOptions& o = result.options;
    int i = 1;
    for (int k = 1; k < argc; ++k) {
        const std::string_view arg = argv[k];
        if (arg == "--help" || arg == "-h") {
            result.action = ParseResult::Action::Help;
            return result;
        }
        if (arg == "--version") {
            result.action = ParseResult::Action::Version;
            return result;
        }
    }
    if (argc < 2) {
        return Fail("missing mode: listen or call");
    }
    const std::string_view mode = argv[i++];
    if (mode == "listen") {
        o.mode = CallOptions::Mode::Listen;
    } else if (mode == "call") {
        o.mode = CallOptions::Mode::Call;
        if (i >= argc || std::strncmp(argv[i], "--", 2) == 0) {
            return Fail("call needs an ADDRESS");
        }
        o.address = argv[i++];
        in_addr parsed{};
        if (inet_pton(AF_INET, o.address.c_str(), &parsed) != 1) {
            return Fail("not an IPv4 address: " + o.address);
        }
    } else {
        return Fail("unknown mode '" + std::string(mode) + "': use listen or call");
    }

    bool sawAnswer = false, sawDelay = false;
    for (; i < argc; ++i) {
        const std::string_view name = argv[i];
        if (i + 1 >= argc) {
            return Fail(std::string(name) + " needs a value");
        }
        const char* value = argv[++i];
        if (name == "--port") {
            if (!ParsePort(value, &o.port)) {
                return Fail("--port takes a number from 1 to 65535");
            }
        } else if (name == "--user") {
            if (*value == '\0' || std::strlen(value) > 63) {
                return Fail("--user takes a name of 1 to 63 characters");
            }
            o.user = value;
        } else if (name == "--answer") {
            const std::string_view a = value;
            if (a == "accept") {
                o.answer = CallOptions::Answer::Accept;
            } else if (a == "reject") {
                o.answer = CallOptions::Answer::Reject;
            } else if (a == "silent") {
                o.answer = CallOptions::Answer::Silent;
            } else if (a == "ignore") {
                o.answer = CallOptions::Answer::Ignore;
            } else {
                return Fail("--answer takes accept, reject, silent or ignore");
            }
            sawAnswer = true;
        } else if (name == "--answer-delay") {
            if (!ParseSeconds(value, &o.answerDelay)) {
                return Fail("--answer-delay takes a number of seconds");
            }
            sawDelay = true;
        } else if (name == "--mic") {
            o.mic = value;
        } else if (name == "--speaker") {
            o.speaker = value;
        } else if (name == "--hangup-after") {
            double s = 0;
            if (!ParseSeconds(value, &s)) {
                return Fail("--hangup-after takes a number of seconds");
            }
            o.hangupAfter = s;
        } else if (name == "--timeout") {
            double s = 0;
            if (!ParseSeconds(value, &s)) {
                return Fail("--timeout takes a number of seconds");
            }
            o.timeout = s;
        } else {
            return Fail("unknown option " + std::string(name));
        }
    }
    if (o.mode == CallOptions::Mode::Call && (sawAnswer || sawDelay)) {
        return Fail("--answer and --answer-delay are for listen");
    }
    result.action = ParseResult::Action::Run;
    return result;
}
