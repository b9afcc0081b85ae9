#include <gtest/gtest.h>

#include "screen/fit_frame.hpp"

TEST(FitFrame, WidePictureIsHeightBoundAndCentred) {
    const auto r = kl::FitFrame(1080, 680, 1, 1920, 1080);
    EXPECT_NEAR(r.left, 67.1f, 0.05f);
    EXPECT_FLOAT_EQ(r.top, 112);
    EXPECT_NEAR(r.width, 945.8f, 0.05f);
    EXPECT_FLOAT_EQ(r.height, 532);
}

TEST(FitFrame, TallPictureIsWidthBoundAndSmallPicturesAreEnlarged) {
    const auto tall = kl::FitFrame(400, 1148, 1, 100, 400);  // band 400 x 1000
    EXPECT_FLOAT_EQ(tall.width, 250);
    EXPECT_FLOAT_EQ(tall.height, 1000);
    EXPECT_FLOAT_EQ(tall.left, 75);
    const auto small = kl::FitFrame(1080, 680, 1, 108, 53);
    EXPECT_GT(small.width, 108 * 9.9f) << "enlarged as well as reduced";
    const auto none = kl::FitFrame(1080, 680, 1, 0, 0);
    EXPECT_FLOAT_EQ(none.top, 112);
    EXPECT_FLOAT_EQ(none.width, 1080);
    EXPECT_FLOAT_EQ(none.height, 532);
}

TEST(FitFrame, BandFollowsTheLayoutScaleSoTheHeaderNeverCoversIt) {
    // A maximised 1920 x 1080 window: the header is drawn at 1080 / 680 of its design size.
    const float scale = 1080 / 680.0f;
    const auto r = kl::FitFrame(1920, 1080, scale, 1920, 1080);
    EXPECT_FLOAT_EQ(r.top, 112 * scale);
    EXPECT_FLOAT_EQ(r.height, 1080 - 148 * scale) << "height-bound";
    EXPECT_FLOAT_EQ(r.left, (1920 - r.width) / 2);
    const auto none = kl::FitFrame(1920, 1080, scale, 0, 0);
    EXPECT_FLOAT_EQ(none.top + none.height, 1080 - 36 * scale);
    // The smallest window shrinks the band with the header.
    const auto small = kl::FitFrame(992, 652, 652 / 680.0f, 0, 0);
    EXPECT_LT(small.top, 112);
}
