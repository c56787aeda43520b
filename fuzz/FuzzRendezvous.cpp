// Feeds arbitrary datagrams to the directory's rendezvous handling (no socket). The first byte
// chooses how the rest is sent:
//   0: as the datagram itself, from an address of its own;
//   1: as the attributes of a message that the harness signs with a registered user's key (so
//      that the authenticated paths are reached too): a method byte, a class byte, then
//      attributes as type (2 bytes), length (1 byte) and value.
// After every datagram the clock moves on and the notices that are due go out. Whatever comes in,
// nothing is sent but to the datagram's source (never more bytes than came, but for the answer
// to a plain Binding request) or to a registered user's registration address.

#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "directory/server/RendezvousHandler.h"
#include "directory/server/RendezvousRegistry.h"

namespace {

constexpr int64_t kNow = 1700000000;
constexpr size_t kPlainAnswerSize = 40;  // header, XOR-MAPPED-ADDRESS, FINGERPRINT

sockaddr_in Address(const char* text) {
    sockaddr_in a{};
    if (!ParseEndpoint(text, &a)) {
        std::abort();
    }
    return a;
}

struct Rendezvous {
    MemoryRendezvousRegistry registry;
    RendezvousHandler handler{registry, Settings()};
    std::string aliceKey;
    std::string bobbyKey;
    sockaddr_in alice = Address("198.51.100.7:50001");
    sockaddr_in bobby = Address("203.0.113.4:61000");
    int64_t ms = 0;

    static RendezvousSettings Settings() {
        RendezvousSettings s;
        s.clock = [] { return kNow; };
        return s;
    }

    Rendezvous() {
        registry.SetNoticeSink([this](const CallNoticeOrder& o) { handler.Order(o); });
        registry.Announce("alice", Announcement{}, kNow, kNow - 120, &aliceKey);
        registry.Announce("bobby", Announcement{}, kNow, kNow - 120, &bobbyKey);
        registry.Register("alice", alice, kNow, 1);
        registry.Register("bobby", bobby, kNow, 1);
        // Tokens of the fuzzer's own choosing: all zero bytes and all 0x41 bytes.
        registry.AddToken({std::string(16, '\0'), "alice", "bobby", kNow + 30, std::nullopt}, kNow);
        registry.AddToken({std::string(16, 'A'), "bobby", "alice", kNow + 30, std::nullopt}, kNow);
    }

    bool Registered(const sockaddr_in& to) const {
        auto same = [&](const sockaddr_in& a) {
            return a.sin_addr.s_addr == to.sin_addr.s_addr && a.sin_port == to.sin_port;
        };
        return same(alice) || same(bobby);
    }
};

// A message of the harness's making from the fuzzer's attributes, signed with alice's key.
std::vector<uint8_t> Signed(const Rendezvous& r, const uint8_t* data, size_t size) {
    if (size < 2) {
        return {};
    }
    static const uint16_t kMethods[] = {stun::kBinding, stun::kCallNotice, stun::kRelayOffer};
    uint16_t method = kMethods[data[0] % 3];
    auto kind = static_cast<stun::Class>(data[1] % 4);
    stun::Builder b(method, kind, stun::NewTransactionId());
    b.Text(stun::kUsername, "alice");
    size_t pos = 2;
    while (pos + 3 <= size) {
        uint16_t type = static_cast<uint16_t>(data[pos] << 8 | data[pos + 1]);
        size_t length = data[pos + 2];
        pos += 3;
        if (length > size - pos) {
            length = size - pos;
        }
        b.Bytes(type, std::string_view(reinterpret_cast<const char*>(data + pos), length));
        pos += length;
    }
    b.Integrity(r.aliceKey).Fingerprint();
    return b.Bytes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static Rendezvous r;
    if (size == 0) {
        return 0;
    }
    std::vector<uint8_t> datagram;
    sockaddr_in from = Address("192.0.2.1:4000");
    if (data[0] == 1) {
        datagram = Signed(r, data + 1, size - 1);
        from = r.alice;
    } else {
        datagram.assign(data + 1, data + size);
    }
    std::vector<OutDatagram> out;
    r.handler.OnDatagram(datagram.data(), datagram.size(), from, r.ms, &out);
    r.ms += 100;
    r.handler.OnTimer(r.ms, &out);
    for (const OutDatagram& d : out) {
        bool toSource =
            d.to.sin_addr.s_addr == from.sin_addr.s_addr && d.to.sin_port == from.sin_port;
        if (!toSource && !r.Registered(d.to)) {
            std::abort();
        }
        if (toSource && !r.Registered(d.to) && d.bytes.size() > kPlainAnswerSize &&
            d.bytes.size() > datagram.size()) {
            std::abort();
        }
    }
    return 0;
}
