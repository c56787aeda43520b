// Arbitrary bytes as a discovery reply ("ZorvoServer.txt") and as a server certificate: the
// first byte says whether the reply came over https (bit 0), the rest is the text. The host the
// reply names is read as the client reads it, and every rule the client relies on is checked:
// a host that reads gives back what it read, and a reply that came over https never yields a
// host that is asked over plain http.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "directory/client/ServiceHost.h"
#include "directory/client/TlsTrust.h"
#include "directory/client/WebClient.h"

namespace {

void Check(bool condition) {
    if (!condition) {
        std::abort();
    }
}

void ReadHost(const std::string& text) {
    const std::optional<ServiceAddress> address = ParseServiceHost(text);
    if (!address) {
        return;
    }
    Check(IsPlainHost(address->hostPort));
    const std::optional<ServiceAddress> again = ParseServiceHost(address->Text());
    Check(again && again->tls == address->tls && again->hostPort == address->hostPort);
    std::string host;
    int port = 0;
    Check(SplitHostPort(text, 80, &host, &port) && port >= 1 && port <= 65535);
    (void)address->Endpoint();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) {
        return 0;
    }
    const ServiceAddress from{(data[0] & 1) != 0, "dir.example"};
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    const std::string currentIp = ReadProfileString(text, "ZORVO", "CURRENT IP", "0.0.0.0");
    ReadHost(currentIp);
    if (const std::optional<std::string> server = DiscoveredHost(from, currentIp)) {
        ReadHost(*server);
        const std::optional<ServiceAddress> address = ParseServiceHost(*server);
        Check(!from.tls || !address || address->tls);
    }
    (void)KeyOfPemCertificate(text);
    return 0;
}
