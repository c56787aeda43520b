#include <algorithm>
#include <cstddef>
#include <cstring>
#include <new>

extern "C" {
#include <gsm.h>
}

#include "compress/CIface.h"

namespace {

using zorvo::wire::GetU32;
using zorvo::wire::kBlockBytes;
using zorvo::wire::kBlockSamples;
using zorvo::wire::kHeaderSize;
using zorvo::wire::PutU32;

// Header fields of a record as it travels (13 bytes: signature, type, sampleCount, length).
constexpr std::size_t kSampleCountOffset = 5;
constexpr std::size_t kLengthOffset = 9;

constexpr unsigned kBlockPcmBytes = kBlockSamples * sizeof(gsm_signal);

// CIface over libgsm with one encoder state and one decoder state of its own. The slots work on
// records laid out as they travel and trust the caller for the buffer's room (CIface.h).
class GsmIface final : public CIface {
  public:
    GsmIface(gsm encoder, gsm decoder) : m_encoder(encoder), m_decoder(decoder) {}

    ~GsmIface() override {
        gsm_destroy(m_encoder);
        gsm_destroy(m_decoder);
    }

    int Compress(const char* samples, unsigned count, uint8_t* record) override {
        const unsigned blocks = count / kBlockSamples;
        uint8_t* data = record + kHeaderSize;
        gsm_signal pcm[kBlockSamples];
        for (unsigned i = 0; i < blocks; ++i) {
            // The samples may sit at any address: copy them into an aligned block first.
            std::memcpy(pcm, samples + i * kBlockPcmBytes, kBlockPcmBytes);
            gsm_encode(m_encoder, pcm, data + i * kBlockBytes);
        }
        PutU32(record + kSampleCountOffset, count);
        PutU32(record + kLengthOffset, static_cast<uint32_t>(blocks * kBlockBytes));
        return 1;
    }

    int Decompress(const uint8_t* record, char* samples, uint32_t* size) override {
        const uint32_t available = *size;
        *size = GetU32(record + kSampleCountOffset);
        const uint32_t blocks = std::min<uint32_t>(GetU32(record + kLengthOffset) / kBlockBytes,
                                                   available / kBlockPcmBytes);
        // gsm_decode takes a non-const pointer but does not write through it.
        auto* data = const_cast<uint8_t*>(record + kHeaderSize);
        gsm_signal pcm[kBlockSamples];
        for (uint32_t i = 0; i < blocks; ++i) {
            gsm_decode(m_decoder, data + i * kBlockBytes, pcm);
            std::memcpy(samples + i * kBlockPcmBytes, pcm, kBlockPcmBytes);
        }
        return 1;
    }

  private:
    gsm m_encoder;
    gsm m_decoder;
};

}  // namespace

extern "C" CIface* GetCIface() {
    gsm encoder = gsm_create();
    gsm decoder = gsm_create();
    CIface* iface = nullptr;
    if (encoder && decoder) {
        iface = new (std::nothrow) GsmIface(encoder, decoder);
    }
    if (!iface) {
        if (encoder) {
            gsm_destroy(encoder);
        }
        if (decoder) {
            gsm_destroy(decoder);
        }
    }
    return iface;
}
