#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "wire/ZorvoMsg.h"

using namespace zorvo::wire;

namespace {

std::vector<uint8_t> Header(uint8_t type, uint32_t samples, uint32_t length) {
    return {'Q',
            'V',
            'X',
            0,
            type,
            static_cast<uint8_t>(samples),
            static_cast<uint8_t>(samples >> 8),
            static_cast<uint8_t>(samples >> 16),
            static_cast<uint8_t>(samples >> 24),
            static_cast<uint8_t>(length),
            static_cast<uint8_t>(length >> 8),
            static_cast<uint8_t>(length >> 16),
            static_cast<uint8_t>(length >> 24)};
}

TEST(ZorvoMsg, PayloadLessRecordsAreThirteenExactBytes) {
    for (uint8_t type : {MSG_ACCEPT, MSG_HANGUP, MSG_REJECT, MSG_RINGING}) {
        uint8_t buffer[13];
        ASSERT_EQ(BuildRecord(buffer, sizeof buffer, type), 13u);
        EXPECT_EQ(std::vector<uint8_t>(buffer, buffer + 13), Header(type, 0, 0));
    }
    uint8_t small[12];
    EXPECT_EQ(BuildRecord(small, sizeof small, MSG_HANGUP), 0u);
}

TEST(ZorvoMsg, ConnectRequestIs58BytesWhateverTheName) {
    for (const std::string& name :
         std::vector<std::string>{"", "UNKNOWN", "abcdefghijklmnop", std::string(80, 'z')}) {
        std::vector<uint8_t> buffer(kSetupBufferSize, 0xEE);
        ASSERT_EQ(BuildConnectRequest(buffer.data(), buffer.size(), name.c_str()), 58u) << name;
        std::vector<uint8_t> expected = Header(MSG_CONNECT_REQUEST, 0, 45);
        std::vector<uint8_t> payload(45, 0);
        const std::string kept = name.substr(0, 63);
        for (size_t i = 0; i < kept.size() && i < payload.size(); ++i) {
            payload[i] = static_cast<uint8_t>(kept[i]);
        }
        payload[16] = 1;  // written over the name
        payload[17] = payload[18] = payload[19] = 0;
        expected.insert(expected.end(), payload.begin(), payload.end());
        EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 58), expected) << name;
        EXPECT_EQ(buffer.back(), 0);  // the whole buffer was zero-filled first
    }
}

TEST(ZorvoMsg, CalleeReadsTheNameFromTheFirst32Bytes) {
    std::vector<uint8_t> buffer(kSetupBufferSize);
    char name[kRemoteNameBytes];

    BuildConnectRequest(buffer.data(), buffer.size(), "alice");
    ConnectRequestName(ZorvoMsg(buffer.data(), 58), name);
    EXPECT_STREQ(name, "alice");

    // A long name carries the marker byte 1 at payload byte 16: it shows as its first 16 chars.
    BuildConnectRequest(buffer.data(), buffer.size(), "abcdefghijklmnopqrstuvwxyz");
    ConnectRequestName(ZorvoMsg(buffer.data(), 58), name);
    EXPECT_STREQ(name, "abcdefghijklmnop");

    // 32 payload bytes without NUL are cut to 31 characters.
    std::vector<uint8_t> raw = Header(MSG_CONNECT_REQUEST, 0, 45);
    raw.resize(13 + 45, 'n');
    ConnectRequestName(ZorvoMsg(raw.data(), raw.size()), name);
    EXPECT_EQ(std::string(name), std::string(31, 'n'));

    // A short datagram yields only what arrived.
    raw.resize(13 + 3);
    ConnectRequestName(ZorvoMsg(raw.data(), raw.size()), name);
    EXPECT_STREQ(name, "nnn");
}

TEST(ZorvoMsg, ProbesCarryTheTickLittleEndianIn38Bytes) {
    std::vector<uint8_t> buffer(kSetupBufferSize, 0xEE);
    ASSERT_EQ(BuildProbe(buffer.data(), buffer.size(), MSG_R_U_THERE, 0x11223344), 38u);
    std::vector<uint8_t> expected = Header(MSG_R_U_THERE, 0, 25);
    expected.insert(expected.end(), {0x44, 0x33, 0x22, 0x11});
    expected.resize(38, 0);
    EXPECT_EQ(std::vector<uint8_t>(buffer.begin(), buffer.begin() + 38), expected);

    const ZorvoMsg probe(buffer.data(), 38);
    ASSERT_EQ(BuildProbe(buffer.data(), buffer.size(), MSG_I_AM_HERE, probe.TickValue()), 38u);
    EXPECT_EQ(ZorvoMsg(buffer.data(), 38).TickValue(), 0x11223344u);
    EXPECT_EQ(buffer[4], MSG_I_AM_HERE);
}

TEST(ZorvoMsg, VoiceRecordHeaderIsRead343Bytes) {
    std::vector<uint8_t> raw = Header(MSG_VOICE, 1600, 330);
    raw.resize(343, 0x55);
    const ZorvoMsg voice(raw.data(), raw.size());
    EXPECT_TRUE(voice.IsWellFormed());
    EXPECT_EQ(voice.Type(), MSG_VOICE);
    EXPECT_EQ(voice.SampleCount(), 1600u);
    EXPECT_EQ(voice.Length(), 330u);
    EXPECT_EQ(voice.WireSize(), 343u);
    EXPECT_EQ(voice.DataSize(), 330u);
}

TEST(ZorvoMsg, SignatureTest) {
    auto judge = [](std::vector<uint8_t> bytes) {
        return ZorvoMsg(bytes.data(), bytes.size()).HasSignature();
    };
    EXPECT_TRUE(judge({'Q', 'V', 'X', 0}));
    EXPECT_FALSE(judge({'Q', 'V', 'X', 'Y', 0}));  // "QVX" followed by another character
    EXPECT_FALSE(judge({'Q', 'V', 'X', 1}));
    EXPECT_FALSE(judge({'Q', 'V', 'x', 0}));
    EXPECT_FALSE(judge({'Q', 'V', 'X'}));  // too short to hold the NUL
    EXPECT_FALSE(judge({}));

    // A signature alone is not a record: the header must have arrived too.
    std::vector<uint8_t> partial = Header(MSG_HANGUP, 0, 0);
    partial.resize(12);
    const ZorvoMsg cut(partial.data(), partial.size());
    EXPECT_TRUE(cut.HasSignature());
    EXPECT_FALSE(cut.IsWellFormed());
    EXPECT_EQ(cut.Length(), 0u);  // fields that did not arrive read as 0
    EXPECT_EQ(cut.TickValue(), 0u);
}

}  // namespace
