#include "directory/client/PortMapper.h"

#include <arpa/inet.h>
#include <miniupnpc/miniupnpc.h>
#include <miniupnpc/upnpcommands.h>
#include <natpmp.h>
#include <poll.h>

#include <algorithm>
#include <random>

#include "directory/client/LocalAddress.h"

namespace {

using Clock = std::chrono::steady_clock;

// UPnP error codes of AddPortMapping that change what is asked next.
constexpr int kUpnpConflictInMappingEntry = 718;
constexpr int kUpnpOnlyPermanentLeasesSupported = 725;
constexpr int kUpnpAddAttempts = 4;

// An address from which a forwarded port is reachable from outside: not private (by the same
// rules as the client's own address), not loopback, "this network", carrier-grade NAT
// (100.64.0.0/10), multicast or reserved.
bool IsPublicAddress(const std::string& dotted) {
    in_addr address{};
    if (inet_pton(AF_INET, dotted.c_str(), &address) != 1) {
        return false;
    }
    const uint32_t host = ntohl(address.s_addr);
    const uint32_t first = host >> 24;
    if (first == 0 || first == 127 || first >= 224 || (host & 0xFFC00000u) == 0x64400000u) {
        return false;
    }
    return ClassifyAddressText(dotted) != "LAN";
}

// Another external port to try when the wanted one is held by another computer of the home.
uint16_t RandomDynamicPort() {
    static thread_local std::mt19937 generator{std::random_device{}()};
    return static_cast<uint16_t>(std::uniform_int_distribution<int>(49152, 65535)(generator));
}

struct UpnpGateway {
    std::string controlUrl;
    std::string serviceType;
    std::string lanAddress;
    std::string externalAddress;
};

// Discovers the home's Internet gateway device and reads its public address. Only the gateway
// device type is searched for: each further type would add a whole discovery wait when no
// router answers, and gateways of later versions answer searches for version 1 as well.
bool FindUpnpGateway(int discoveryMs, UpnpGateway* gateway) {
    static const char* const kTypes[] = {"urn:schemas-upnp-org:device:InternetGatewayDevice:1",
                                         nullptr};
    int error = 0;
    UPNPDev* devices = upnpDiscoverDevices(kTypes, discoveryMs, nullptr, nullptr,
                                           UPNP_LOCAL_PORT_ANY, 0, 2, &error, 0);
    if (devices == nullptr) {
        return false;
    }
    UPNPUrls urls{};
    IGDdatas data{};
    char lan[64] = {};
    // The library's own judgement of the gateway's public address is not taken: it counts the
    // benchmarking range as reserved, which the client's address rules do not. Any gateway
    // found is asked for its address below instead.
#if MINIUPNPC_API_VERSION >= 18
    char wan[64] = {};
    const int found = UPNP_GetValidIGD(devices, &urls, &data, lan, sizeof(lan), wan, sizeof(wan));
    const bool isGateway = found >= 1 && found <= 3;
#else
    const int found = UPNP_GetValidIGD(devices, &urls, &data, lan, sizeof(lan));
    const bool isGateway = found == 1 || found == 2;
#endif
    freeUPNPDevlist(devices);
    if (found != 0) {
        if (isGateway && urls.controlURL != nullptr) {
            gateway->controlUrl = urls.controlURL;
            gateway->serviceType = data.first.servicetype;
            gateway->lanAddress = lan;
        }
        FreeUPNPUrls(&urls);
    }
    if (gateway->controlUrl.empty() || gateway->lanAddress.empty()) {
        return false;
    }
    char external[64] = {};
    if (UPNP_GetExternalIPAddress(gateway->controlUrl.c_str(), gateway->serviceType.c_str(),
                                  external) != UPNPCOMMAND_SUCCESS) {
        return false;
    }
    gateway->externalAddress = external;
    return IsPublicAddress(gateway->externalAddress);
}

// One NAT-PMP conversation with the default gateway, closed on every way out.
class NatPmpSession {
  public:
    NatPmpSession() { m_bOpen = initnatpmp(&m_natpmp, 0, 0) == 0; }
    ~NatPmpSession() {
        if (m_bOpen) {
            closenatpmp(&m_natpmp);
        }
    }
    NatPmpSession(const NatPmpSession&) = delete;
    NatPmpSession& operator=(const NatPmpSession&) = delete;

    bool Open() const { return m_bOpen; }

    // The router's public address, or "" when it did not answer by the deadline.
    std::string PublicAddress(Clock::time_point deadline) {
        natpmpresp_t response{};
        if (sendpublicaddressrequest(&m_natpmp) < 0 || !Await(&response, deadline) ||
            response.type != NATPMP_RESPTYPE_PUBLICADDRESS) {
            return {};
        }
        char text[INET_ADDRSTRLEN] = {};
        inet_ntop(AF_INET, &response.pnu.publicaddress.addr, text, sizeof(text));
        return text;
    }

    // Asks for a UDP mapping (lifetime 0 removes it); the router's answer in *response.
    bool RequestUdp(uint16_t internalPort, uint16_t suggestedPort, uint32_t lifetime,
                    Clock::time_point deadline, natpmpresp_t* response) {
        if (sendnewportmappingrequest(&m_natpmp, NATPMP_PROTOCOL_UDP, internalPort, suggestedPort,
                                      lifetime) < 0) {
            return false;
        }
        return Await(response, deadline) && response->type == NATPMP_RESPTYPE_UDPPORTMAPPING &&
               response->pnu.newportmapping.privateport == internalPort;
    }

  private:
    // Waits for the answer to the pending request, letting the library resend on its own
    // schedule, but never past the deadline (the library alone would try for about a minute).
    bool Await(natpmpresp_t* response, Clock::time_point deadline) {
        for (;;) {
            const int result = readnatpmpresponseorretry(&m_natpmp, response);
            if (result != NATPMP_TRYAGAIN) {
                return result == 0;
            }
            const auto left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
            if (left.count() <= 0) {
                return false;
            }
            long waitMs = static_cast<long>(left.count());
            timeval retry{};
            if (getnatpmprequesttimeout(&m_natpmp, &retry) == 0) {
                const long retryMs = retry.tv_sec * 1000L + retry.tv_usec / 1000L;
                waitMs = std::clamp(retryMs, 0L, waitMs);
            }
            pollfd descriptor{m_natpmp.s, POLLIN, 0};
            poll(&descriptor, 1, static_cast<int>(waitMs));
        }
    }

    natpmp_t m_natpmp{};
    bool m_bOpen = false;
};

}  // namespace

const char* MappingMethodName(MappingMethod method) {
    switch (method) {
        case MappingMethod::kUpnp:
            return "upnp";
        case MappingMethod::kNatPmp:
            return "natpmp";
        case MappingMethod::kNone:
            break;
    }
    return "none";
}

PortMapper::PortMapper() : PortMapper(Options{}) {}

PortMapper::PortMapper(Options options) : m_options(std::move(options)) {}

PortMapper::~PortMapper() {
    Remove();
}

PortMapping PortMapper::Map(uint16_t internalPort) {
    Remove();
    // Without a default gateway there is no router to ask (and discovery would only wait).
    if (internalPort == 0 || !NatPmpSession().Open()) {
        return m_mapping;
    }
    if (m_options.useUpnp && MapUpnp(internalPort)) {
        return m_mapping;
    }
    if (m_options.useNatPmp) {
        MapNatPmp(internalPort, internalPort);
    }
    return m_mapping;
}

bool PortMapper::MapUpnp(uint16_t internalPort) {
    UpnpGateway gateway;
    if (!FindUpnpGateway(m_options.discoveryMs, &gateway)) {
        return false;
    }
    m_strControlUrl = gateway.controlUrl;
    m_strServiceType = gateway.serviceType;
    m_strLanAddress = gateway.lanAddress;
    uint16_t externalPort = internalPort;
    uint32_t lease = m_options.leaseSeconds;
    for (int attempt = 0; attempt < kUpnpAddAttempts; ++attempt) {
        int error = 0;
        if (AddUpnp(externalPort, internalPort, lease, &error)) {
            m_mapping = {MappingMethod::kUpnp, gateway.externalAddress, externalPort, internalPort,
                         lease};
            m_granted = Clock::now();
            return true;
        }
        if (error == kUpnpOnlyPermanentLeasesSupported && lease != 0) {
            lease = 0;  // such a mapping stays until Remove()
        } else if (error == kUpnpConflictInMappingEntry) {
            externalPort = RandomDynamicPort();  // another computer of the home holds this one
        } else {
            break;
        }
    }
    Forget();
    return false;
}

bool PortMapper::AddUpnp(uint16_t externalPort, uint16_t internalPort, uint32_t leaseSeconds,
                         int* upnpError) {
    const std::string external = std::to_string(externalPort);
    const std::string internal = std::to_string(internalPort);
    const std::string lease = std::to_string(leaseSeconds);
    *upnpError = UPNP_AddPortMapping(m_strControlUrl.c_str(), m_strServiceType.c_str(),
                                     external.c_str(), internal.c_str(), m_strLanAddress.c_str(),
                                     m_options.description.c_str(), "UDP", nullptr, lease.c_str());
    return *upnpError == UPNPCOMMAND_SUCCESS;
}

bool PortMapper::MapNatPmp(uint16_t internalPort, uint16_t suggestedPort) {
    const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(m_options.natPmpMs);
    NatPmpSession session;
    if (!session.Open()) {
        return false;
    }
    const std::string external = session.PublicAddress(deadline);
    if (!IsPublicAddress(external)) {
        return false;
    }
    natpmpresp_t response{};
    if (!session.RequestUdp(internalPort, suggestedPort, m_options.leaseSeconds, deadline,
                            &response) ||
        response.pnu.newportmapping.lifetime == 0) {
        return false;
    }
    m_mapping = {MappingMethod::kNatPmp, external, response.pnu.newportmapping.mappedpublicport,
                 internalPort, response.pnu.newportmapping.lifetime};
    m_granted = Clock::now();
    return true;
}

bool PortMapper::RenewalDue() const {
    if (!m_mapping.Valid() || m_mapping.leaseSeconds == 0) {
        return false;
    }
    return Clock::now() - m_granted >= std::chrono::seconds(m_mapping.leaseSeconds) / 2;
}

PortMapping PortMapper::Renew(bool force) {
    if (!m_mapping.Valid() || (!force && !RenewalDue())) {
        return m_mapping;
    }
    if (RenewHeld()) {
        return m_mapping;
    }
    return Map(m_mapping.internalPort);
}

bool PortMapper::RenewHeld() {
    if (m_mapping.method == MappingMethod::kNatPmp) {
        return MapNatPmp(m_mapping.internalPort, m_mapping.externalPort);
    }
    int error = 0;
    if (!AddUpnp(m_mapping.externalPort, m_mapping.internalPort, m_mapping.leaseSeconds, &error)) {
        return false;
    }
    // The router's public address may have changed since (a new lease from the provider).
    char external[64] = {};
    if (UPNP_GetExternalIPAddress(m_strControlUrl.c_str(), m_strServiceType.c_str(), external) !=
            UPNPCOMMAND_SUCCESS ||
        !IsPublicAddress(external)) {
        return false;
    }
    m_mapping.externalAddress = external;
    m_granted = Clock::now();
    return true;
}

void PortMapper::Remove() {
    if (m_mapping.method == MappingMethod::kUpnp) {
        const std::string external = std::to_string(m_mapping.externalPort);
        UPNP_DeletePortMapping(m_strControlUrl.c_str(), m_strServiceType.c_str(), external.c_str(),
                               "UDP", nullptr);
    } else if (m_mapping.method == MappingMethod::kNatPmp) {
        NatPmpSession session;
        natpmpresp_t response{};
        if (session.Open()) {
            session.RequestUdp(m_mapping.internalPort, 0, 0,
                               Clock::now() + std::chrono::milliseconds(m_options.natPmpMs),
                               &response);
        }
    }
    Forget();
}

void PortMapper::Forget() {
    m_mapping = PortMapping{};
    m_strControlUrl.clear();
    m_strServiceType.clear();
    m_strLanAddress.clear();
}
