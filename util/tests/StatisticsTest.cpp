#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "util/Statistics.h"

namespace {

struct Received {
    std::vector<unsigned> codes;
    std::vector<std::string> texts;
};

HWND MakeWindow(Received& into) {
    return RegisterWindow([&into](uint32_t message, uintptr_t code, intptr_t value) {
        if (message != WM_ENGINE_STATUS) {
            return;
        }
        into.codes.push_back(static_cast<unsigned>(code));
        if (code == STATUS_DEBUG_TEXT) {
            into.texts.emplace_back(reinterpret_cast<const char*>(value));
        }
    });
}

TEST(Statistics, DebugTextIsACopyThatOutlivesTheCallersBuffer) {
    Received got;
    const HWND window = MakeWindow(got);
    Statistics stats(window);
    std::thread engine([&] {
        char buffer[64];
        std::snprintf(buffer, sizeof buffer, "***SOCKET = %0X", 0x1C);
        EXPECT_EQ(stats.AddDebugMsg(buffer), 0u);
        std::memset(buffer, 'x', sizeof buffer - 1);  // the caller reuses its buffer at once
        stats.AddDebugMsg("Connecting...");
    });
    engine.join();
    PumpMessages();
    EXPECT_EQ(got.texts, (std::vector<std::string>{"***SOCKET = 1C", "Connecting..."}));
    UnregisterWindow(window);
}

TEST(Statistics, ResultsAreFixedEvenWhenTheWindowIsGone) {
    Received got;
    const HWND window = MakeWindow(got);
    Statistics stats(window);
    UnregisterWindow(window);
    EXPECT_EQ(stats.AddDebugMsg("lost"), 0u);  // the copy is freed (checked by LeakSanitizer)
    EXPECT_EQ(stats.NotifyStatus(STATUS_CONNECTED, 0), 1);
    PumpMessages();
    EXPECT_TRUE(got.codes.empty());
}

TEST(Statistics, NotifyFromOwnerRunsAtOnceAndUnknownCodesPassThrough) {
    Received got;
    const HWND window = MakeWindow(got);
    Statistics stats(window);
    stats.NotifyStatus(STATUS_ROUND_TRIP, 250);
    stats.NotifyStatus(99, 0);
    EXPECT_EQ(got.codes, (std::vector<unsigned>{STATUS_ROUND_TRIP, 99}));
    EXPECT_STREQ(EngineStatusName(STATUS_ROUND_TRIP), "STATUS_ROUND_TRIP");
    EXPECT_STREQ(EngineStatusName(STATUS_BYTES_SENT), "STATUS_BYTES_SENT");
    EXPECT_EQ(EngineStatusName(0), nullptr);
    EXPECT_EQ(EngineStatusName(14), nullptr);
    UnregisterWindow(window);
}

TEST(Statistics, ConstructingOrDestroyingAnyObjectClearsTheSharedFrames) {
    std::vector<unsigned char> frame(Statistics::kFrameBytes, 0x5A), out(Statistics::kFrameBytes);
    Statistics first(0);
    Statistics::StoreLastFromMic(frame.data());
    Statistics::StoreLastFromNet(frame.data());
    Statistics::CopyLastFromMic(out.data());
    EXPECT_EQ(out, frame);
    {
        Statistics second(0);
        Statistics::CopyLastFromNet(out.data());
        EXPECT_EQ(out, std::vector<unsigned char>(Statistics::kFrameBytes, 0));
        Statistics::StoreLastFromNet(frame.data());
    }
    Statistics::CopyLastFromNet(out.data());
    EXPECT_EQ(out, std::vector<unsigned char>(Statistics::kFrameBytes, 0));
}

TEST(Statistics, FrameCopiesAreNeverTorn) {
    Statistics stats(0);
    std::atomic<bool> done{false};
    std::thread writer([&] {
        std::vector<unsigned char> a(Statistics::kFrameBytes, 1), b(Statistics::kFrameBytes, 2);
        for (int i = 0; i < 20000; ++i) {
            Statistics::StoreLastFromMic((i & 1) ? a.data() : b.data());
        }
        done = true;
    });
    std::vector<unsigned char> out(Statistics::kFrameBytes);
    int torn = 0;
    while (!done) {
        Statistics::CopyLastFromMic(out.data());
        for (unsigned char byte : out) {
            torn += byte != out[0];
        }
    }
    writer.join();
    EXPECT_EQ(torn, 0);
}

}  // namespace
