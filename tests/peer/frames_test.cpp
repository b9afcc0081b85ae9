#include <gtest/gtest.h>

#include "peer/frames.hpp"
#include "screen/jpeg_check.hpp"

namespace {
bool Valid(const std::string& frame, kl::JpegFrameInfo& info) {
    return kl::CheckJpegStructure(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size(), info);
}
}  // namespace

TEST(PeerFrames, PatternFramesCarryTheirSendTimeAndPassTheStructureCheck) {
    auto source = kl::peer::FrameSource::TestPattern(320, 200, 2);
    const std::string a = source.Next(1234567890123, 0);
    const std::string b = source.Next(42, 0);
    EXPECT_NE(a.substr(30), b.substr(30)) << "the pattern changes between variants";
    kl::JpegFrameInfo info;
    ASSERT_TRUE(Valid(a, info));
    EXPECT_EQ(info.width, 320);
    EXPECT_EQ(info.height, 200);
    EXPECT_EQ(kl::peer::EmbeddedSendTime(a).value_or(0), 1234567890123);
    EXPECT_EQ(kl::peer::EmbeddedSendTime(b).value_or(0), 42);
    EXPECT_FALSE(kl::peer::EmbeddedSendTime(kl::peer::EncodePattern(8, 8, 0, 50)).has_value());
}

TEST(PeerFrames, PaddingReachesTheRequestedSizeInValidSegments) {
    auto source = kl::peer::FrameSource::TestPattern(64, 64, 1);
    for (std::size_t target : {std::size_t{0}, std::size_t{1000}, std::size_t{65600}, std::size_t{300000}, std::size_t{2000001}}) {
        const std::string frame = source.Next(7, target);
        EXPECT_GE(frame.size(), target);
        EXPECT_LE(frame.size(), std::max<std::size_t>(target + 8, 2000)) << "no more than one segment header over";
        kl::JpegFrameInfo info;
        EXPECT_TRUE(Valid(frame, info)) << target;
        EXPECT_EQ(kl::peer::EmbeddedSendTime(frame).value_or(0), 7);
    }
}
