#include "compress/CIface.h"

#include <algorithm>
#include <cstddef>

using zorvo::wire::kBlockBytes;
using zorvo::wire::kBlockSamples;

namespace {

constexpr std::size_t kBlockPcmBytes = kBlockSamples * 2;

}  // namespace

int CIface::CompressInto(const char* samples, unsigned count, ZorvoMsg& out) {
    if (!out.HasHeader()) {
        return 0;
    }
    // Hand the slot only as many samples as the buffer has room to encode.
    const std::size_t room = out.DataSize() / kBlockBytes;
    const std::size_t blocks = std::min<std::size_t>(count / kBlockSamples, room);
    Compress(samples, static_cast<unsigned>(blocks * kBlockSamples), out.Bytes());
    out.SetSampleCount(count);
    return 1;
}

int CIface::DecompressFrom(const ZorvoMsg& in, char* samples, uint32_t* size) {
    if (!in.HasHeader()) {
        *size = 0;
        return 1;
    }
    // The slot decodes no more blocks than its output room allows: offering it no more room than
    // the blocks that arrived keeps it from reading past the received bytes.
    const std::size_t arrived = in.DataSize() / kBlockBytes;
    uint32_t room = static_cast<uint32_t>(std::min<std::size_t>(*size, arrived * kBlockPcmBytes));
    Decompress(in.Bytes(), samples, &room);
    *size = room;
    return 1;
}
