#pragma once

#include <string>

// Where the directory service's web host is: the discovery download and the own-address check
// go there. The host is compiled in with a local default; the program's setting replaces it,
// and the environment variable ZORVO_SERVICE_HOST replaces both, so that scripts and tests can
// point an installed client at another service. A host may carry ":port".

// The service web host in effect ("host" or "host:port").
std::string ServiceHost();

// Installs the value of the program's setting; an empty text removes it.
void SetServiceHostSetting(const std::string& host);

// The host part alone, as the user knows the service ("127.0.0.1" for "127.0.0.1:8080").
std::string ServiceDomainName();

// Splits "host" or "host:port". The port must be 1 to 65535; without one, defaultPort is used.
// Returns false for an empty host or a bad port.
bool SplitHostPort(const std::string& hostPort, int defaultPort, std::string* host, int* port);

// True when text may be handed to the HTTP layer as a server: a host name or IPv4 address with
// an optional port, and nothing that could change the meaning of a URL.
bool IsPlainHost(const std::string& text);
