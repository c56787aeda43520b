#include <cstring>
#include <new>

extern "C" {
#include <gsm.h>
}

#include "compress/CIface.h"

namespace {

using zorvo::wire::kBlockBytes;
using zorvo::wire::kBlockSamples;

constexpr unsigned kBlockPcmBytes = kBlockSamples * sizeof(gsm_signal);

// CIface over libgsm with one encoder state and one decoder state of its own.
class GsmIface final : public CIface {
  public:
    GsmIface(gsm encoder, gsm decoder) : m_encoder(encoder), m_decoder(decoder) {}

    ~GsmIface() override {
        gsm_destroy(m_encoder);
        gsm_destroy(m_decoder);
    }

    int Compress(const char* samples, unsigned count, ZorvoMsg* out) override {
        unsigned blocks = count / kBlockSamples;
        const unsigned room = static_cast<unsigned>(out->DataSize() / kBlockBytes);
        if (blocks > room) {
            blocks = room;
        }
        gsm_signal pcm[kBlockSamples];
        uint8_t* data = out->Data();
        for (unsigned i = 0; i < blocks; ++i) {
            // The samples may sit at any address: copy them into an aligned block first.
            std::memcpy(pcm, samples + i * kBlockPcmBytes, kBlockPcmBytes);
            gsm_encode(m_encoder, pcm, data + i * kBlockBytes);
        }
        out->SetSampleCount(count);
        out->SetLength(static_cast<uint32_t>(blocks * kBlockBytes));
        return 1;
    }

    int Decompress(const ZorvoMsg* in, char* samples, uint32_t* size) override {
        const uint32_t available = *size;
        *size = in->SampleCount();
        uint32_t blocks = in->Length() / kBlockBytes;
        const uint32_t arrived = static_cast<uint32_t>(in->DataSize() / kBlockBytes);
        if (blocks > arrived) {
            blocks = arrived;
        }
        if (blocks > available / kBlockPcmBytes) {
            blocks = available / kBlockPcmBytes;
        }
        // gsm_decode takes a non-const pointer but does not write through it.
        auto* data = const_cast<uint8_t*>(in->Data());
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
