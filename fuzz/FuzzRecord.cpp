// Arbitrary bytes as a received datagram: judge them as a record the way every phase of a call
// does, then decompress them into a 3200-byte frame as the receive path does with a voice record.

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <memory>
#include <vector>

#include "compress/CIface.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static std::unique_ptr<CIface> decoder(GetCIface());

    // Exactly the bytes that arrived, in a buffer of their own size, so that any read past them
    // is caught.
    std::vector<uint8_t> datagram(data, data + size);
    ZorvoMsg msg(datagram.data(), datagram.size());

    volatile uint32_t sink = 0;
    if (msg.IsWellFormed()) {
        sink = sink + msg.Type() + msg.SampleCount() + msg.Length() + msg.TickValue();
        if (msg.Type() == MSG_CONNECT_REQUEST) {
            char name[zorvo::wire::kRemoteNameBytes];
            zorvo::wire::ConnectRequestName(msg, name);
            sink = sink + static_cast<uint32_t>(std::strlen(name));
        }
    }
    if (msg.HasHeader()) {
        // The receive path limits `length` to what arrived before decoding; the engine's checked
        // entry must also hold on its own.
        std::vector<char> frame(3200);
        uint32_t frameSize = static_cast<uint32_t>(frame.size());
        decoder->DecompressFrom(msg, frame.data(), &frameSize);
        sink = sink + frameSize;
    }
    (void)sink;
    return 0;
}
