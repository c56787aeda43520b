// Arbitrary bytes as what an encrypted call receives: opened as a sealed record, read as a key
// half and given to both roles of the key agreement; and, when they are long enough to be a record,
// sealed by a sender holding the matching keys, which must open to exactly the bytes sealed.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "engine/CallCrypto.h"
#include "wire/SecureRecords.h"

namespace {

CallKeys Keys(bool sender) {
    CallKeys keys;
    keys.send.fill(sender ? 0x11 : 0x22);
    keys.receive.fill(sender ? 0x22 : 0x11);
    return keys;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const IdentityKey identity = IdentityKey::Generate();
    static RecordCipher sender(Keys(true));
    RecordCipher receiver(Keys(false));

    // Exactly the bytes that arrived, in a buffer of their own size.
    std::vector<uint8_t> datagram(data, data + size);
    uint32_t opened = static_cast<uint32_t>(datagram.size());
    receiver.Open(datagram.data(), &opened);

    datagram.assign(data, data + size);
    const ZorvoMsg record(datagram.data(), datagram.size());
    if (const auto half = zorvo::wire::ReadKeyHalf(record)) {
        KeyAgreement caller(KeyAgreement::Role::kCaller, identity);
        KeyAgreement callee(KeyAgreement::Role::kCallee, identity);
        caller.TakePeerHalf(*half);
        callee.TakePeerHalf(*half);
    }

    if (size < zorvo::wire::kHeaderSize) {
        return 0;  // only whole records are ever sealed
    }
    std::vector<uint8_t> sealed(size + zorvo::wire::kSealedOverhead);
    const std::size_t n = sender.Seal(data, size, sealed.data(), sealed.size());
    sealed.resize(n);
    uint32_t back = static_cast<uint32_t>(sealed.size());
    if (n == 0 || !receiver.Open(sealed.data(), &back) || back != size ||
        std::memcmp(sealed.data(), data, size) != 0) {
        std::abort();  // a record sealed with the right keys must open to itself
    }
    return 0;
}
