#pragma once

#include <cstdint>

#include "wire/ZorvoMsg.h"

#define COMPRESS_API __attribute__((visibility("default")))

// The speech compression interface: turns frames of 16-bit samples (8000 samples/s, mono) into the
// payload of a voice record and back, in GSM 06.10 full-rate blocks of 160 samples <-> 33 bytes.
// Each object has its own encoder and decoder state, so one object may encode on one thread while
// another object decodes on another; a single object must not be used by two threads at once.
//
// The order of the virtual functions is part of the interface: a caller may bind by position in
// the object's function table, so Compress is slot 0, Decompress slot 1 and the destructor comes
// last. Never declare a virtual function above these two.
class COMPRESS_API CIface {
  public:
    // Encodes count/160 whole blocks of `samples` (signed 16-bit, host order) into `out`'s payload,
    // as many as its buffer holds, and sets `sampleCount` to `count` and `length` to 33 per block.
    // The signature and type of `out` are left as the caller prepared them. Returns 1.
    virtual int Compress(const char* samples, unsigned count, ZorvoMsg* out) = 0;

    // Decodes `in`'s payload into `samples`: length/33 blocks, but no more than arrived and no more
    // than `*size` bytes hold (320 bytes a block). Stores `in`'s sampleCount in `*size`. Samples
    // past the decoded blocks are left untouched. Returns 1.
    virtual int Decompress(const ZorvoMsg* in, char* samples, uint32_t* size) = 0;

    virtual ~CIface() = default;
};

// Makes a new interface object with fresh codec states; null when that fails. The caller owns it
// (delete it, or hold it in a std::unique_ptr).
extern "C" COMPRESS_API CIface* GetCIface();
