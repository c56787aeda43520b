#pragma once

#include <optional>
#include <string>

// The command line of zorvo-call.
struct CallOptions {
    enum class Mode { Listen, Call };
    enum class Answer { Accept, Reject, Silent, Ignore };

    Mode mode = Mode::Listen;
    std::string address;  // call: the callee's IPv4 address, or a buddy's name with a service
    unsigned port = 1720;
    std::string user = "UNKNOWN";
    Answer answer = Answer::Accept;
    double answerDelay = 0;
    std::string mic;         // "" sound card, "none", or a WAV path
    std::string speaker;     // likewise
    bool processing = true;  // echo cancellation, noise suppression, gain on sound-card capture
    std::optional<double> hangupAfter;
    std::optional<double> timeout;
    // Through a directory: its web host ("host[:port]"), the login and its password.
    std::string service;
    std::string password;
    // The directory's TLS key as zorvo-directory prints it ("sha256//BASE64"), for a directory
    // whose certificate no authority vouches for.
    std::string trustKey;
    bool portMapping = true;  // ask the home router to forward the call port
    // End-to-end encryption: offered by default, never (as an old peer), or insisted on.
    enum class Encryption { Offered, Off, Required };
    Encryption encryption = Encryption::Offered;
    std::string identityFile;  // "" the default place in the state folder
    bool ByName() const { return !service.empty(); }
};

// What parsing the command line asks for.
struct ParseResult {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Error;
    CallOptions options;
    std::string error;  // for Error: one line saying what is wrong
};

ParseResult ParseCallOptions(int argc, const char* const* argv);

extern const char* const kCallUsage;
