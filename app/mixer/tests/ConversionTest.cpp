#include <gtest/gtest.h>

#include "app/mixer/VolumeControl.h"

namespace {

using mixer::ElementToLevel;
using mixer::LevelToElement;
using mixer::LevelToSlider;
using mixer::SliderToLevel;

TEST(SliderConversion, PositionsBecomeLevelsTimes256) {
    EXPECT_EQ(SliderToLevel(0), 0u);
    EXPECT_EQ(SliderToLevel(1), 256u);
    EXPECT_EQ(SliderToLevel(128), 32768u);
    EXPECT_EQ(SliderToLevel(255), 65280u);
    // Only the low 8 bits of a position count.
    EXPECT_EQ(SliderToLevel(256 + 3), 768u);
}

TEST(SliderConversion, LevelsBecomePositionsByTheirHighByte) {
    EXPECT_EQ(LevelToSlider(65535), 255);
    EXPECT_EQ(LevelToSlider(65280), 255);
    EXPECT_EQ(LevelToSlider(32768), 128);
    EXPECT_EQ(LevelToSlider(256), 1);
    EXPECT_EQ(LevelToSlider(255), 0);
    EXPECT_EQ(LevelToSlider(0), 0);
    // A refused query places the slider at the top.
    EXPECT_EQ(LevelToSlider(-1), 255);
}

TEST(ElementScale, A16BitElementTakesTheLevelUnchanged) {
    for (unsigned level : {0u, 1u, 256u, 32768u, 65280u, 65535u}) {
        EXPECT_EQ(LevelToElement(level, 0, 65535), static_cast<long>(level));
        EXPECT_EQ(ElementToLevel(static_cast<long>(level), 0, 65535), static_cast<int>(level));
    }
}

TEST(ElementScale, EverySliderPositionSurvivesASoundServerElementOf0To65536) {
    EXPECT_EQ(LevelToElement(65535, 0, 65536), 65536);
    EXPECT_EQ(ElementToLevel(65536, 0, 65536), 65535);
    for (int position = 0; position <= 255; ++position) {
        const long element = LevelToElement(SliderToLevel(position), 0, 65536);
        EXPECT_EQ(LevelToSlider(ElementToLevel(element, 0, 65536)), position) << position;
    }
}

TEST(ElementScale, ASmallElementRangeIsScaledToItsNearestStep) {
    EXPECT_EQ(LevelToElement(0, 0, 31), 0);
    EXPECT_EQ(LevelToElement(SliderToLevel(255), 0, 31), 31);
    EXPECT_EQ(LevelToElement(SliderToLevel(128), 0, 31), 16);
    EXPECT_EQ(LevelToSlider(ElementToLevel(31, 0, 31)), 255);
    EXPECT_EQ(LevelToSlider(ElementToLevel(0, 0, 31)), 0);
    // An offset range: -6400..0 (hundredths of a decibel, as some cards report).
    EXPECT_EQ(LevelToElement(0, -6400, 0), -6400);
    EXPECT_EQ(LevelToElement(65535, -6400, 0), 0);
    EXPECT_EQ(ElementToLevel(-3200, -6400, 0), 32768);
}

TEST(ElementScale, ValuesOutsideTheElementRangeAreClamped) {
    EXPECT_EQ(ElementToLevel(100, 0, 31), 65535);
    EXPECT_EQ(ElementToLevel(-5, 0, 31), 0);
    EXPECT_EQ(LevelToElement(70000, 0, 31), 31);
}

}  // namespace
