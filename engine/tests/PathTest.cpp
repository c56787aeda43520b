// Two engines that find their path by probes after a call notice, with the test playing the
// rendezvous: registration, the notice, authenticated probes, and a call that then accepts only
// its path.

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <thread>

#include "EngineTestSupport.h"
#include "WavFiles.h"
#include "testsupport/FreePort.h"
#include "util/MessageBox.h"

using namespace enginetest;

namespace {

const std::string kBobKey = "0123456789abcdef";
const std::string kToken = "tokentokentoken!";

// The next STUN message a socket receives, or nothing in time.
std::optional<stun::Message> NextMessage(UdpPeer& socket, uint32_t timeoutMs) {
    const auto bytes = socket.Receive(timeoutMs);
    if (!bytes) {
        return std::nullopt;
    }
    return stun::Message::Parse(bytes->data(), bytes->size());
}

class ProbedPath : public ::testing::Test {
  protected:
    void SetUp() override {
        SetMessageBoxHook([](const std::string&, const std::string&) {});
        WriteWav(dir.File("silence.wav"), std::vector<int16_t>(8000, 0));
        calleeLog.OnEvent([](const Event& e) {
            if (e.code == STATUS_INCOMING_CALL) {
                Voxlane::WriteDecision(e.value, DECISION_ACCEPT);
            }
        });
    }

    void TearDown() override {
        for (auto* engine : {caller.get(), callee.get()}) {
            if (engine) {
                engine->Stop();
            }
        }
        if (connect) {
            connect->WaitForDeath(INFINITE);
        }
        SetMessageBoxHook({});
    }

    EngineOptions Options(const char* user, const std::string& key, uint16_t port) {
        EngineOptions o;
        o.microphone = dir.File("silence.wav");
        o.speaker = "none";
        o.timing = FastTiming();
        o.rendezvous = RendezvousConfig{Address("127.0.0.1", rendezvous.Port()), user, key, port};
        return o;
    }

    // Bob listens, registers (the test answers as the rendezvous does) and gets a call notice
    // with Alice's candidate; the notice's acknowledgement is checked.
    void CalleeGetsANotice() {
        callee = std::make_unique<Voxlane>(bobPort, 1, &calleeStats, "bob",
                                           Options("bob", kBobKey, bobPort));
        callee->StartServer();
        const auto registration = NextMessage(rendezvous, 3000);
        ASSERT_TRUE(registration);
        EXPECT_EQ(registration->Find(stun::kUsername).value_or(""), "bob");
        ASSERT_TRUE(registration->CheckIntegrity(kBobKey));
        const sockaddr_in bob = rendezvous.Peer();
        EXPECT_EQ(ntohs(bob.sin_port), bobPort);
        stun::Builder answer(stun::kBinding, stun::Class::kSuccess, registration->Transaction());
        answer.XorAddress(stun::kXorMappedAddress, bob).Integrity(kBobKey).Fingerprint();
        rendezvous.Send(answer.Bytes());

        stun::Builder notice(stun::kCallNotice, stun::Class::kRequest, stun::NewTransactionId());
        notice.Bytes(stun::kZorvoToken, kToken)
            .Text(stun::kZorvoCaller, "alice")
            .AddCandidate({stun::CandidateKind::kLocal, Address("127.0.0.1", alicePort)})
            .Integrity(kBobKey)
            .Fingerprint();
        rendezvous.Send(notice.Bytes());
        for (int i = 0; i < 10; ++i) {
            const auto ack = NextMessage(rendezvous, 2000);
            ASSERT_TRUE(ack);
            if (ack->Method() == stun::kCallNotice) {
                EXPECT_EQ(ack->Kind(), stun::Class::kSuccess);
                EXPECT_TRUE(ack->CheckIntegrity(kBobKey));
                return;
            }
        }
        FAIL() << "the notice was not acknowledged";
    }

    TempDir dir;
    UdpPeer rendezvous;
    uint16_t bobPort = testsupport::FreeUdpPort();
    uint16_t alicePort = testsupport::FreeUdpPort();
    StatusLog calleeLog;
    Statistics calleeStats{calleeLog.Window()};
    StatusLog callerLog;
    Statistics callerStats{callerLog.Window()};
    std::unique_ptr<Voxlane> callee;
    std::unique_ptr<Voxlane> caller;
    std::unique_ptr<Thread> connect;
};

TEST_F(ProbedPath, EnginesFindEachOtherByProbesAndTheCallAcceptsOnlyThatPath) {
    CalleeGetsANotice();
    ASSERT_FALSE(HasFatalFailure());
    ASSERT_TRUE(callee->GetPublicAddress());

    CallPlan plan;
    plan.token = kToken;
    plan.probeKey = stun::HmacSha256(kBobKey, kToken);
    plan.candidates = {{stun::CandidateKind::kLocal, Address("127.0.0.1", bobPort)}};
    caller = std::make_unique<Voxlane>(bobPort, 0, &callerStats, "alice",
                                       Options("alice", "fedcba9876543210", alicePort));
    ASSERT_EQ(caller->InitConnectVia(plan), 1);
    connect = std::make_unique<Thread>(&Voxlane::_Connect, caller.get());
    connect->Resume();

    ASSERT_TRUE(callerLog.WaitFor(STATUS_CONNECTED, 2));
    ASSERT_TRUE(calleeLog.WaitFor(STATUS_CONNECTED));
    ASSERT_TRUE(callerLog.Last(STATUS_PATH));
    EXPECT_EQ(callerLog.Last(STATUS_PATH)->value, static_cast<uintptr_t>(PathKind::kLocal));
    ASSERT_TRUE(calleeLog.Last(STATUS_PATH));
    EXPECT_EQ(calleeLog.Last(STATUS_PATH)->value, static_cast<uintptr_t>(PathKind::kLocal));
    EXPECT_EQ(callee->GetRemoteCapabilities(), zorvo::wire::kCapRendezvous);

    // Another port of the caller's address is not the path: its hang-up is dropped.
    UdpPeer stranger;
    stranger.SendTo(Address("127.0.0.1", bobPort), Record(MSG_HANGUP));
    ASSERT_TRUE(calleeLog.WaitForText("Dropping message from 127.0.0.1"));
    EXPECT_EQ(calleeLog.Count(STATUS_REMOTE_HANGUP), 0);

    caller->Stop();
    EXPECT_TRUE(calleeLog.WaitFor(STATUS_REMOTE_HANGUP));
}

TEST_F(ProbedPath, OnlyProbesWithTheCallsKeyAreAnswered) {
    CalleeGetsANotice();
    ASSERT_FALSE(HasFatalFailure());
    UdpPeer prober;
    const sockaddr_in bob = Address("127.0.0.1", bobPort);
    const std::string user = stun::ToHex(kToken);

    stun::Builder forged(stun::kBinding, stun::Class::kRequest, stun::NewTransactionId());
    forged.Text(stun::kUsername, user).Integrity("not the probe key").Fingerprint();
    prober.SendTo(bob, forged.Bytes());
    EXPECT_FALSE(prober.Receive(500));

    stun::Builder probe(stun::kBinding, stun::Class::kRequest, stun::NewTransactionId());
    probe.Text(stun::kUsername, user).Integrity(stun::HmacSha256(kBobKey, kToken)).Fingerprint();
    prober.SendTo(bob, probe.Bytes());
    const auto answer = NextMessage(prober, 2000);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->Kind(), stun::Class::kSuccess);
    EXPECT_TRUE(answer->CheckIntegrity(stun::HmacSha256(kBobKey, kToken)));
    const auto seen = answer->XorAddress(stun::kXorMappedAddress);
    ASSERT_TRUE(seen);
    EXPECT_EQ(ntohs(seen->sin_port), prober.Port());
}

}  // namespace

namespace {

// The test plays a callee that answers the caller's probe, takes its connect request and then
// stays silent: once the caller's voice stops (silence suppression), keep-alives hold the path.
TEST_F(ProbedPath, AQuietCallerKeepsItsPathOpenWithKeepAlives) {
    UdpPeer bob;
    const std::string probeKey = stun::HmacSha256(kBobKey, kToken);
    CallPlan plan{kToken,
                  probeKey,
                  {{stun::CandidateKind::kPublic, Address("127.0.0.1", bob.Port())}},
                  std::nullopt};
    EngineOptions options = Options("alice", "fedcba9876543210", alicePort);
    options.timing.pathKeepAliveMs = 300;
    options.timing.idleWaitLimit = 1000;  // the silent test peer must not end the call first
    caller = std::make_unique<Voxlane>(bob.Port(), 0, &callerStats, "alice", options);
    ASSERT_EQ(caller->InitConnectVia(plan), 1);
    connect = std::make_unique<Thread>(&Voxlane::_Connect, caller.get());
    connect->Resume();

    const auto probe = NextMessage(bob, 3000);
    ASSERT_TRUE(probe);
    EXPECT_EQ(probe->Find(stun::kUsername).value_or(""), stun::ToHex(kToken));
    ASSERT_TRUE(probe->CheckIntegrity(probeKey));
    stun::Builder answer(stun::kBinding, stun::Class::kSuccess, probe->Transaction());
    answer.XorAddress(stun::kXorMappedAddress, bob.Peer()).Integrity(probeKey).Fingerprint();
    bob.Send(answer.Bytes());

    const auto request = bob.ReceiveType(MSG_CONNECT_REQUEST, 3000);
    ASSERT_TRUE(request);
    ASSERT_EQ(request->size(), 58u);
    const uint8_t* marker = request->data() + 13 + zorvo::wire::kCapabilityOffset;
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(marker), 2), "ZC");
    EXPECT_EQ(marker[3], zorvo::wire::kCapRendezvous);
    bob.Send(Record(MSG_ACCEPT));
    ASSERT_TRUE(callerLog.WaitFor(STATUS_CONNECTED, 2));
    ASSERT_TRUE(callerLog.Last(STATUS_PATH));
    EXPECT_EQ(callerLog.Last(STATUS_PATH)->value, static_cast<uintptr_t>(PathKind::kPunched));

    // Ten silent frames go out, then nothing but keep-alives: binding indications, a few a
    // second at this timing.
    int keepAlives = 0;
    for (int i = 0; i < 100 && keepAlives < 3; ++i) {
        const auto bytes = bob.Receive(2000);
        ASSERT_TRUE(bytes) << "the quiet caller sent nothing on its path";
        if (!stun::LooksLikeStun(bytes->data(), bytes->size())) {
            EXPECT_EQ(keepAlives, 0) << "voice after the keep-alives began";
            continue;
        }
        const auto msg = stun::Message::Parse(bytes->data(), bytes->size());
        ASSERT_TRUE(msg);
        EXPECT_EQ(msg->Kind(), stun::Class::kIndication);
        EXPECT_TRUE(msg->CheckFingerprint());
        ++keepAlives;
    }
    EXPECT_EQ(keepAlives, 3);
}

}  // namespace
