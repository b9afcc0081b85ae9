#include <gtest/gtest.h>

#include "screen/capture_size.hpp"

TEST(CaptureSize, LargeScreensShrinkToTheWidthLimitAndTallOnesToTheHeightLimit) {
    const kl::CaptureSize uhd = kl::ScaledCaptureSize(3840, 2160, 1920);
    EXPECT_EQ(uhd.width, 1920);
    EXPECT_EQ(uhd.height, 1080);
    EXPECT_DOUBLE_EQ(uhd.scale, 0.5);
    const kl::CaptureSize laptop = kl::ScaledCaptureSize(1366, 768, 1920);
    EXPECT_EQ(laptop.width, 1366) << "never enlarged";
    EXPECT_EQ(laptop.height, 768);
    const kl::CaptureSize portrait = kl::ScaledCaptureSize(1920, 5000, 1920);
    EXPECT_DOUBLE_EQ(portrait.scale, 4320.0 / 5000);
    EXPECT_EQ(portrait.width, 1658);
    EXPECT_EQ(portrait.height, 4320);
    EXPECT_EQ(kl::ScaledCaptureSize(20000, 100, 100000).width, 7680) << "the width cap holds for any limit";
    EXPECT_EQ(kl::ScaledCaptureSize(100000, 1, 1920).height, 1) << "at least one row";
    EXPECT_EQ(kl::ScaledCaptureSize(0, 768, 1920).width, 0);
    EXPECT_EQ(kl::ScaledCaptureSize(1366, 768, 0).width, 0);
}

TEST(CaptureSize, JpegQualityStaysWithinTwentyAndNinetyFive) {
    EXPECT_EQ(kl::ClampJpegQuality(10), 20);
    EXPECT_EQ(kl::ClampJpegQuality(20), 20);
    EXPECT_EQ(kl::ClampJpegQuality(72), 72);
    EXPECT_EQ(kl::ClampJpegQuality(95), 95);
    EXPECT_EQ(kl::ClampJpegQuality(100), 95);
    EXPECT_EQ(kl::ClampJpegQuality(-5), 20);
}
