#pragma once

#include <chrono>
#include <cstdint>
#include <string>

// How the home router was asked to forward a port.
enum class MappingMethod { kNone, kUpnp, kNatPmp };

// "none", "upnp" or "natpmp".
const char* MappingMethodName(MappingMethod method);

// A UDP port that the home router forwards to this computer.
struct PortMapping {
    MappingMethod method = MappingMethod::kNone;
    std::string externalAddress;  // the router's public address, dotted
    uint16_t externalPort = 0;    // the port on that address that reaches internalPort
    uint16_t internalPort = 0;
    uint32_t leaseSeconds = 0;  // as the router granted it; 0 means until removed

    bool Valid() const { return method != MappingMethod::kNone; }
};

// Asks the home router to forward a UDP port (the call port) to this computer: first through
// UPnP IGD (miniupnpc), else through NAT-PMP (libnatpmp). A mapping is only taken when the
// router's own public address is one (not a private or carrier-grade NAT address, where a
// forwarded port would still be unreachable from outside).
//
// Every call blocks and is bounded in time: meant for a worker thread. When no router answers
// (the common case) Map() gives no mapping after about discoveryMs + natPmpMs, at once when
// there is no default gateway. A router that answers the discovery and then stalls holds a call
// at most for miniupnpc's own HTTP time-outs (a few seconds per request). Nothing is written to
// stdout. One object belongs to one thread.
class PortMapper {
  public:
    struct Options {
        int discoveryMs = 1000;        // how long UPnP discovery listens for routers
        int natPmpMs = 2000;           // all NAT-PMP exchanges of one call together
        uint32_t leaseSeconds = 3600;  // the lease asked for; renewed after half of it
        std::string description = "Zorvo";
        bool useUpnp = true;
        bool useNatPmp = true;
    };

    PortMapper();
    explicit PortMapper(Options options);
    // Removes the mapping still held (bounded like Remove()).
    ~PortMapper();

    PortMapper(const PortMapper&) = delete;
    PortMapper& operator=(const PortMapper&) = delete;

    // Asks for internalPort to be forwarded, the same external port if the router allows it.
    // A mapping already held is removed first. Returns the mapping, invalid when none was had.
    PortMapping Map(uint16_t internalPort);

    // Cheap when the lease is not yet half over (or the mapping is permanent, or there is none):
    // then nothing is sent. Otherwise asks the router again for the same mapping; when that
    // fails (the router restarted, for instance) maps afresh. `force` asks again at once.
    // Returns the mapping now held (its external address or port may have changed), invalid
    // when lost.
    PortMapping Renew(bool force = false);

    // Whether Renew() would ask the router now.
    bool RenewalDue() const;

    // Asks the router to drop the mapping (once, bounded); forgets it either way.
    void Remove();

    const PortMapping& Current() const { return m_mapping; }

  private:
    bool MapUpnp(uint16_t internalPort);
    bool AddUpnp(uint16_t externalPort, uint16_t internalPort, uint32_t leaseSeconds,
                 int* upnpError);
    bool MapNatPmp(uint16_t internalPort, uint16_t suggestedPort);
    bool RenewHeld();
    void Forget();

    Options m_options;
    PortMapping m_mapping;
    // The router's UPnP control point, as found by the last discovery.
    std::string m_strControlUrl;
    std::string m_strServiceType;
    std::string m_strLanAddress;  // this computer's address toward the router
    std::chrono::steady_clock::time_point m_granted;
};
