/* The compression library as an outside caller binds it, written in C: the caller knows only the
 * exported GetCIface and the order of the object's function table (slot 0 Compress, slot 1
 * Decompress, then the destructor), and hands both slots records laid out as they travel: the
 * 13-byte header, then the payload, in one buffer. What the slots produce must equal, byte for
 * byte, what Debian's reference GSM tools `toast` and `untoast` make of the same samples.
 *
 * Exit status 0 when every check holds; each failed check prints one line to stderr. */

#include <math.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

void* GetCIface(void);

typedef int (*CompressSlot)(void* self, const char* samples, unsigned count, unsigned char* record);
typedef int (*DecompressSlot)(void* self, const unsigned char* record, char* samples,
                              uint32_t* size);
/* In the Itanium C++ ABI a virtual destructor takes two table entries: the destructor itself
 * (slot 2), then the one that also frees the object (slot 3). */
typedef void (*DeletingDestructor)(void* self);

enum {
    kHeader = 13,
    kVoicePayload = 330,
    kVoiceRecord = kHeader + kVoicePayload, /* a voice datagram: 343 bytes */
    kSetupBuffer = 1024,                    /* handshake and probe records are built here */
    kCallBuffer = 32768,                    /* receive buffer during a call */
    kFrameSamples = 1600,
    kFrameBytes = kFrameSamples * 2,
    kFrames = 25,
    kUntouched = 0x5A,
};

static int failures;

static void Check(int ok, const char* what, int frame) {
    if (!ok) {
        fprintf(stderr, "FAILED: %s (frame %d)\n", what, frame);
        ++failures;
    }
}

static void* Slot(void* object, int index) {
    void** table;
    memcpy(&table, object, sizeof table);
    return table[index];
}

static int CallCompress(void* object, const int16_t* samples, unsigned count,
                        unsigned char* record) {
    CompressSlot compress;
    void* entry = Slot(object, 0);
    memcpy(&compress, &entry, sizeof compress);
    return compress(object, (const char*)samples, count, record);
}

static int CallDecompress(void* object, const unsigned char* record, int16_t* samples,
                          uint32_t* size) {
    DecompressSlot decompress;
    void* entry = Slot(object, 1);
    memcpy(&decompress, &entry, sizeof decompress);
    return decompress(object, record, (char*)samples, size);
}

static void Release(void* object) {
    DeletingDestructor destroy;
    void* entry = Slot(object, 3);
    memcpy(&destroy, &entry, sizeof destroy);
    destroy(object);
}

static uint32_t GetU32(const unsigned char* p) {
    return (uint32_t)p[0] | (uint32_t)p[1] << 8 | (uint32_t)p[2] << 16 | (uint32_t)p[3] << 24;
}

static void PutU32(unsigned char* p, uint32_t v) {
    for (int i = 0; i < 4; ++i) {
        p[i] = (unsigned char)(v >> (8 * i));
    }
}

/* A record buffer of `size` bytes with the header a sender prepares (signature "QVX" and a NUL,
 * type 3) and every other byte marked, so that bytes the slots leave alone can be told. */
static unsigned char* NewRecord(size_t size) {
    unsigned char* record = malloc(size);
    memset(record, kUntouched, size);
    memcpy(record, "QVX", 4);
    record[4] = 3;
    return record;
}

/* Speech-like samples: two gliding tones under a slow envelope, with some noise. */
static void MakeSignal(int16_t* out, size_t count) {
    uint32_t noise = 12345;
    for (size_t i = 0; i < count; ++i) {
        const double t = (double)i / 8000.0;
        const double envelope = 0.5 + 0.5 * sin(2 * M_PI * 1.7 * t);
        const double tone =
            sin(2 * M_PI * (220 + 80 * sin(t)) * t) + 0.4 * sin(2 * M_PI * 1130 * t);
        noise = noise * 1664525u + 1013904223u;
        const double hiss = ((int32_t)(noise >> 16) - 32768) / 32768.0 * 0.05;
        out[i] = (int16_t)lround(9000 * envelope * tone + 3000 * hiss);
    }
}

static int WriteFile(const char* path, const void* data, size_t size) {
    FILE* f = fopen(path, "wb");
    if (!f) {
        return 0;
    }
    const int ok = fwrite(data, 1, size, f) == size;
    return fclose(f) == 0 && ok;
}

/* Reads exactly `size` bytes; false when the file holds fewer or more. */
static int ReadFile(const char* path, void* data, size_t size) {
    FILE* f = fopen(path, "rb");
    if (!f) {
        return 0;
    }
    const int ok = fread(data, 1, size, f) == size && fgetc(f) == EOF;
    fclose(f);
    return ok;
}

static int Run(const char* command) {
    if (system(command) != 0) {
        fprintf(stderr, "FAILED: %s\n", command);
        return 0;
    }
    return 1;
}

static int CountUntouched(const int16_t* samples, size_t count) {
    int n = 0;
    while (count > 0 && samples[count - 1] == (int16_t)0x7777) {
        --count;
        ++n;
    }
    return n;
}

/* Encodes the stream frame by frame through slot 0 into 343-byte records and compares each with
 * toast's frame; decodes each through slot 1 from a call's receive buffer and compares it with
 * untoast's samples. */
static void CompareWithReferenceTools(const int16_t* pcm, const unsigned char* toasted,
                                      const int16_t* untoasted) {
    void* encoder = GetCIface();
    void* decoder = GetCIface();
    unsigned char* received = calloc(kCallBuffer, 1);
    int16_t* frame = malloc(kFrameBytes);
    for (int f = 0; f < kFrames; ++f) {
        unsigned char* record = NewRecord(kVoiceRecord);
        Check(CallCompress(encoder, pcm + f * kFrameSamples, kFrameSamples, record) == 1,
              "Compress returns 1", f);
        Check(memcmp(record, "QVX\0\3", 5) == 0, "signature and type left as prepared", f);
        Check(GetU32(record + 5) == kFrameSamples, "sampleCount is 1600", f);
        Check(GetU32(record + 9) == kVoicePayload, "length is 330", f);
        Check(memcmp(record + kHeader, toasted + f * kVoicePayload, kVoicePayload) == 0,
              "payload equals toast's frame", f);

        memcpy(received, record, kVoiceRecord);
        uint32_t size = kFrameBytes;
        Check(CallDecompress(decoder, received, frame, &size) == 1, "Decompress returns 1", f);
        Check(size == kFrameSamples, "Decompress reports sampleCount 1600", f);
        Check(memcmp(frame, untoasted + f * kFrameSamples, kFrameBytes) == 0,
              "decoded samples equal untoast's", f);
        free(record);
    }
    free(frame);
    free(received);
    Release(decoder);
    Release(encoder);
}

/* The block arithmetic of both slots on records in the buffers a sender and a receiver use. */
static void CheckBlockLimits(const int16_t* pcm) {
    void* iface = GetCIface();
    unsigned char* record = NewRecord(kSetupBuffer);
    CallCompress(iface, pcm, 170, record);
    Check(GetU32(record + 5) == 170 && GetU32(record + 9) == 33, "170 samples: one block", 0);
    Check(record[kHeader + 33] == kUntouched, "nothing written past the one block", 0);

    unsigned char* received = NewRecord(kCallBuffer);
    /* Two frames' payloads back to back: the second record's header is overwritten by the first
     * record's payload. */
    CallCompress(iface, pcm + kFrameSamples, kFrameSamples, received + kVoicePayload);
    CallCompress(iface, pcm, kFrameSamples, received);
    PutU32(received + 5, 2 * kFrameSamples);
    PutU32(received + 9, 2 * kVoicePayload); /* 20 blocks promised */
    int16_t* out = malloc(kFrameBytes + 320);
    memset(out, 0x77, kFrameBytes + 320);
    uint32_t size = kFrameBytes;
    CallDecompress(iface, received, out, &size);
    Check(size == 2 * kFrameSamples, "Decompress reports the record's sampleCount", 0);
    Check(CountUntouched(out, kFrameSamples + 160) == 160, "20 promised blocks fill only 3200", 0);

    PutU32(received + 9, 329);
    memset(out, 0x77, kFrameBytes + 320);
    size = kFrameBytes;
    CallDecompress(iface, received, out, &size);
    Check(CountUntouched(out, kFrameSamples + 160) == 320, "length 329 decodes nine blocks", 0);
    free(out);
    free(received);
    free(record);
    Release(iface);
}

int main(void) {
    char dir[] = "/tmp/zorvo-slots-XXXXXX";
    if (!mkdtemp(dir)) {
        perror("mkdtemp");
        return 1;
    }
    char raw[64], gsm[64], back[64], command[256];
    snprintf(raw, sizeof raw, "%s/speech.raw", dir);
    snprintf(gsm, sizeof gsm, "%s/speech.gsm", dir);
    snprintf(back, sizeof back, "%s/back.raw", dir);

    static int16_t pcm[kFrames * kFrameSamples];
    static unsigned char toasted[kFrames * kVoicePayload];
    static int16_t untoasted[kFrames * kFrameSamples];
    MakeSignal(pcm, kFrames * kFrameSamples);
    int ready = WriteFile(raw, pcm, sizeof pcm);
    snprintf(command, sizeof command, "toast -l -c '%s' > '%s'", raw, gsm);
    ready = ready && Run(command);
    snprintf(command, sizeof command, "untoast -l -c '%s' > '%s'", gsm, back);
    ready = ready && Run(command);
    ready = ready && ReadFile(gsm, toasted, sizeof toasted) &&
            ReadFile(back, untoasted, sizeof untoasted);
    snprintf(command, sizeof command, "rm -rf '%s'", dir);
    Run(command);
    if (!ready) {
        fprintf(stderr, "FAILED: the reference tools gave no usable output\n");
        return 1;
    }

    CompareWithReferenceTools(pcm, toasted, untoasted);
    CheckBlockLimits(pcm);
    if (failures == 0) {
        printf("the published slots agree with toast and untoast\n");
    }
    return failures == 0 ? 0 : 1;
}
