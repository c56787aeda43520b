// Checks the compression against Debian's reference GSM tools: a real speech recording encoded with
// `toast` must give byte-identical 33-byte frames, and `untoast` must produce the samples our
// decoder produces.

#include <gtest/gtest.h>

#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <vector>

#include "compress/CIface.h"

namespace fs = std::filesystem;

namespace {

std::vector<char> ReadFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

class ReferenceTools : public ::testing::Test {
  protected:
    void SetUp() override {
        char pattern[] = "/tmp/zorvo-gsm-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        dir = pattern;
    }
    void TearDown() override { fs::remove_all(dir); }

    void Run(const std::string& command) {
        ASSERT_EQ(std::system((command + " 2>/dev/null").c_str()), 0) << command;
    }

    fs::path dir;
};

TEST_F(ReferenceTools, ToastAndUntoastAgreeByteForByte) {
    // Real speech at 8 kHz mono 16-bit, as a WAV file and as raw little-endian samples.
    const fs::path wav = dir / "speech.wav", raw = dir / "speech.raw";
    Run("espeak-ng -w '" + (dir / "voice.wav").string() +
        "' 'Hello, this is a test of the speech codec over a call.'");
    Run("sox '" + (dir / "voice.wav").string() + "' -r 8000 -c 1 -b 16 -e signed-integer '" +
        wav.string() + "'");
    Run("sox '" + wav.string() + "' -t raw -e signed-integer -b 16 -L '" + raw.string() + "'");

    // Whole 1600-sample frames only, so that both sides encode the same blocks.
    std::vector<char> pcm = ReadFile(raw);
    ASSERT_GT(pcm.size(), 3200u * 5);
    pcm.resize(pcm.size() / 3200 * 3200);
    {
        std::ofstream out(raw, std::ios::binary | std::ios::trunc);
        out.write(pcm.data(), static_cast<std::streamsize>(pcm.size()));
    }
    const size_t frames = pcm.size() / 3200;

    Run("toast -l -c '" + raw.string() + "' > '" + (dir / "speech.gsm").string() + "'");
    const std::vector<char> toasted = ReadFile(dir / "speech.gsm");
    ASSERT_EQ(toasted.size(), frames * 330);

    std::unique_ptr<CIface> encoder(GetCIface()), decoder(GetCIface());
    std::vector<uint8_t> record(1024);
    ZorvoMsg msg(record.data(), record.size());
    std::vector<char> ours, decoded;
    std::vector<char> frame(3200);
    for (size_t f = 0; f < frames; ++f) {
        encoder->Compress(pcm.data() + f * 3200, 1600, record.data());
        ours.insert(ours.end(), msg.Data(), msg.Data() + msg.Length());
        uint32_t size = 3200;
        decoder->Decompress(record.data(), frame.data(), &size);
        decoded.insert(decoded.end(), frame.begin(), frame.end());
    }
    EXPECT_TRUE(ours == toasted) << "encoded frames differ from toast's";

    Run("untoast -l -c '" + (dir / "speech.gsm").string() + "' > '" +
        (dir / "untoasted.raw").string() + "'");
    const std::vector<char> untoasted = ReadFile(dir / "untoasted.raw");
    ASSERT_EQ(untoasted.size(), decoded.size());
    EXPECT_TRUE(untoasted == decoded) << "decoded samples differ from untoast's";
}

}  // namespace
