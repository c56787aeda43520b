// The in-call display: the clock text, the delay colour, the mean round trip and the words for
// the way a call got through.

#include <gtest/gtest.h>

#include "app/call/InCallDisplay.h"

namespace {

TEST(InCallDisplay, ClockText) {
    EXPECT_EQ(incall::ClockText(3723, 0), "Active 01:02:03");
    EXPECT_EQ(incall::ClockText(15, 120), "Active 00:00:15 Delay=120 ms");
    EXPECT_EQ(incall::ClockText(25 * 3600 + 5, 0), "Active 01:00:05");  // the span's day only
    EXPECT_EQ(incall::ClockText(0, 0), "Active 00:00:00");
}

TEST(InCallDisplay, DelayColourRunsFromGreenToRed) {
    EXPECT_EQ(incall::DelayColour(0), 0x00FF00u);
    EXPECT_EQ(incall::DelayColour(120), 0x00FD01u);
    EXPECT_EQ(incall::DelayColour(8000), 0x007F7Fu);
    EXPECT_EQ(incall::DelayColour(16000), 0x0000FFu);
    EXPECT_EQ(incall::DelayColour(60000), 0x0000FFu);
}

TEST(InCallDisplay, PathTextSaysHowTheCallGotThrough) {
    EXPECT_EQ(incall::PathText(1), "Connected (direct)");
    EXPECT_EQ(incall::PathText(2), "Connected (same local network)");
    EXPECT_EQ(incall::PathText(3), "Connected (router port mapping)");
    EXPECT_EQ(incall::PathText(4), "Connected (punched through the routers)");
    EXPECT_EQ(incall::PathText(5), "Connected (relayed)");
    EXPECT_EQ(incall::PathText(0), "Connected");
    EXPECT_EQ(incall::PathText(6), "Connected");
    EXPECT_EQ(incall::PathText(257), "Connected");  // not 1 once cut to a byte
}

TEST(InCallDisplay, MeanOfRoundTrips) {
    incall::DelayMean mean;
    mean.Add(100);
    EXPECT_FLOAT_EQ(mean.mean, 100);
    mean.Add(300);
    EXPECT_FLOAT_EQ(mean.mean, 200);
    EXPECT_EQ(mean.samples, 2u);
}

}  // namespace
