// Arbitrary bytes as datagrams from a STUN/TURN server: each is parsed and read through every
// accessor, checked for integrity and fingerprint, and offered to a relay client in the middle
// of an allocation.
//
// The input is a series of records: a flag byte, a 16-bit big-endian length, then that many
// bytes (fewer when the input ends). Flags steer the record so that it can reach past the
// transaction and integrity checks a mutated datagram would never pass by chance:
//   bit 0  put the transaction id of the client's latest request into the datagram (and mend
//          its fingerprint);
//   bit 1  rebuild the datagram with MESSAGE-INTEGRITY keyed as the client expects;
//   bit 2  then ask for a permission, bit 3 for a refresh (bit 4: a release);
//   bits 5-7  advance the clock by that many times 100 ms.

#include <arpa/inet.h>
#include <zlib.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "stun/StunMessage.h"
#include "stun/TurnClient.h"

namespace {

const std::string kUser = "1700000600:fuzz";
const std::string kPassword = "fuzz password";

constexpr uint16_t kEveryType[] = {stun::kMappedAddress,
                                   stun::kUsername,
                                   stun::kMessageIntegrity,
                                   stun::kErrorCode,
                                   stun::kUnknownAttributes,
                                   stun::kChannelNumber,
                                   stun::kLifetime,
                                   stun::kXorPeerAddress,
                                   stun::kData_,
                                   stun::kRealm,
                                   stun::kNonce,
                                   stun::kXorRelayedAddress,
                                   stun::kRequestedTransport,
                                   stun::kXorMappedAddress,
                                   stun::kSoftware,
                                   stun::kFingerprint,
                                   stun::kZorvoToken,
                                   stun::kZorvoCaller,
                                   stun::kZorvoCandidate};

sockaddr_in Loopback(uint16_t port) {
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    return a;
}

// Reads everything a receiver may read, and checks that what it gets lies inside the datagram.
void Inspect(const std::vector<uint8_t>& datagram) {
    const auto m = stun::Message::Parse(datagram.data(), datagram.size());
    if (!m) {
        return;
    }
    if (!stun::LooksLikeStun(datagram.data(), datagram.size())) {
        std::abort();
    }
    volatile std::size_t sink = m->Method() + static_cast<std::size_t>(m->Kind());
    for (const uint16_t type : kEveryType) {
        const auto value = m->Find(type);
        const auto where = m->Locate(type);
        if (value.has_value() != where.has_value() ||
            (where &&
             (where->first + where->second > datagram.size() || where->second != value->size()))) {
            std::abort();
        }
        for (const auto v : m->FindAll(type)) {
            sink = sink + v.size();
        }
        sink = sink + m->XorAddress(type).has_value() + m->U32(type).value_or(0);
    }
    sink = sink + m->Candidates().size() + static_cast<std::size_t>(m->ErrorCode()) +
           m->ErrorReason().size() + m->HasIntegrity() + m->CheckIntegrity("fuzz key") +
           m->CheckFingerprint() + stun::ToHex(m->Find(stun::kUsername).value_or("")).size();
    (void)sink;
}

// A fingerprint made right again after the transaction id was changed.
void Refingerprint(std::vector<uint8_t>& datagram) {
    const auto m = stun::Message::Parse(datagram.data(), datagram.size());
    const auto where = m ? m->Locate(stun::kFingerprint) : std::nullopt;
    if (!where || where->second != 4) {
        return;
    }
    const std::size_t value = where->first;
    const uint32_t crc =
        static_cast<uint32_t>(crc32(0L, datagram.data(), static_cast<uInt>(value - 4))) ^
        0x5354554E;
    for (int i = 0; i < 4; ++i) {
        datagram[value + static_cast<std::size_t>(i)] = static_cast<uint8_t>(crc >> (24 - 8 * i));
    }
}

// The datagram rebuilt from the attributes the client reads, signed with key.
std::vector<uint8_t> Resign(const std::vector<uint8_t>& datagram, const std::string& key) {
    const auto m = stun::Message::Parse(datagram.data(), datagram.size());
    if (!m) {
        return datagram;
    }
    stun::Builder b(m->Method(), m->Kind(), m->Transaction());
    for (const uint16_t type : kEveryType) {
        if (type == stun::kMessageIntegrity || type == stun::kFingerprint) {
            continue;
        }
        if (const auto value = m->Find(type)) {
            b.Bytes(type, *value);
        }
    }
    b.Integrity(key).Fingerprint();
    return b.Bytes();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const sockaddr_in server = Loopback(3478);
    stun::TurnClient client(server, kUser, kPassword);
    client.Allocate(0);
    int64_t now = 0;
    std::vector<uint8_t> latest;  // the client's latest request
    std::string key;              // as the client derives it from the realm it was given

    std::size_t at = 0;
    while (at < size) {
        const uint8_t flags = data[at++];
        std::size_t length = size - at >= 2 ? (data[at] << 8) | data[at + 1] : 0;
        at += std::min<std::size_t>(2, size - at);
        length = std::min(length, size - at);
        // Exactly the bytes of the record, in a buffer of their own size, so that any read past
        // them is caught.
        std::vector<uint8_t> datagram(data + at, data + at + length);
        at += length;

        for (auto& out : client.Poll(now)) {
            latest = std::move(out);
        }
        if ((flags & 0x01) && datagram.size() >= stun::kHeaderSize && latest.size() >= 20) {
            std::copy(latest.begin() + 8, latest.begin() + 20, datagram.begin() + 8);
            Refingerprint(datagram);
        }
        if (flags & 0x02) {
            datagram = Resign(datagram, key);
        }
        Inspect(datagram);
        if (const auto m = stun::Message::Parse(datagram.data(), datagram.size())) {
            const auto realm = m->Find(stun::kRealm);
            if (realm && (m->ErrorCode() == 401 || m->ErrorCode() == 438)) {
                key = stun::LongTermKey(kUser, *realm, kPassword);
            }
        }

        client.Receive(datagram.data(), datagram.size(), server, now);
        if (const auto d = client.UnwrapData(datagram.data(), datagram.size(), server)) {
            if (d->payload < datagram.data() ||
                d->payload + d->size > datagram.data() + datagram.size()) {
                std::abort();
            }
            const auto back = stun::TurnClient::WrapSend(d->peer, d->payload, d->size);
            Inspect(back);
        }
        if (flags & 0x04) {
            client.Permit(Loopback(static_cast<uint16_t>(at)), now);
        }
        if (flags & 0x08) {
            client.Refresh((flags & 0x10) ? 0 : 600, now);
        }
        now += (flags >> 5) * 100;
        volatile bool sink = client.Due().has_value() || !client.FailureReason().empty() ||
                             client.Relayed().has_value();
        (void)sink;
    }
    return 0;
}
