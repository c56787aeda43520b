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
// last. Never declare a virtual function above these two. Both slots take a record exactly as it
// travels: one buffer holding the 13-byte header (signature, type, sampleCount, length, integers
// little-endian) followed by the payload. They know nothing of the buffer's size, so the caller
// provides the room: 13 + 33 bytes per whole block of `count` to Compress, and to Decompress a
// record whose payload holds the blocks that `length` and the output buffer allow.
//
// The engine uses the checked entries CompressInto and DecompressFrom instead: they take a view
// that knows its buffer's size and never let a slot reach past it.
class COMPRESS_API CIface {
  public:
    // Slot 0. Encodes count/160 whole blocks of `samples` (signed 16-bit, host order) into the
    // payload of `record` (from byte 13, 33 bytes a block), then sets its `sampleCount` to `count`
    // and its `length` to 33 per block. The signature and type of `record` are left as the caller
    // prepared them. Returns 1.
    virtual int Compress(const char* samples, unsigned count, uint8_t* record) = 0;

    // Slot 1. Stores `record`'s sampleCount in `*size`, then decodes length/33 of its blocks into
    // `samples`, but no more than the `*size` bytes given on entry hold (320 bytes a block).
    // Samples past the decoded blocks are left untouched. Returns 1.
    virtual int Decompress(const uint8_t* record, char* samples, uint32_t* size) = 0;

    virtual ~CIface() = default;

    // Compress into a record view: encodes no more blocks than the view's buffer holds, still
    // recording `count` as the sampleCount. Returns 1, or 0 without writing anything when the
    // buffer cannot hold a header.
    int CompressInto(const char* samples, unsigned count, ZorvoMsg& out);

    // Decompress from a received record view: decodes no more blocks than actually arrived, nor
    // than `*size` bytes hold. A record without a whole header decodes nothing and reports 0
    // samples. Returns 1.
    int DecompressFrom(const ZorvoMsg& in, char* samples, uint32_t* size);
};

// Makes a new interface object with fresh codec states; null when that fails. The caller owns it
// (delete it, or hold it in a std::unique_ptr).
extern "C" COMPRESS_API CIface* GetCIface();
