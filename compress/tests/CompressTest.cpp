#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <thread>
#include <vector>

extern "C" {
#include <gsm.h>
}

#include "TestSignal.h"
#include "compress/CIface.h"

using namespace zorvo::wire;

namespace {

struct Record {
    std::vector<uint8_t> bytes = std::vector<uint8_t>(1024, 0);
    ZorvoMsg msg{bytes.data(), bytes.size()};
    Record() {
        msg.SetSignature();
        msg.SetType(MSG_VOICE);
    }
};

// What libgsm itself makes of `samples` with a fresh encoder: the reference for every block.
std::vector<uint8_t> EncodeDirectly(const std::vector<int16_t>& samples) {
    gsm encoder = gsm_create();
    std::vector<uint8_t> out(samples.size() / 160 * 33);
    std::vector<gsm_signal> block(160);
    for (size_t b = 0; b < samples.size() / 160; ++b) {
        std::memcpy(block.data(), samples.data() + b * 160, 320);
        gsm_encode(encoder, block.data(), out.data() + b * 33);
    }
    gsm_destroy(encoder);
    return out;
}

std::unique_ptr<CIface> NewIface() {
    std::unique_ptr<CIface> iface(GetCIface());
    EXPECT_NE(iface, nullptr);
    return iface;
}

TEST(Compress, FrameOf1600SamplesBecomesTenBlocksOf33Bytes) {
    auto iface = NewIface();
    const auto samples = MakeTestSignal(1600);
    Record rec;
    EXPECT_EQ(
        iface->Compress(reinterpret_cast<const char*>(samples.data()), 1600, rec.bytes.data()), 1);
    EXPECT_EQ(rec.msg.SampleCount(), 1600u);
    EXPECT_EQ(rec.msg.Length(), 330u);
    EXPECT_EQ(rec.msg.WireSize(), 343u);
    EXPECT_TRUE(rec.msg.HasSignature());
    EXPECT_EQ(rec.msg.Type(), MSG_VOICE);  // left as the caller prepared it
    const auto reference = EncodeDirectly(samples);
    EXPECT_EQ(std::vector<uint8_t>(rec.msg.Data(), rec.msg.Data() + 330), reference);
    EXPECT_EQ(rec.msg.Data()[330], 0);  // nothing written past the ten blocks
}

TEST(Compress, PartialBlockIsNotEncodedButCountIsKept) {
    auto iface = NewIface();
    const auto samples = MakeTestSignal(170);
    Record rec;
    iface->Compress(reinterpret_cast<const char*>(samples.data()), 170, rec.bytes.data());
    EXPECT_EQ(rec.msg.SampleCount(), 170u);
    EXPECT_EQ(rec.msg.Length(), 33u);
    EXPECT_EQ(std::vector<uint8_t>(rec.msg.Data(), rec.msg.Data() + 33),
              EncodeDirectly(std::vector<int16_t>(samples.begin(), samples.begin() + 160)));
}

TEST(Compress, CheckedEntryNeverWritesPastTheRecordBuffer) {
    auto iface = NewIface();
    const auto samples = MakeTestSignal(1600);
    std::vector<uint8_t> bytes(13 + 100, 0);  // room for three blocks only
    ZorvoMsg small(bytes.data(), bytes.size());
    EXPECT_EQ(iface->CompressInto(reinterpret_cast<const char*>(samples.data()), 1600, small), 1);
    EXPECT_EQ(small.Length(), 99u);
    EXPECT_EQ(small.SampleCount(), 1600u);
}

class DecompressTest : public ::testing::Test {
  protected:
    void SetUp() override {
        auto encoder = NewIface();
        samples = MakeTestSignal(3200);
        encoder->Compress(reinterpret_cast<const char*>(samples.data()), 1600, first.bytes.data());
        encoder->Compress(reinterpret_cast<const char*>(samples.data() + 1600), 1600,
                          second.bytes.data());
        // 20 blocks in one record: the two frames' payloads back to back.
        std::memcpy(twenty.msg.Data(), first.msg.Data(), 330);
        std::memcpy(twenty.msg.Data() + 330, second.msg.Data(), 330);
        twenty.msg.SetSampleCount(3200);
        twenty.msg.SetLength(660);
    }

    // Through slot 1 when `checked` is false, through the engine's checked entry when true.
    std::vector<int16_t> Decode(const ZorvoMsg& in, uint32_t bufferBytes, uint32_t* sizeOut,
                                bool checked = false) {
        std::vector<int16_t> out(bufferBytes / 2 + 160, 0x7777);
        *sizeOut = bufferBytes;
        char* samplesOut = reinterpret_cast<char*>(out.data());
        EXPECT_EQ(checked ? decoder->DecompressFrom(in, samplesOut, sizeOut)
                          : decoder->Decompress(in.Bytes(), samplesOut, sizeOut),
                  1);
        return out;
    }

    static size_t UntouchedFrom(const std::vector<int16_t>& out) {
        size_t n = out.size();
        while (n > 0 && out[n - 1] == 0x7777) {
            --n;
        }
        return n;
    }

    std::unique_ptr<CIface> decoder = NewIface();
    std::vector<int16_t> samples;
    Record first, second, twenty;
};

TEST_F(DecompressTest, WholeFrameDecodesTo1600SamplesAndReportsTheCount) {
    uint32_t size = 0;
    const auto out = Decode(first.msg, 3200, &size);
    EXPECT_EQ(size, 1600u);
    EXPECT_EQ(UntouchedFrom(out), 1600u);
}

TEST_F(DecompressTest, Length329DecodesNineBlocks) {
    first.msg.SetLength(329);
    uint32_t size = 0;
    const auto out = Decode(first.msg, 3200, &size);
    EXPECT_EQ(UntouchedFrom(out), 1440u);
}

TEST_F(DecompressTest, TwentyPromisedBlocksFillOnlyTheBuffer) {
    uint32_t size = 0;
    const auto out = Decode(twenty.msg, 3200, &size);
    EXPECT_EQ(size, 3200u);  // the record's sampleCount, whatever was decoded
    EXPECT_EQ(UntouchedFrom(out), 1600u);
}

TEST_F(DecompressTest, CheckedEntryDecodesOnlyBlocksThatArrived) {
    // A record promising 330 bytes of which 100 arrived: three whole blocks.
    const ZorvoMsg cut(first.bytes.data(), 13 + 100);
    uint32_t size = 0;
    const auto out = Decode(cut, 3200, &size, true);
    EXPECT_EQ(UntouchedFrom(out), 480u);
    // A bare header decodes nothing.
    const ZorvoMsg bare(first.bytes.data(), 13);
    EXPECT_EQ(UntouchedFrom(Decode(bare, 3200, &size, true)), 0u);
}

TEST(CompressThreads, TwoObjectsWorkFromTwoThreadsAtOnce) {
    // Each object keeps its own codec state: encoding the same stream on two threads at the same
    // time gives exactly the single-threaded result on both.
    const auto samples = MakeTestSignal(1600 * 50);
    const auto reference = EncodeDirectly(samples);
    std::unique_ptr<CIface> a(GetCIface()), b(GetCIface());
    ASSERT_NE(a.get(), b.get());
    std::vector<uint8_t> outA, outB;
    auto run = [&samples](CIface* iface, std::vector<uint8_t>* out) {
        Record rec;
        std::vector<int16_t> decoded(1600);
        for (size_t f = 0; f < samples.size() / 1600; ++f) {
            iface->Compress(reinterpret_cast<const char*>(samples.data() + f * 1600), 1600,
                            rec.bytes.data());
            out->insert(out->end(), rec.msg.Data(), rec.msg.Data() + 330);
            uint32_t size = 3200;
            iface->Decompress(rec.bytes.data(), reinterpret_cast<char*>(decoded.data()), &size);
        }
    };
    std::thread ta(run, a.get(), &outA), tb(run, b.get(), &outB);
    ta.join();
    tb.join();
    EXPECT_EQ(outA, reference);
    EXPECT_EQ(outB, reference);
}

TEST(CompressThreads, EncodingAndDecodingOnTwoThreadsMatchLibgsm) {
    // The engine's shape: one object encodes on the send thread while another decodes on the
    // receive thread.
    const auto samples = MakeTestSignal(1600 * 30);
    const auto encoded = EncodeDirectly(samples);
    std::vector<int16_t> expected(samples.size());
    {
        gsm decoder = gsm_create();
        for (size_t b = 0; b < samples.size() / 160; ++b) {
            gsm_decode(decoder, const_cast<uint8_t*>(encoded.data() + b * 33),
                       expected.data() + b * 160);
        }
        gsm_destroy(decoder);
    }
    std::unique_ptr<CIface> sender(GetCIface()), receiver(GetCIface());
    std::vector<uint8_t> sent;
    std::vector<int16_t> played(samples.size());
    std::thread send([&] {
        Record rec;
        for (size_t f = 0; f < samples.size() / 1600; ++f) {
            sender->Compress(reinterpret_cast<const char*>(samples.data() + f * 1600), 1600,
                             rec.bytes.data());
            sent.insert(sent.end(), rec.msg.Data(), rec.msg.Data() + 330);
        }
    });
    std::thread receive([&] {
        Record rec;
        rec.msg.SetSampleCount(1600);
        rec.msg.SetLength(330);
        for (size_t f = 0; f < samples.size() / 1600; ++f) {
            std::memcpy(rec.msg.Data(), encoded.data() + f * 330, 330);
            uint32_t size = 3200;
            receiver->Decompress(rec.bytes.data(),
                                 reinterpret_cast<char*>(played.data() + f * 1600), &size);
        }
    });
    send.join();
    receive.join();
    EXPECT_EQ(sent, encoded);
    EXPECT_EQ(played, expected);
}

}  // namespace
