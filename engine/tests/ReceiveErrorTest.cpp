// Receive errors caused from the network (empty, oversized or random datagrams) never put boxes
// on the screen before a call is up, and at most one during a call.

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <mutex>
#include <random>
#include <string>

#include "EngineTestSupport.h"
#include "util/MessageBox.h"

using namespace enginetest;

namespace {

// Counts the boxes the engine asks for while it lives.
class BoxCounter {
  public:
    BoxCounter() {
        SetMessageBoxHook([this](const std::string&, const std::string& caption) {
            ++m_boxes;
            std::lock_guard lock(m_lock);
            m_captions += caption + ";";
        });
    }
    ~BoxCounter() { SetMessageBoxHook({}); }
    int Boxes() const { return m_boxes.load(); }
    std::string Captions() {
        std::lock_guard lock(m_lock);
        return m_captions;
    }

  private:
    std::atomic<int> m_boxes{0};
    std::mutex m_lock;
    std::string m_captions;
};

EngineOptions Options() {
    EngineOptions o;
    o.microphone = "none";
    o.speaker = "none";
    o.timing = FastTiming();
    return o;
}

// Sends `count` datagrams of random contents and sizes, every fourth one empty or larger than any
// set-up buffer.
void Flood(UdpPeer& from, const sockaddr_in& to, int count) {
    std::mt19937 random(1234);
    for (int i = 0; i < count; ++i) {
        std::size_t size = random() % 200;
        if (i % 4 == 1) {
            size = 0;
        } else if (i % 4 == 3) {
            size = 1025 + random() % 60000;
        }
        std::vector<uint8_t> bytes(size);
        for (auto& b : bytes) {
            b = static_cast<uint8_t>(random());
        }
        from.SendTo(to, bytes);
        if (i % 10 == 0) {
            Sleep(5);
        }
    }
}

TEST(ReceiveErrors, AFloodAgainstAListeningEngineAsksForNoBoxAndItStillRings) {
    BoxCounter boxes;
    StatusLog log;
    Statistics stats(log.Window());
    const uint16_t port = FreeUdpPort();
    Voxlane engine(port, 1, &stats, "bob", Options());
    ASSERT_EQ(engine.StartServer(), 1);
    ASSERT_TRUE(log.WaitForText("Bind Successful"));
    UdpPeer flooder;
    Flood(flooder, Address("127.0.0.1", port), 400);
    // Each oversized datagram costs one listening cycle; the errors are there as debug texts.
    EXPECT_TRUE(log.WaitForText("MSGSIZE", 3, 10000));
    EXPECT_TRUE(log.WaitForText("Recv Failed on socket", 3, 10000));
    UdpPeer caller;
    for (int attempt = 0; attempt < 50 && log.Count(STATUS_INCOMING_CALL) == 0; ++attempt) {
        caller.SendTo(Address("127.0.0.1", port), ConnectRequest("alice"));
        log.WaitFor(STATUS_INCOMING_CALL, 1, 200);
    }
    EXPECT_EQ(log.Count(STATUS_INCOMING_CALL), 1);
    engine.Stop();
    EXPECT_EQ(boxes.Boxes(), 0) << boxes.Captions();
    EXPECT_EQ(log.Count(STATUS_SERVER_ERROR), 0);
}

TEST(ReceiveErrors, OversizedRepliesToAWaitingCallerAskForNoBox) {
    BoxCounter boxes;
    StatusLog log;
    Statistics stats(log.Window());
    UdpPeer callee;
    Voxlane engine(0, 0, &stats, "alice", Options());
    ASSERT_EQ(engine.InitConnect(Loopback(), callee.Port()), 1);
    Thread connect(&Voxlane::_Connect, &engine);
    connect.Resume();
    ASSERT_TRUE(callee.ReceiveType(MSG_CONNECT_REQUEST, 2000));
    for (int i = 0; i < 5; ++i) {
        callee.Send(std::vector<uint8_t>(5000, 'Q'));
    }
    EXPECT_TRUE(log.WaitForText("MSGSIZE", 5, 5000));
    engine.Stop();
    connect.WaitForDeath(INFINITE);
    EXPECT_EQ(boxes.Boxes(), 0) << boxes.Captions();
}

TEST(ReceiveErrors, DuringACallOnlyTheFirstReceiveErrorBecomesABox) {
    BoxCounter boxes;
    StatusLog log;
    Statistics stats(log.Window());
    UdpPeer callee;
    Voxlane engine(0, 0, &stats, "alice", Options());
    ASSERT_EQ(engine.InitConnect(Loopback(), callee.Port()), 1);
    Thread connect(&Voxlane::_Connect, &engine);
    connect.Resume();
    ASSERT_TRUE(callee.ReceiveType(MSG_CONNECT_REQUEST, 2000));
    callee.Send(Record(MSG_ACCEPT));
    ASSERT_TRUE(log.WaitFor(STATUS_CONNECTED, 2));
    for (int i = 0; i < 3; ++i) {
        callee.Send(std::vector<uint8_t>(40000, 'Q'));
    }
    ASSERT_TRUE(log.WaitFor(STATUS_CONNECTION_LOST));
    engine.Stop();
    connect.WaitForDeath(INFINITE);
    EXPECT_EQ(boxes.Boxes(), 1) << boxes.Captions();
    EXPECT_EQ(boxes.Captions(), "MSGSIZE ERROR;");
}

}  // namespace
