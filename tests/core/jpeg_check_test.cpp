#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "screen/jpeg_check.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Add(Bytes& b, std::initializer_list<int> values) {
    for (int v : values) b.push_back(static_cast<std::uint8_t>(v));
}

// SOI, an APP0 segment, a frame header, a scan header and a little entropy data.
Bytes Jpeg(int sof = 0xC0, int precision = 8, int height = 1080, int width = 1920,
           int components = 3) {
    Bytes b;
    Add(b, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x06, 'J', 'F', 'I', 'F'});
    const int length = 8 + 3 * components;
    Add(b, {0xFF, sof, length >> 8, length & 0xFF, precision, height >> 8, height & 0xFF,
            width >> 8, width & 0xFF, components});
    for (int c = 0; c < components; ++c) Add(b, {c + 1, 0x11, 0});
    Add(b, {0xFF, 0xDA, 0x00, 0x08, 0x01, 0x01, 0x00, 0x00, 0x3F, 0x00, 0x12, 0x34, 0xFF, 0xD9});
    return b;
}

bool Check(const Bytes& b, kl::JpegFrameInfo* out = nullptr) {
    kl::JpegFrameInfo info;
    const bool ok = kl::CheckJpegStructure(b.data(), b.size(), info);
    if (out) *out = info;
    return ok;
}

}  // namespace

TEST(JpegCheck, AcceptsBaselineExtendedAndProgressiveHuffmanFrames) {
    kl::JpegFrameInfo info;
    ASSERT_TRUE(Check(Jpeg(0xC0), &info));
    EXPECT_EQ(info.width, 1920);
    EXPECT_EQ(info.height, 1080);
    EXPECT_TRUE(Check(Jpeg(0xC1)));
    EXPECT_TRUE(Check(Jpeg(0xC2)));
    EXPECT_TRUE(Check(Jpeg(0xC0, 8, 4320, 7680, 1)));
    EXPECT_TRUE(Check(Jpeg(0xC0, 8, 1, 1, 4)));
}

TEST(JpegCheck, RefusesOtherCodingsPrecisionsSizesAndComponentCounts) {
    EXPECT_FALSE(Check(Jpeg(0xC3))) << "lossless";
    EXPECT_FALSE(Check(Jpeg(0xC9))) << "arithmetic";
    EXPECT_FALSE(Check(Jpeg(0xC0, 12)));
    EXPECT_FALSE(Check(Jpeg(0xC0, 8, 10, 7681)));
    EXPECT_FALSE(Check(Jpeg(0xC0, 8, 4321, 10)));
    EXPECT_FALSE(Check(Jpeg(0xC0, 8, 0, 10)));
    EXPECT_FALSE(Check(Jpeg(0xC0, 8, 10, 0)));
    EXPECT_FALSE(Check(Jpeg(0xC0, 8, 10, 10, 2)));
}

TEST(JpegCheck, RefusesBrokenStructure) {
    const Bytes good = Jpeg();
    for (std::size_t cut = 0; cut < 39; ++cut)  // 39: the scan header is complete
        EXPECT_FALSE(Check(Bytes(good.begin(), good.begin() + cut))) << "truncated at " << cut;
    Bytes png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A};
    EXPECT_FALSE(Check(png));
    Bytes twoFrames = good;
    twoFrames.insert(twoFrames.begin() + 10, good.begin() + 10, good.begin() + 29);
    EXPECT_FALSE(Check(twoFrames)) << "a second frame header";
    Bytes eoiFirst = {0xFF, 0xD8, 0xFF, 0xD9, 0x00, 0x00};
    EXPECT_FALSE(Check(eoiFirst));
    Bytes badLength = good;
    badLength[5] = 0x01;  // APP0 length 1
    EXPECT_FALSE(Check(badLength));
    Bytes noFrame = {0xFF, 0xD8, 0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 0x3F, 0, 0, 0};
    EXPECT_FALSE(Check(noFrame)) << "a scan without a frame header";
    Bytes shortScan = Jpeg();
    shortScan[31] = 0x05;  // scan header length 5
    EXPECT_FALSE(Check(shortScan));
    kl::JpegFrameInfo info;
    EXPECT_FALSE(kl::CheckJpegStructure(nullptr, 100, info)) << "null data";
}

TEST(JpegCheck, SkipsFillBytesAndStandaloneMarkers) {
    Bytes b = Jpeg();
    b.insert(b.begin() + 2, {0xFF, 0xFF, 0xFF, 0xD0, 0xFF, 0x01});
    EXPECT_TRUE(Check(b));
    Bytes fillToEnd = {0xFF, 0xD8, 0xFF, 0xFF, 0xFF, 0xFF};
    EXPECT_FALSE(Check(fillToEnd));
}

namespace {

// The bytes the decoder would be given, or "refused".
std::string Stripped(const Bytes& b) {
    std::vector<kl::ByteRange> ranges{{1, 1}};
    if (!kl::JpegRangesWithoutMetadata(b.data(), b.size(), ranges))
        return ranges.empty() ? "refused" : "dirty";
    std::string out;
    for (const kl::ByteRange& r : ranges)
        out.append(b.begin() + r.offset, b.begin() + r.offset + r.length);
    return out;
}

}  // namespace

TEST(JpegMetadata, ApplicationAndCommentSegmentsNeverReachTheDecoder) {
    Bytes in, kept;
    auto both = [&](std::initializer_list<int> v) { Add(in, v), Add(kept, v); };
    both({0xFF, 0xD8});
    Add(in, {0xFF, 0xE0, 0x00, 0x06, 'J', 'F', 'I', 'F'});
    Add(in, {0xFF, 0xFF, 0xFF, 0xE1, 0x00, 0x05, 0xFF, 0xD9,
             0xFF});  // fill bytes, then APP1 holding markers
    both({0xFF, 0xC2, 0x00, 0x0B, 8, 0x00, 0x10, 0x00, 0x20, 1, 1, 0x11, 0});
    both({0xFF, 0xDB, 0x00, 0x05, 0x00, 0xFF, 0xE2});  // a table may hold FF bytes
    both({0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 0x3F, 0x00});
    both({0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0,
          0x56});                                 // stuffed byte and a restart marker in the data
    Add(in, {0xFF, 0xFE, 0x00, 0x04, 'h', 'i'});  // a comment between scans
    Add(in, {0xFF, 0xEF, 0x00, 0x02});            // an empty APP15
    both({0xFF, 0xC4, 0x00, 0x03, 0x00});
    both({0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 0x3F, 0x00, 0x78, 0xFF, 0xD9});
    Add(in, {0xFF, 0xE1, 0x00, 0x02, 0x00});  // after the end of image
    ASSERT_TRUE(Check(in));
    const std::string got = Stripped(in);
    ASSERT_EQ(got, std::string(kept.begin(), kept.end()));
    kl::JpegFrameInfo info;
    ASSERT_TRUE(Check(Bytes(got.begin(), got.end()), &info))
        << "what the decoder gets passes the check too";
    EXPECT_EQ(info.width, 32);
    EXPECT_EQ(info.height, 16);

    const Bytes plain = Jpeg();  // its APP0 goes, the rest stays whole
    EXPECT_EQ(Stripped(plain), std::string(plain.begin() + 10, plain.end()).insert(0, "\xFF\xD8"));
    Bytes noEnd(plain.begin(), plain.end() - 2);  // cut inside the data: the decoder's to judge
    EXPECT_EQ(Stripped(noEnd), std::string(noEnd.begin() + 10, noEnd.end()).insert(0, "\xFF\xD8"));
    noEnd.push_back(0xFF);
    EXPECT_EQ(Stripped(noEnd), std::string(noEnd.begin() + 10, noEnd.end()).insert(0, "\xFF\xD8"));
}

TEST(JpegMetadata, SegmentsThatCannotBeWalkedRefuseTheFrame) {
    Bytes overrun = Jpeg();
    Add(overrun, {0xFF, 0xE1, 0x00, 0x09, 1, 2});  // after the scan, longer than what is left
    overrun.erase(overrun.end() - 8, overrun.end() - 6);  // and without the end of image before it
    EXPECT_EQ(Stripped(overrun), "refused");
    Bytes noScan = Jpeg();
    noScan.resize(29);
    EXPECT_EQ(Stripped(noScan), "refused");
    Bytes secondStart = Jpeg();
    secondStart.insert(secondStart.end() - 2, {0xFF, 0xD8});
    EXPECT_EQ(Stripped(secondStart), "refused");
    EXPECT_EQ(Stripped({0x89, 'P', 'N', 'G'}), "refused");
    std::vector<kl::ByteRange> ranges;
    EXPECT_FALSE(kl::JpegRangesWithoutMetadata(nullptr, 100, ranges));
}
