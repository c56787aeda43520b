#include <gtest/gtest.h>

#include <vector>

#include "CallOptions.h"

namespace {

ParseResult Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "zorvo-call");
    return ParseCallOptions(static_cast<int>(args.size()), args.data());
}

TEST(CallOptions, DefaultsAndEveryListenOption) {
    auto r = Parse({"listen"});
    ASSERT_EQ(r.action, ParseResult::Action::Run);
    EXPECT_EQ(r.options.port, 1720u);
    EXPECT_EQ(r.options.user, "UNKNOWN");
    EXPECT_EQ(r.options.answer, CallOptions::Answer::Accept);
    EXPECT_EQ(r.options.answerDelay, 0);
    EXPECT_EQ(r.options.mic, "");
    EXPECT_FALSE(r.options.timeout);

    r = Parse({"listen", "--port", "4000", "--user", "bob", "--answer", "silent", "--answer-delay",
               "1.5", "--mic", "none", "--speaker", "out.wav", "--hangup-after", "3", "--timeout",
               "20"});
    ASSERT_EQ(r.action, ParseResult::Action::Run) << r.error;
    EXPECT_EQ(r.options.port, 4000u);
    EXPECT_EQ(r.options.answer, CallOptions::Answer::Silent);
    EXPECT_DOUBLE_EQ(r.options.answerDelay, 1.5);
    EXPECT_EQ(r.options.speaker, "out.wav");
    EXPECT_DOUBLE_EQ(*r.options.hangupAfter, 3);
    EXPECT_DOUBLE_EQ(*r.options.timeout, 20);
}

TEST(CallOptions, CallNeedsAnIpv4Address) {
    auto r = Parse({"call", "127.0.0.1", "--port", "1721"});
    ASSERT_EQ(r.action, ParseResult::Action::Run);
    EXPECT_EQ(r.options.mode, CallOptions::Mode::Call);
    EXPECT_EQ(r.options.address, "127.0.0.1");
    EXPECT_EQ(Parse({"call"}).action, ParseResult::Action::Error);
    EXPECT_EQ(Parse({"call", "--port", "1"}).action, ParseResult::Action::Error);
    EXPECT_EQ(Parse({"call", "example.org"}).action, ParseResult::Action::Error);
    EXPECT_EQ(Parse({"call", "1.2.3.4", "--answer", "accept"}).action, ParseResult::Action::Error);
}

TEST(CallOptions, BadValuesAreOneClearError) {
    for (auto args : std::vector<std::vector<const char*>>{
             {},
             {"talk"},
             {"listen", "--port", "0"},
             {"listen", "--port", "65536"},
             {"listen", "--port", "12x"},
             {"listen", "--answer", "maybe"},
             {"listen", "--answer-delay", "-1"},
             {"listen", "--timeout", "nan"},
             {"listen", "--hangup-after"},
             {"listen", "--user", ""},
             {"listen", "--bogus", "1"},
         }) {
        const auto r = Parse(args);
        EXPECT_EQ(r.action, ParseResult::Action::Error) << (args.empty() ? "" : args.back());
        EXPECT_FALSE(r.error.empty());
        EXPECT_EQ(r.error.find('\n'), std::string::npos);
    }
}

TEST(CallOptions, AServiceOverTlsTakesTheDirectorysKey) {
    const char* pin = "sha256//gdBFsXwkjQM/m4Qw994kiKKLTW+Lblnp8iNuBR37xok=";
    auto r = Parse({"listen", "--service", "https://127.0.0.1:8443", "--user", "bob", "--pass",
                    "pw", "--trust-key", pin});
    ASSERT_EQ(r.action, ParseResult::Action::Run) << r.error;
    EXPECT_EQ(r.options.service, "https://127.0.0.1:8443");
    EXPECT_EQ(r.options.trustKey, pin);
    r = Parse({"listen", "--service", "http://dir.example", "--user", "bob", "--pass", "pw"});
    ASSERT_EQ(r.action, ParseResult::Action::Run) << r.error;
    EXPECT_EQ(r.options.trustKey, "");

    r = Parse({"listen", "--service", "https://127.0.0.1/x", "--user", "bob", "--pass", "pw"});
    EXPECT_EQ(r.error, "--service takes HOST[:PORT], http://HOST[:PORT] or https://HOST[:PORT]");
    r = Parse({"listen", "--service", "https://h", "--user", "b", "--pass", "p", "--trust-key",
               "sha256//short="});
    EXPECT_EQ(r.error,
              "--trust-key takes sha256// and a base64 SHA-256, as zorvo-directory prints it");
    r = Parse({"listen", "--trust-key", pin});
    EXPECT_EQ(r.error, "--trust-key is for --service");
}

TEST(CallOptions, HelpAndVersionWinAnywhere) {
    EXPECT_EQ(Parse({"--help"}).action, ParseResult::Action::Help);
    EXPECT_EQ(Parse({"listen", "--port", "x", "--help"}).action, ParseResult::Action::Help);
    EXPECT_EQ(Parse({"--version"}).action, ParseResult::Action::Version);
}

}  // namespace

namespace {

std::string ErrorOf(std::vector<const char*> args) {
    const auto r = Parse(std::move(args));
    EXPECT_EQ(r.action, ParseResult::Action::Error);
    return r.error;
}

TEST(CallOptions, ErrorsNameTheOptionAndWhatItTakes) {
    EXPECT_EQ(ErrorOf({}), "missing mode: listen or call");
    EXPECT_EQ(ErrorOf({"talk"}), "unknown mode 'talk': use listen or call");
    EXPECT_EQ(ErrorOf({"call"}), "call needs an ADDRESS");
    EXPECT_EQ(ErrorOf({"call", "example.org"}), "not an IPv4 address: example.org");
    EXPECT_EQ(ErrorOf({"call", "1.2.3.4", "--answer-delay", "2"}),
              "--answer and --answer-delay are for listen");
    EXPECT_EQ(ErrorOf({"listen", "--port", "0"}), "--port takes a number from 1 to 65535");
    EXPECT_EQ(ErrorOf({"listen", "--user", ""}), "--user takes a name of 1 to 63 characters");
    EXPECT_EQ(ErrorOf({"listen", "--answer", "maybe"}),
              "--answer takes accept, reject, silent or ignore");
    EXPECT_EQ(ErrorOf({"listen", "--answer-delay", "x"}),
              "--answer-delay takes a number of seconds");
    EXPECT_EQ(ErrorOf({"listen", "--hangup-after", "-2"}),
              "--hangup-after takes a number of seconds");
    EXPECT_EQ(ErrorOf({"listen", "--timeout", "inf"}), "--timeout takes a number of seconds");
    EXPECT_EQ(ErrorOf({"listen", "--timeout"}), "--timeout needs a value");
    EXPECT_EQ(ErrorOf({"listen", "--bogus", "1"}), "unknown option --bogus");
}

TEST(CallOptions, OptionsMayStandOnEitherSideOfTheMode) {
    auto r = Parse({"--port", "1800", "call", "10.0.0.2", "--user", "amy"});
    ASSERT_EQ(r.action, ParseResult::Action::Run) << r.error;
    EXPECT_EQ(r.options.mode, CallOptions::Mode::Call);
    EXPECT_EQ(r.options.address, "10.0.0.2");
    EXPECT_EQ(r.options.port, 1800u);
    EXPECT_EQ(r.options.user, "amy");
    r = Parse({"listen", "--answer", "reject", "--answer", "ignore"});
    ASSERT_EQ(r.action, ParseResult::Action::Run) << r.error;
    EXPECT_EQ(r.options.answer, CallOptions::Answer::Ignore);
}

TEST(CallOptions, ProcessingIsOnUnlessNoProcessingStandsOnEitherSideOfTheMode) {
    EXPECT_TRUE(Parse({"listen"}).options.processing);
    EXPECT_TRUE(Parse({"call", "10.0.0.2"}).options.processing);
    auto r = Parse({"call", "10.0.0.2", "--no-processing"});
    ASSERT_EQ(r.action, ParseResult::Action::Run) << r.error;
    EXPECT_FALSE(r.options.processing);
    r = Parse({"--no-processing", "listen"});
    ASSERT_EQ(r.action, ParseResult::Action::Run) << r.error;
    EXPECT_FALSE(r.options.processing);
}

}  // namespace
