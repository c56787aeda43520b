#pragma once

// An IPv4 address and port as the directory's replies and requests write it: "a.b.c.d:port".

#include <netinet/in.h>

#include <optional>
#include <string>
#include <string_view>

namespace stun {

// "a.b.c.d:port", the port 1 to 65535 in digits only, into an address; false when it is not one.
bool ParseEndpoint(std::string_view text, sockaddr_in* out);
std::optional<sockaddr_in> ParseEndpoint(std::string_view text);
std::string EndpointText(const sockaddr_in& address);

}  // namespace stun
