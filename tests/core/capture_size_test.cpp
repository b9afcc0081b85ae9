#include <gtest/gtest.h>

#include <string>

#include "screen/capture_counts.hpp"
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
    EXPECT_EQ(kl::ScaledCaptureSize(20000, 100, 100000).width, 7680)
        << "the width cap holds for any limit";
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

namespace {

// Feeds a run of periods to the counting rule: 'x' a failed capture, 's' the same picture as
// the one last sent, 'n' a new picture. Returns one letter per period: R retry, F fail,
// K skip, S send.
std::string Periods(const std::string& inputs) {
    kl::CaptureCounts counts;
    std::string out;
    for (char c : inputs) {
        switch (kl::CountFrame(counts, c != 'x', c == 's')) {
            case kl::FrameAction::Retry:
                out += 'R';
                break;
            case kl::FrameAction::Fail:
                out += 'F';
                break;
            case kl::FrameAction::Skip:
                out += 'K';
                break;
            case kl::FrameAction::Send:
                out += 'S';
                break;
            case kl::FrameAction::Wait:  // the capture's, never the counting rule's
                out += 'W';
                break;
        }
    }
    return out;
}

}  // namespace

TEST(CaptureCounts, AStillScreenIsResentEveryFifteenthPeriod) {
    EXPECT_EQ(Periods("n" + std::string(30, 's')),
              "S" + std::string(14, 'K') + "S" + std::string(14, 'K') + "S");
    EXPECT_EQ(Periods("n" + std::string(10, 's') + "n" + std::string(15, 's')),
              "S" + std::string(10, 'K') + "S" + std::string(14, 'K') + "S")
        << "a new picture starts the count again";
    EXPECT_EQ(Periods("nnnn"), "SSSS");
    EXPECT_EQ(Periods("n" + std::string(7, 's') + "xxx" + std::string(8, 's')),
              "S" + std::string(7, 'K') + "RRR" + std::string(7, 'K') + "S")
        << "failed captures neither reset nor advance the unchanged count";
}

TEST(CaptureCounts, FifteenFailuresInARowEndTheStream) {
    EXPECT_EQ(Periods(std::string(15, 'x')), std::string(14, 'R') + "F");
    EXPECT_EQ(Periods(std::string(14, 'x') + "n" + std::string(14, 'x') + "s"),
              std::string(14, 'R') + "S" + std::string(14, 'R') + "K")
        << "a captured picture, sent or not, resets the failures";
    EXPECT_EQ(Periods(std::string(14, 'x') + "s" + std::string(15, 'x')),
              std::string(14, 'R') + "K" + std::string(14, 'R') + "F");
}
