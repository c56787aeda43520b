#pragma once

#include <string>

// Where the directory service's web host is: the discovery download and the own-address check
// go there. The host is compiled in with a local default; the program's setting replaces it,
// and the environment variable ZORVO_SERVICE_HOST replaces both, so that scripts and tests can
// point an installed client at another service. A host may carry ":port", and a scheme:
// "https://host[:port]" is reached over TLS (port 443 unless given), "http://host[:port]" and a
// bare "host[:port]" over plain http (port 80 unless given), so that old settings keep working.

#include <optional>

// The service web host in effect ("https://host:port", "host:port", ...).
std::string ServiceHost();

// Installs the value of the program's setting; an empty text removes it.
void SetServiceHostSetting(const std::string& host);

// The host part alone, as the user knows the service ("127.0.0.1" for "https://127.0.0.1:8443").
std::string ServiceDomainName();

// Splits "host" or "host:port". The port must be 1 to 65535; without one, defaultPort is used
// (443 after "https://"; a leading "http://" or "https://" is dropped). Returns false for an
// empty host or a bad port.
bool SplitHostPort(const std::string& hostPort, int defaultPort, std::string* host, int* port);

// True when text may be handed to the HTTP layer as a server: a host name or IPv4 address with
// an optional port, and nothing that could change the meaning of a URL. No scheme.
bool IsPlainHost(const std::string& text);

// A service host with its scheme read.
struct ServiceAddress {
    bool tls = false;      // "https://"
    std::string hostPort;  // "host" or "host:port", IsPlainHost
    // "https://host:port" or the plain "host:port" as the host was given.
    std::string Text() const;
    // "host:port" with the scheme's port filled in and the name in lower case: what a kept
    // key belongs to.
    std::string Endpoint() const;
};

// Reads "https://host[:port]", "http://host[:port]" (the scheme in any case) or a bare
// "host[:port]" (plain http). Empty for anything else.
std::optional<ServiceAddress> ParseServiceHost(const std::string& text);

// The server a discovery's "CURRENT IP" names, fetched from `from`: a bare host takes the scheme
// of the page that named it, so a directory found over https is never asked over plain http.
// Empty when the page came over https and names an "http://" host (never a step down); any other
// text is kept as it is (a request to a host that does not read fails).
std::optional<std::string> DiscoveredHost(const ServiceAddress& from, const std::string& currentIp);
