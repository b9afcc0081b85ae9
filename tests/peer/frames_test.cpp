#include <gtest/gtest.h>

#include <cstdlib>

#include "peer/frames.hpp"
#include "screen/jpeg_check.hpp"

namespace {
bool Valid(const std::string& frame, kl::JpegFrameInfo& info) {
    return kl::CheckJpegStructure(reinterpret_cast<const std::uint8_t*>(frame.data()), frame.size(),
                                  info);
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
    for (std::size_t target : {std::size_t{0}, std::size_t{1000}, std::size_t{65600},
                               std::size_t{300000}, std::size_t{2000001}}) {
        const std::string frame = source.Next(7, target);
        EXPECT_GE(frame.size(), target);
        EXPECT_LE(frame.size(), std::max<std::size_t>(target + 8, 2000))
            << "no more than one segment header over";
        kl::JpegFrameInfo info;
        EXPECT_TRUE(Valid(frame, info)) << target;
        EXPECT_EQ(kl::peer::EmbeddedSendTime(frame).value_or(0), 7);
    }
}

TEST(PeerFrames, ColourProbeReadsThePictureAndRefusesDamagedFiles) {
    const std::string jpeg = kl::peer::EncodePattern(320, 200, 0, 90);
    auto near = [](std::uint32_t colour, int r, int g, int b) {
        return std::abs(static_cast<int>(colour >> 16) - r) < 40 &&
               std::abs(static_cast<int>((colour >> 8) & 0xFF) - g) < 40 &&
               std::abs(static_cast<int>(colour & 0xFF) - b) < 40;
    };
    const auto bar = kl::peer::ColourAt(jpeg, 12, 100);
    ASSERT_TRUE(bar.has_value());
    EXPECT_TRUE(near(*bar, 255, 255, 255)) << std::hex << *bar;
    const auto corner = kl::peer::ColourAt(jpeg, 304, 16);
    ASSERT_TRUE(corner.has_value());
    EXPECT_TRUE(near(*corner, 243, 20, 160)) << std::hex << *corner;
    EXPECT_FALSE(kl::peer::ColourAt(jpeg, 320, 10).has_value()) << "outside the picture";
    EXPECT_FALSE(kl::peer::ColourAt("not a jpeg at all", 0, 0).has_value())
        << "an error returns, it does not end the process";

    // A progressive file whose last scan comes again and again: each copy is one more pass of
    // the decoder over the whole picture, for a few bytes.
    std::string progressive = kl::peer::EncodePattern(320, 200, 0, 90, true);
    ASSERT_TRUE(kl::peer::ColourAt(progressive, 12, 100).has_value());
    const std::size_t last = progressive.rfind("\xFF\xDA");
    const std::string scan = progressive.substr(last, progressive.size() - 2 - last);
    for (int i = 0; i < 200; ++i) progressive.insert(progressive.size() - 2, scan);
    EXPECT_FALSE(kl::peer::ColourAt(progressive, 12, 100).has_value()) << "repeated scans";
}
