#include <gtest/gtest.h>

#include "screen/fit_frame.hpp"

TEST(FitFrame, WidePictureIsHeightBoundAndCentred) {
    const auto r = kl::FitFrame(1080, 680, 1920, 1080);
    EXPECT_NEAR(r.left, 67.1f, 0.05f);
    EXPECT_FLOAT_EQ(r.top, 112);
    EXPECT_NEAR(r.width, 945.8f, 0.05f);
    EXPECT_FLOAT_EQ(r.height, 532);
}

TEST(FitFrame, TallPictureIsWidthBoundAndSmallPicturesAreEnlarged) {
    const auto tall = kl::FitFrame(400, 1148, 100, 400);  // band 400 x 1000
    EXPECT_FLOAT_EQ(tall.width, 250);
    EXPECT_FLOAT_EQ(tall.height, 1000);
    EXPECT_FLOAT_EQ(tall.left, 75);
    const auto small = kl::FitFrame(1080, 680, 108, 53);
    EXPECT_GT(small.width, 108 * 9.9f) << "enlarged as well as reduced";
    const auto none = kl::FitFrame(1080, 680, 0, 0);
    EXPECT_FLOAT_EQ(none.top, 112);
    EXPECT_FLOAT_EQ(none.width, 1080);
    EXPECT_FLOAT_EQ(none.height, 532);
}
