#pragma once

#include <string>

#include "directory/server/Authentication.h"

// The command line of zorvo-directory.
struct ServiceOptions {
    std::string listen = "127.0.0.1:8080";
    std::string host = "127.0.0.1";  // the address part of listen
    int port = 8080;                 // its port; 0 lets the system pick one
    bool plainOn = true;             // false with "--listen off": HTTPS only
    // The HTTPS listener: "HOST:PORT" (empty: none) and its parts; the certificate and key files
    // (both empty: a self-signed pair kept in stateDir, empty for the default folder).
    std::string tlsListen;
    std::string tlsHost;
    int tlsPort = 0;
    std::string tlsCert;
    std::string tlsKey;
    std::string stateDir;
    std::string db;  // empty: the default database file; or a PostgreSQL URI
    std::string advertise;
    std::string pagePath = "/zorvo";
    std::string logFile = "-";  // "-" standard output, "none" no log
    long onlineSeconds = 120;
    long threads = 64;
    HashCost hashCost = HashCost::Interactive;
    long dbConnections = 0;     // PostgreSQL connections; 0: as many as threads, at most 16
    long maxFailures = 10;      // failed password checks per name and address; 0: no throttle
    long maxNameFailures = 30;  // per name from addresses it never logged in from; 0: no limit
    long maxAddressNames = 50;  // names with failures per address, for others; 0: no limit
    long failureWindow = 60;
    std::string trustedProxy;
    // The rendezvous: UDP host and port (port 0 lets the system pick one), or off.
    bool rendezvousOn = true;
    bool rendezvousGiven = false;  // set on the command line, not the default
    std::string rendezvousHost = "0.0.0.0";
    int rendezvousPort = 3478;
    std::string rendezvousAdvertise;  // "ADDR:PORT" told to clients; empty: see --help
    // The relay: "HOST:PORT" of a TURN server, the file of its shared secret, and how long the
    // credentials handed out are good.
    std::string turn;
    std::string turnSecretFile;
    long turnSeconds = 14400;  // the relay refuses refreshes once they expire: longer than a call
};

// What the command line asks for.
struct ServiceCommand {
    enum class Action { Run, Help, Version, Error };
    Action action = Action::Error;
    ServiceOptions options;
    std::string error;  // for Error: one line saying what is wrong
};

ServiceCommand ParseServiceOptions(int argc, const char* const* argv);

extern const char* const kServiceUsage;
