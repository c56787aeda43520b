#include "directory/server/ServiceOptions.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

ServiceCommand Parse(std::vector<const char*> args) {
    args.insert(args.begin(), "zorvo-directory");
    return ParseServiceOptions(static_cast<int>(args.size()), args.data());
}

std::string ErrorOf(std::vector<const char*> args) {
    ServiceCommand c = Parse(std::move(args));
    EXPECT_EQ(c.action, ServiceCommand::Action::Error);
    EXPECT_EQ(c.error.find('\n'), std::string::npos) << c.error;
    return c.error;
}

TEST(ServiceOptions, NoOptionsGiveTheDefaults) {
    ServiceCommand c = Parse({});
    ASSERT_EQ(c.action, ServiceCommand::Action::Run) << c.error;
    EXPECT_EQ(c.options.host, "127.0.0.1");
    EXPECT_EQ(c.options.port, 8080);
    EXPECT_EQ(c.options.db, "");
    EXPECT_EQ(c.options.pagePath, "/zorvo");
    EXPECT_EQ(c.options.logFile, "-");
    EXPECT_EQ(c.options.onlineSeconds, 120);
    EXPECT_EQ(c.options.threads, 64);
    EXPECT_EQ(c.options.hashCost, HashCost::Interactive);
}

TEST(ServiceOptions, EveryOptionIsTaken) {
    ServiceCommand c = Parse({"--listen", "0.0.0.0:0", "--db", "/tmp/x.db", "--advertise",
                              "dir.example:80", "--page-path", "/p/q", "--online-seconds", "30",
                              "--threads", "8", "--hash-cost", "min", "--log", "none"});
    ASSERT_EQ(c.action, ServiceCommand::Action::Run) << c.error;
    EXPECT_EQ(c.options.listen, "0.0.0.0:0");
    EXPECT_EQ(c.options.host, "0.0.0.0");
    EXPECT_EQ(c.options.port, 0);
    EXPECT_EQ(c.options.db, "/tmp/x.db");
    EXPECT_EQ(c.options.advertise, "dir.example:80");
    EXPECT_EQ(c.options.pagePath, "/p/q");
    EXPECT_EQ(c.options.onlineSeconds, 30);
    EXPECT_EQ(c.options.threads, 8);
    EXPECT_EQ(c.options.hashCost, HashCost::Min);
    EXPECT_EQ(c.options.logFile, "none");
    EXPECT_EQ(Parse({"--hash-cost", "moderate"}).options.hashCost, HashCost::Moderate);
}

TEST(ServiceOptions, DatabaseAndThrottleOptionsAreTakenAndCheckedToo) {
    ServiceCommand d = Parse({});
    EXPECT_EQ(d.options.dbConnections, 0);
    EXPECT_EQ(d.options.maxFailures, 10);
    EXPECT_EQ(d.options.maxNameFailures, 30);
    EXPECT_EQ(d.options.maxAddressNames, 50);
    EXPECT_EQ(d.options.failureWindow, 60);
    EXPECT_EQ(d.options.trustedProxy, "");
    ServiceCommand c =
        Parse({"--db", "postgresql://u:p@h/d", "--db-connections", "4", "--max-failures", "0",
               "--failure-window", "5", "--trusted-proxy", "10.0.0.2", "--max-name-failures", "0",
               "--max-address-names", "200"});
    ASSERT_EQ(c.action, ServiceCommand::Action::Run) << c.error;
    EXPECT_EQ(c.options.db, "postgresql://u:p@h/d");
    EXPECT_EQ(c.options.dbConnections, 4);
    EXPECT_EQ(c.options.maxFailures, 0);
    EXPECT_EQ(c.options.failureWindow, 5);
    EXPECT_EQ(c.options.maxNameFailures, 0);
    EXPECT_EQ(c.options.maxAddressNames, 200);
    EXPECT_EQ(c.options.trustedProxy, "10.0.0.2");
    EXPECT_EQ(ErrorOf({"--db-connections", "0"}), "--db-connections takes a number from 1 to 256");
    EXPECT_EQ(ErrorOf({"--max-failures", "-1"}), "--max-failures takes a number from 0 to 1000000");
    EXPECT_EQ(ErrorOf({"--max-name-failures", "x"}),
              "--max-name-failures takes a number from 0 to 1000000");
    EXPECT_EQ(ErrorOf({"--max-address-names", "1000001"}),
              "--max-address-names takes a number from 0 to 1000000");
    EXPECT_EQ(ErrorOf({"--failure-window", "0"}),
              "--failure-window takes a number of seconds from 1 to 86400");
}

TEST(ServiceOptions, RendezvousAndRelayOptionsAreTakenAndChecked) {
    ServiceCommand d = Parse({});
    EXPECT_TRUE(d.options.rendezvousOn);
    EXPECT_FALSE(d.options.rendezvousGiven);
    EXPECT_EQ(d.options.rendezvousHost, "0.0.0.0");
    EXPECT_EQ(d.options.rendezvousPort, 3478);
    EXPECT_EQ(d.options.rendezvousAdvertise, "");
    EXPECT_EQ(d.options.turn, "");
    EXPECT_EQ(d.options.turnSeconds, 14400);
    ServiceCommand c = Parse({"--rendezvous", "127.0.0.1:0", "--rendezvous-advertise",
                              "198.51.100.4:3478", "--turn", "turn:relay.example.org:3479",
                              "--turn-secret-file", "/etc/zorvo/turn-secret", "--turn-ttl", "300"});
    ASSERT_EQ(c.action, ServiceCommand::Action::Run) << c.error;
    EXPECT_TRUE(c.options.rendezvousGiven);
    EXPECT_EQ(c.options.rendezvousHost, "127.0.0.1");
    EXPECT_EQ(c.options.rendezvousPort, 0);
    EXPECT_EQ(c.options.rendezvousAdvertise, "198.51.100.4:3478");
    EXPECT_EQ(c.options.turn, "relay.example.org:3479");
    EXPECT_EQ(c.options.turnSecretFile, "/etc/zorvo/turn-secret");
    EXPECT_EQ(c.options.turnSeconds, 300);
    EXPECT_FALSE(Parse({"--rendezvous", "off"}).options.rendezvousOn);

    const std::string rendezvous =
        "--rendezvous takes ADDR:PORT with a dotted IPv4 address, or off";
    EXPECT_EQ(ErrorOf({"--rendezvous", "3478"}), rendezvous);
    EXPECT_EQ(ErrorOf({"--rendezvous", "localhost:3478"}), rendezvous);
    EXPECT_EQ(ErrorOf({"--rendezvous", "0.0.0.0:65536"}), rendezvous);
    const std::string advertise =
        "--rendezvous-advertise takes ADDR:PORT with a dotted IPv4 address, for example "
        "198.51.100.4:3478";
    EXPECT_EQ(ErrorOf({"--rendezvous-advertise", "1.2.3.4:0"}), advertise);
    EXPECT_EQ(ErrorOf({"--rendezvous-advertise", "rv.example.org:3478"}), advertise);
    EXPECT_EQ(ErrorOf({"--turn", "stun:1.2.3.4:3478", "--turn-secret-file", "f"}),
              "--turn takes turn:HOST:PORT, for example turn:198.51.100.4:3478");
    EXPECT_EQ(ErrorOf({"--turn", "turn:1.2.3.4", "--turn-secret-file", "f"}),
              "--turn takes turn:HOST:PORT, for example turn:198.51.100.4:3478");
    EXPECT_EQ(ErrorOf({"--turn", "turn:1.2.3.4:3478"}),
              "--turn needs --turn-secret-file with the relay's static-auth-secret");
    EXPECT_EQ(ErrorOf({"--turn-ttl", "59"}),
              "--turn-ttl takes a number of seconds from 60 to 86400");
}

TEST(ServiceOptions, AnOptionGivenTwiceKeepsItsLastValue) {
    ServiceCommand c = Parse({"--threads", "2", "--threads", "3"});
    ASSERT_EQ(c.action, ServiceCommand::Action::Run) << c.error;
    EXPECT_EQ(c.options.threads, 3);
}

TEST(ServiceOptions, BadValuesAreRefusedInTheProgramsOwnWords) {
    EXPECT_EQ(ErrorOf({"--online-seconds", "0"}),
              "--online-seconds takes a number from 1 to 86400");
    EXPECT_EQ(ErrorOf({"--online-seconds", "86401"}),
              "--online-seconds takes a number from 1 to 86400");
    EXPECT_EQ(ErrorOf({"--threads", "12x"}), "--threads takes a number from 1 to 1024");
    EXPECT_EQ(ErrorOf({"--threads", "-4"}), "--threads takes a number from 1 to 1024");
    EXPECT_EQ(ErrorOf({"--hash-cost", "cheap"}), "--hash-cost takes interactive, moderate or min");
    EXPECT_EQ(ErrorOf({"--listen", "8080"}),
              "--listen takes HOST:PORT, for example 127.0.0.1:8080");
    EXPECT_EQ(ErrorOf({"--listen", ":8080"}),
              "--listen takes HOST:PORT, for example 127.0.0.1:8080");
    EXPECT_EQ(ErrorOf({"--listen", "localhost:65536"}),
              "--listen takes HOST:PORT, for example 127.0.0.1:8080");
    EXPECT_EQ(ErrorOf({"--page-path", "zorvo"}),
              "--page-path takes a path that begins with /, for example /zorvo");
    EXPECT_EQ(ErrorOf({"--page-path", "/a b"}),
              "--page-path takes a path that begins with /, for example /zorvo");
}

TEST(ServiceOptions, AMissingValueOrAnUnknownOptionIsNamed) {
    EXPECT_EQ(ErrorOf({"--db"}), "option --db needs a value (see --help)");
    EXPECT_EQ(ErrorOf({"--threads", "4", "--log"}), "option --log needs a value (see --help)");
    EXPECT_EQ(ErrorOf({"--bogus", "1"}), "unknown option --bogus (see --help)");
    EXPECT_EQ(ErrorOf({"-x"}), "unknown option -x (see --help)");
    EXPECT_EQ(ErrorOf({"serve"}), "unknown option serve (see --help)");
}

TEST(ServiceOptions, HelpAndVersionAnswerWhereverTheyStand) {
    EXPECT_EQ(Parse({"--help"}).action, ServiceCommand::Action::Help);
    EXPECT_EQ(Parse({"-h"}).action, ServiceCommand::Action::Help);
    EXPECT_EQ(Parse({"--threads", "x", "--help"}).action, ServiceCommand::Action::Help);
    EXPECT_EQ(Parse({"--version"}).action, ServiceCommand::Action::Version);
    EXPECT_EQ(Parse({"--bogus", "--version"}).action, ServiceCommand::Action::Version);
}

}  // namespace
