#include "CallOptions.h"

#include <arpa/inet.h>
#include <CLI/CLI.hpp>

#include <cerrno>
#include <cmath>
#include <cstdlib>
#include <functional>
#include <string_view>
#include <vector>

#include "directory/client/ServiceHost.h"
#include "directory/client/TlsTrust.h"

const char* const kCallUsage =
    "usage: zorvo-call listen [--port N] [--user NAME] [--answer accept|reject|silent|ignore]\n"
    "                         [--answer-delay SEC] [--mic SRC] [--speaker DST]\n"
    "                         [--no-processing] [--hangup-after SEC] [--timeout SEC]\n"
    "       zorvo-call call ADDRESS [--port N] [--user NAME] [--mic SRC] [--speaker DST]\n"
    "                         [--no-processing] [--hangup-after SEC] [--timeout SEC]\n"
    "       zorvo-call listen|call NAME --service [https://]HOST[:PORT] --user NAME\n"
    "                         --pass PASSWORD [--trust-key PIN] [--no-port-mapping]\n"
    "                         [other options as above]\n"
    "       any of them with [--identity FILE] [--no-encryption | --require-encryption]\n"
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
    "  --no-processing   no echo cancellation, noise suppression or automatic gain on the\n"
    "                    sound card's microphone (WAV files are never processed)\n"
    "  --hangup-after S  hang up that many seconds after the call came up\n"
    "  --timeout S       give up when no call has come up after that many seconds\n"
    "  --service HOST    log in to the directory at HOST[:PORT] as --user with --pass: listen\n"
    "                    then answers calls that come through the directory (also from behind\n"
    "                    a home router), and call takes a buddy's NAME (an IPv4 address still\n"
    "                    calls directly); a PATH line says how the call got through\n"
    "                    (direct, local, mapped, punched or relayed)\n"
    "  --pass PASSWORD   the password for --service\n"
    "  --trust-key PIN   --service https://HOST[:PORT] reaches the directory over TLS; when no\n"
    "                    authority vouches for its certificate, PIN is its key as\n"
    "                    zorvo-directory prints it (sha256//BASE64); another key is refused\n"
    "  --no-port-mapping do not ask the home router to forward the call port\n"
    "  --identity FILE   the long-term identity key (created owner-only on first use);\n"
    "                    default identity.key in $XDG_DATA_HOME/zorvo or ~/.local/share/zorvo\n"
    "  --no-encryption   never encrypt, as a program from before encryption\n"
    "  --require-encryption  refuse a peer that cannot encrypt the call\n"
    "                    (by default the call is encrypted whenever the peer can; ENCRYPTED yes\n"
    "                    or no and the short authentication string SAS are printed)\n"
    "\n"
    "listen serves one call: it ends when the first call that came up has ended, and keeps\n"
    "listening after a rejected one. Exit status: 0 a call came up and ended, 1 no call came\n"
    "up, 2 bad arguments or a setup failure.\n";

namespace {

bool ParseSeconds(const std::string& text, double* out) {
    char* end = nullptr;
    errno = 0;
    const double value = std::strtod(text.c_str(), &end);
    if (errno != 0 || end == text.c_str() || *end != '\0' || !std::isfinite(value) || value < 0 ||
        value > 1e6) {
        return false;
    }
    *out = value;
    return true;
}

bool ParsePort(const std::string& text, unsigned* out) {
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text.c_str(), &end, 10);
    if (errno != 0 || end == text.c_str() || *end != '\0' || value < 1 || value > 65535) {
        return false;
    }
    *out = static_cast<unsigned>(value);
    return true;
}

// Refuses an option's value with the program's own words.
[[noreturn]] void Refuse(const std::string& message) {
    throw CLI::ValidationError(message);
}

void SetAnswer(CallOptions* o, const std::string& a) {
    if (a == "accept") {
        o->answer = CallOptions::Answer::Accept;
    } else if (a == "reject") {
        o->answer = CallOptions::Answer::Reject;
    } else if (a == "silent") {
        o->answer = CallOptions::Answer::Silent;
    } else if (a == "ignore") {
        o->answer = CallOptions::Answer::Ignore;
    } else {
        Refuse("--answer takes accept, reject, silent or ignore");
    }
}

// A number of seconds for the option called name.
std::function<void(const std::string&)> Seconds(const char* name, std::optional<double>* out) {
    return [name, out](const std::string& v) {
        double s = 0;
        if (!ParseSeconds(v, &s)) {
            Refuse(std::string(name) + " takes a number of seconds");
        }
        *out = s;
    };
}

// An option with one value, handled by set; given twice, the last one counts.
void Add(CLI::App& app, const char* name, std::function<void(const std::string&)> set) {
    app.add_option_function<std::string>(name, std::move(set))
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast);
}

void AddOptions(CLI::App& app, CallOptions* o) {
    Add(app, "--port", [o](const std::string& v) {
        if (!ParsePort(v, &o->port)) {
            Refuse("--port takes a number from 1 to 65535");
        }
    });
    Add(app, "--user", [o](const std::string& v) {
        if (v.empty() || v.size() > 63) {
            Refuse("--user takes a name of 1 to 63 characters");
        }
        o->user = v;
    });
    Add(app, "--answer", [o](const std::string& v) { SetAnswer(o, v); });
    Add(app, "--answer-delay", [o](const std::string& v) {
        if (!ParseSeconds(v, &o->answerDelay)) {
            Refuse("--answer-delay takes a number of seconds");
        }
    });
    Add(app, "--mic", [o](const std::string& v) { o->mic = v; });
    Add(app, "--speaker", [o](const std::string& v) { o->speaker = v; });
    app.add_flag_callback("--no-processing", [o] { o->processing = false; });
    Add(app, "--hangup-after", Seconds("--hangup-after", &o->hangupAfter));
    Add(app, "--timeout", Seconds("--timeout", &o->timeout));
    Add(app, "--service", [o](const std::string& v) {
        if (!ParseServiceHost(v)) {
            Refuse("--service takes HOST[:PORT], http://HOST[:PORT] or https://HOST[:PORT]");
        }
        o->service = v;
    });
    Add(app, "--pass", [o](const std::string& v) { o->password = v; });
    Add(app, "--trust-key", [o](const std::string& v) {
        if (!IsKeyPin(v)) {
            Refuse("--trust-key takes sha256// and a base64 SHA-256, as zorvo-directory prints it");
        }
        o->trustKey = v;
    });
    app.add_flag_callback("--no-port-mapping", [o] { o->portMapping = false; });
    Add(app, "--identity", [o](const std::string& v) { o->identityFile = v; });
    app.add_flag_callback("--no-encryption", [o] { o->encryption = CallOptions::Encryption::Off; });
    app.add_flag_callback("--require-encryption",
                          [o] { o->encryption = CallOptions::Encryption::Required; });
}

// The directory options belong together: a service needs a user and a password.
std::string CheckService(const CLI::App& app, const CallOptions& o) {
    if (o.ByName() && (app.count("--user") == 0 || o.password.empty())) {
        return "--service needs --user and --pass";
    }
    if (!o.ByName() && app.count("--pass") > 0) {
        return "--pass is for --service";
    }
    if (!o.ByName() && !o.trustKey.empty()) {
        return "--trust-key is for --service";
    }
    return "";
}

ParseResult Fail(std::string error) {
    ParseResult r;
    r.action = ParseResult::Action::Error;
    r.error = std::move(error);
    return r;
}

// The mode and its address, and what no option took, once the options have been read.
ParseResult Finish(const CLI::App& app, const CLI::App& listen, const CLI::App& call,
                   ParseResult result) {
    CallOptions& o = result.options;
    const std::vector<std::string> extra = app.remaining();
    if (!listen.parsed() && !call.parsed()) {
        if (extra.empty()) {
            return Fail("missing mode: listen or call");
        }
        if (extra.front().rfind('-', 0) != 0) {
            return Fail("unknown mode '" + extra.front() + "': use listen or call");
        }
    }
    if (!extra.empty()) {
        const bool option = extra.front().rfind('-', 0) == 0;
        return Fail((option ? "unknown option " : "unexpected argument ") + extra.front());
    }
    if (const std::string problem = CheckService(app, o); !problem.empty()) {
        return Fail(problem);
    }
    if (call.parsed()) {
        o.mode = CallOptions::Mode::Call;
        if (o.address.empty()) {
            return Fail("call needs an ADDRESS");
        }
        in_addr parsed{};
        if (!o.ByName() && inet_pton(AF_INET, o.address.c_str(), &parsed) != 1) {
            return Fail("not an IPv4 address: " + o.address);
        }
        if (app.count("--answer") > 0 || app.count("--answer-delay") > 0) {
            return Fail("--answer and --answer-delay are for listen");
        }
    }
    result.action = ParseResult::Action::Run;
    return result;
}

}  // namespace

ParseResult ParseCallOptions(int argc, const char* const* argv) {
    ParseResult result;
    CLI::App app("zorvo-call", "zorvo-call");
    // Help and version answer as soon as they are met, before any value is judged.
    app.set_help_flag();
    app.add_flag_callback("-h,--help", [] { throw CLI::CallForHelp(); })->trigger_on_parse();
    app.add_flag_callback("--version", [] { throw CLI::CallForVersion(); })->trigger_on_parse();
    app.allow_extras();
    AddOptions(app, &result.options);
    // The options may stand before or after the mode.
    CLI::App* listen = app.add_subcommand("listen")->fallthrough();
    CLI::App* call = app.add_subcommand("call")->fallthrough();
    call->add_option("ADDRESS", result.options.address);
    app.require_subcommand(0, 1);
    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp&) {
        result.action = ParseResult::Action::Help;
        return result;
    } catch (const CLI::CallForVersion&) {
        result.action = ParseResult::Action::Version;
        return result;
    } catch (const CLI::ArgumentMismatch& e) {
        // The message begins with the option's name: "--timeout: 1 required TEXT missing".
        const std::string what = e.what();
        return Fail(what.substr(0, what.find(':')) + " needs a value");
    } catch (const CLI::ParseError& e) {
        return Fail(e.what());
    }
    return Finish(app, *listen, *call, std::move(result));
}
