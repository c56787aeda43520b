// Calls between engines that encrypt, watched and attacked from a tap on the path between them,
// and calls between an engine that encrypts and one that does not.

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <memory>
#include <regex>

#include "EngineTestSupport.h"
#include "UdpTap.h"
#include "VoiceOracle.h"
#include "WavFiles.h"
#include "wire/SecureRecords.h"

using namespace enginetest;
using namespace zorvo::wire;
using Way = UdpTap::Way;

namespace {

std::vector<int16_t> SpokenSentence(const TempDir& dir) {
    const std::string voice = dir.File("voice.wav"), speech = dir.File("speech.wav");
    const std::string say = "espeak-ng -w '" + voice +
                            "' 'This is Alice on a private line. Nobody else can hear it.' "
                            "2>/dev/null && sox '" +
                            voice + "' -r 8000 -c 1 -b 16 '" + speech + "' 2>/dev/null";
    return std::system(say.c_str()) == 0 ? ReadWav(speech) : std::vector<int16_t>{};
}

struct Side {
    explicit Side(const char* name) : name(name) { options.timing = FastTiming(); }
    const char* name;
    StatusLog log;
    Statistics stats{log.Window()};
    EngineOptions options;
    std::unique_ptr<Voxlane> engine;
};

class EncryptedCall : public ::testing::Test {
  protected:
    EncryptedCall() {
        WriteWav(dir.File("silence.wav"), {});
        for (Side* side : {&caller, &callee}) {
            side->options.microphone = dir.File("silence.wav");
            side->options.speaker = "none";
            side->options.identity = IdentityKey::Generate();
            side->options.timing.idleWaitLimit = 1000;
        }
        callee.log.OnEvent([](const Event& e) {
            if (e.code == STATUS_INCOMING_CALL) {
                Voxlane::WriteDecision(e.value, DECISION_ACCEPT);
            }
        });
    }
    ~EncryptedCall() override {
        for (Side* side : {&caller, &callee}) {
            if (side->engine) {
                side->engine->Stop();
            }
        }
    }

    // Starts the callee, then calls it through a tap; the result of Connect.
    int Call(UdpTap::Rewrite rewrite = {}) {
        const uint16_t port = FreeUdpPort();
        tap = std::make_unique<UdpTap>(port, std::move(rewrite));
        callee.engine = std::make_unique<Voxlane>(port, 1, &callee.stats, "bob", callee.options);
        caller.engine = std::make_unique<Voxlane>(0, 0, &caller.stats, "alice", caller.options);
        EXPECT_EQ(callee.engine->StartServer(), 1);
        EXPECT_EQ(caller.engine->InitConnect(Loopback(), tap->Port()), 1);
        const int connected = caller.engine->Connect();
        if (connected) {
            EXPECT_TRUE(callee.log.WaitFor(STATUS_CONNECTED));
            EXPECT_TRUE(caller.log.WaitFor(STATUS_CONNECTED, 2));
        }
        return connected;
    }

    // What the window of `side` was told: 1 encrypted, 0 plain, -1 nothing.
    static int Reported(Side& side) {
        const auto e = side.log.Last(STATUS_SECURITY);
        return e ? static_cast<int>(e->value) : -1;
    }

    std::vector<UdpTap::Datagram> Seen(Way way, uint8_t type) {
        std::vector<UdpTap::Datagram> out;
        for (const auto& d : tap->Seen()) {
            if (d.way == way && d.bytes.size() > 4 && d.bytes[4] == type) {
                out.push_back(d);
            }
        }
        return out;
    }

    TempDir dir;
    Side caller{"alice"};
    Side callee{"bob"};
    std::unique_ptr<UdpTap> tap;
};

// The attacks an on-path sender makes during the call, all sent to the callee: each must be
// dropped without ending the call or reaching the speaker. Gives how many were sent.
int Attack(UdpTap& tap, const std::vector<UdpTap::Datagram>& sealed) {
    std::vector<std::vector<uint8_t>> attacks;
    const std::vector<uint8_t>& first = sealed.front().bytes;
    const std::vector<uint8_t>& last = sealed.back().bytes;
    attacks.push_back(last);                                 // replayed
    attacks.push_back(sealed[1].bytes);                      // reordered: older ones again ...
    attacks.push_back(first);                                // ... in the wrong order
    std::vector<uint8_t> forged = last;                      // a counter far ahead, a flipped
    forged[kHeaderSize + 5] = 0x7F;                          // bit in the speech: the tag
    forged[kHeaderSize + kSealedCounterBytes + 40] ^= 0x01;  // fails, and the counter must not
    attacks.push_back(forged);                               // move on for it
    std::vector<uint8_t> truncated(last.begin(), last.end() - 7);  // the tag cut short
    truncated[kHeaderSize + 5] = 0x7E;
    attacks.push_back(truncated);
    attacks.push_back(Record(MSG_HANGUP));  // plain records are not believed
    attacks.push_back(Record(MSG_VOICE, kVoicePayload, 1600));
    for (const auto& bytes : attacks) {
        tap.InjectToCallee(bytes);
    }
    return static_cast<int>(attacks.size());
}

bool Contains(const std::vector<uint8_t>& haystack, const uint8_t* needle, std::size_t size) {
    return std::search(haystack.begin(), haystack.end(), needle, needle + size) != haystack.end();
}

TEST_F(EncryptedCall, SpeechArrivesExactlyAsInAPlainCallWhileTheWireCarriesNoneOfIt) {
    const std::vector<int16_t> samples = SpokenSentence(dir);
    ASSERT_GT(samples.size(), 8000u);
    WriteWav(dir.File("speech.wav"), samples);
    caller.options.microphone = dir.File("speech.wav");
    callee.options.speaker = dir.File("heard.wav");
    ASSERT_EQ(Call(), 1);
    EXPECT_EQ(Reported(caller), 1);
    EXPECT_EQ(Reported(callee), 1);

    const std::vector<Frame> sent = SentFrames(SplitFrames(samples, 15));
    const int frames = static_cast<int>(sent.size());
    ASSERT_TRUE(callee.log.WaitFor(STATUS_NET_FRAME, 4, 4000));
    const int attacks = Attack(*tap, Seen(Way::kToCallee, MSG_SEALED));
    ASSERT_TRUE(callee.log.WaitFor(STATUS_NET_FRAME, frames, static_cast<uint32_t>(frames * 400)));
    Sleep(800);
    caller.engine->Stop();
    ASSERT_TRUE(callee.log.WaitFor(STATUS_REMOTE_HANGUP));
    EXPECT_EQ(callee.log.Count(STATUS_REMOTE_HANGUP), 1) << "a plain hang-up was believed";
    const CallSecurity heardBy = callee.engine->GetCallSecurity();
    const CallSecurity spokenBy = caller.engine->GetCallSecurity();
    callee.engine->Stop();

    const std::vector<int16_t> expected = Decode(Encode(sent));
    const std::vector<int16_t> heard = ReadWav(dir.File("heard.wav"));
    EXPECT_EQ(heard.size(), expected.size()) << "frames heard: " << heard.size() / 1600;
    EXPECT_TRUE(heard == expected) << "the callee did not hear exactly what libgsm decodes";
    EXPECT_EQ(heardBy.dropped, static_cast<uint64_t>(attacks));

    // Nothing that crossed the path shows a voice record or a block of the encoded speech.
    const std::vector<uint8_t> encoded = Encode(sent);
    const std::vector<uint8_t> silentBlock = Encode({Frame(1600, 0)});
    for (const auto& d : tap->Seen()) {
        ASSERT_NE(d.bytes[4], MSG_VOICE);
        for (std::size_t at = 0; at + kBlockBytes <= encoded.size(); at += kBlockBytes) {
            if (!std::equal(encoded.begin() + static_cast<long>(at),
                            encoded.begin() + static_cast<long>(at + kBlockBytes),
                            silentBlock.begin())) {
                ASSERT_FALSE(Contains(d.bytes, encoded.data() + at, kBlockBytes));
            }
        }
    }
    EXPECT_GE(Seen(Way::kToCallee, MSG_SEALED).size(), sent.size());

    // Both sides show the same authentication string, and each knows the other's identity.
    EXPECT_TRUE(std::regex_match(heardBy.sas, std::regex("[0-9]{3} [0-9]{3}"))) << heardBy.sas;
    EXPECT_EQ(heardBy.sas, spokenBy.sas);
    EXPECT_EQ(heardBy.peerIdentity, caller.options.identity->publicKey);
    EXPECT_EQ(spokenBy.peerIdentity, callee.options.identity->publicKey);
}

// A relay that answers each side with its own key half: both calls come up encrypted (to the
// relay), and the authentication strings the two people read to each other differ.
class KeySubstitution {
  public:
    void operator()(Way way, std::vector<uint8_t>* bytes) {
        const ZorvoMsg msg(bytes->data(), bytes->size());
        if (way == Way::kToCallee && msg.Type() == MSG_CONNECT_REQUEST) {
            CallNonce nonce{};
            ConnectRequestNonce(msg, nonce.data());
            m_asCallee.SetNonce(nonce);
            m_asCaller.SetNonce(nonce);
        } else if (way == Way::kToCaller && ReadKeyHalf(msg)) {
            m_asCaller.TakePeerHalf(*ReadKeyHalf(msg));
            const std::size_t size =
                BuildKeyRecord(bytes->data(), bytes->size(), msg.Type(), *m_asCallee.OwnHalf());
            bytes->resize(size);
        } else if (way == Way::kToCallee && msg.Type() == MSG_KEY && m_asCaller.OwnHalf()) {
            bytes->resize(kHeaderSize + kKeyHalfPayload);
            BuildKeyRecord(bytes->data(), bytes->size(), MSG_KEY, *m_asCaller.OwnHalf());
        }
    }
    const IdentityKey identity = IdentityKey::Generate();

  private:
    KeyAgreement m_asCallee{KeyAgreement::Role::kCallee, identity};
    KeyAgreement m_asCaller{KeyAgreement::Role::kCaller, identity};
};

TEST_F(EncryptedCall, ARelayThatSubstitutesKeysLeavesTheTwoSidesWithDifferentStrings) {
    auto relay = std::make_shared<KeySubstitution>();
    ASSERT_EQ(Call([relay](Way way, std::vector<uint8_t>* bytes) { (*relay)(way, bytes); }), 1);
    const CallSecurity atCaller = caller.engine->GetCallSecurity();
    const CallSecurity atCallee = callee.engine->GetCallSecurity();
    ASSERT_TRUE(atCaller.encrypted && atCallee.encrypted);
    EXPECT_NE(atCaller.sas, atCallee.sas);
    EXPECT_EQ(atCaller.peerIdentity, relay->identity.publicKey);
    EXPECT_EQ(atCallee.peerIdentity, relay->identity.publicKey);
}

// An engine without an identity is a peer from before encryption: the call works as it always
// did, whichever side lacks it, and voice crosses the wire as plain records.
class PlainPeer : public EncryptedCall, public ::testing::WithParamInterface<bool> {};

TEST_P(PlainPeer, TalksInClearWhicheverSideItIs) {
    (GetParam() ? callee : caller).options.identity.reset();
    ASSERT_EQ(Call(), 1);
    EXPECT_EQ(Reported(caller), 0);
    EXPECT_EQ(Reported(callee), 0);
    EXPECT_TRUE(callee.log.WaitFor(STATUS_NET_FRAME, 2, 4000));
    EXPECT_FALSE(Seen(Way::kToCallee, MSG_VOICE).empty());
    EXPECT_TRUE(Seen(Way::kToCallee, MSG_SEALED).empty());
    EXPECT_TRUE(Seen(Way::kToCallee, MSG_KEY).empty());
    for (uint8_t answer : {MSG_RINGING, MSG_ACCEPT}) {
        for (const auto& d : Seen(Way::kToCaller, answer)) {
            EXPECT_EQ(d.bytes.size(), kHeaderSize) << "an extended answer";
        }
    }
}

INSTANTIATE_TEST_SUITE_P(EncryptedCall, PlainPeer, ::testing::Bool(),
                         [](const auto& info) { return info.param ? "Callee" : "Caller"; });

TEST_F(EncryptedCall, ACallerThatRequiresEncryptionHangsUpOnAPlainCallee) {
    caller.options.requireEncryption = true;
    callee.options.identity.reset();
    EXPECT_EQ(Call(), 0);
    EXPECT_TRUE(caller.log.WaitFor(STATUS_CONNECT_FAILED));
    EXPECT_TRUE(callee.log.WaitFor(STATUS_REMOTE_HANGUP)) << "the plain callee was left talking";
}

TEST_F(EncryptedCall, ACalleeThatRequiresEncryptionRefusesAPlainCallerWithoutRinging) {
    callee.options.requireEncryption = true;
    caller.options.identity.reset();
    EXPECT_EQ(Call(), 0);
    EXPECT_TRUE(caller.log.WaitFor(STATUS_CONNECT_FAILED));
    EXPECT_EQ(callee.log.Count(STATUS_INCOMING_CALL), 0) << "a plain call rang";
    EXPECT_FALSE(Seen(Way::kToCaller, MSG_REJECT).empty());
}

}  // namespace
