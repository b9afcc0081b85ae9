#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "screen/jpeg_check.hpp"

namespace {

using Bytes = std::vector<std::uint8_t>;

void Add(Bytes& b, std::initializer_list<int> values) {
    for (int v : values) b.push_back(static_cast<std::uint8_t>(v));
}

// Coded data of one bit for each of `blocks` 8x8 blocks (the least an encoder writes).
void AddData(Bytes& b, std::size_t blocks) {
    b.insert(b.end(), (blocks + 7) / 8, 0x55);
}

// SOI, an APP0 segment, a frame header, one scan of all components (a DC scan when
// progressive) with the least coded data its blocks need, and EOI.
Bytes Jpeg(int sof = 0xC0, int precision = 8, int height = 1080, int width = 1920,
           int components = 3) {
    Bytes b;
    Add(b, {0xFF, 0xD8, 0xFF, 0xE0, 0x00, 0x06, 'J', 'F', 'I', 'F'});
    const int length = 8 + 3 * components;
    Add(b, {0xFF, sof, length >> 8, length & 0xFF, precision, height >> 8, height & 0xFF,
            width >> 8, width & 0xFF, components});
    for (int c = 0; c < components; ++c) Add(b, {c + 1, 0x11, 0});
    Add(b, {0xFF, 0xDA, 0x00, 6 + 2 * components, components});
    for (int c = 0; c < components; ++c) Add(b, {c + 1, 0x00});
    Add(b, {0x00, sof == 0xC2 ? 0x00 : 0x3F, 0x00});
    AddData(b, static_cast<std::size_t>(components) * ((width + 7) / 8) * ((height + 7) / 8));
    Add(b, {0xFF, 0xD9});
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
    for (std::size_t cut = 0; cut < good.size() - 2; ++cut)  // cut before its data is complete
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
    shortScan[32] = 0x05;  // scan header length 5
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

struct Scan {
    std::vector<int> components;
    int ss, se, ah, al;
};

// A 64x64 frame of the given coding and sampling (one byte per component: H << 4 | V) with the
// given scans, each followed by a little coded data (the first by enough for every block of a
// 64x64 frame), and
// `tables` DHT segments before the first scan.
Bytes Frame(int sof, const std::vector<Scan>& scans, std::vector<int> sampling = {0x11, 0x11, 0x11},
            int tables = 1, int height = 64, int width = 64) {
    Bytes b = {0xFF, 0xD8};
    const int count = static_cast<int>(sampling.size()), length = 8 + 3 * count;
    Add(b, {0xFF, sof, 0, length, 8, height >> 8, height & 0xFF, width >> 8, width & 0xFF, count});
    for (int c = 0; c < count; ++c) Add(b, {c + 1, sampling[c], 0});
    for (int t = 0; t < tables; ++t) Add(b, {0xFF, 0xC4, 0x00, 0x03, 0x00});
    for (std::size_t i = 0; i < scans.size(); ++i) {
        const Scan& s = scans[i];
        const int n = static_cast<int>(s.components.size());
        Add(b, {0xFF, 0xDA, 0, 6 + 2 * n, n});
        for (int id : s.components) Add(b, {id, 0x00});
        Add(b, {s.ss, s.se, s.ah << 4 | s.al});
        AddData(b, i == 0 ? 1024 : 8);
    }
    Add(b, {0xFF, 0xD9});
    return b;
}

// libjpeg's progression for a colour picture: DC of all, AC bands in two passes, refinements.
std::vector<Scan> Progression() {
    return {{{1, 2, 3}, 0, 0, 0, 1}, {{1}, 1, 5, 0, 2},  {{3}, 1, 63, 0, 1},
            {{2}, 1, 63, 0, 1},      {{1}, 6, 63, 0, 2}, {{1}, 1, 63, 2, 1},
            {{1, 2, 3}, 0, 0, 1, 0}, {{3}, 1, 63, 1, 0}, {{2}, 1, 63, 1, 0},
            {{1}, 1, 63, 1, 0}};
}

}  // namespace

TEST(JpegCheck, RefusesFramesThatMultiplyTheDecodersWork) {
    kl::JpegFrameInfo info;
    ASSERT_TRUE(Check(Frame(0xC2, Progression()), &info));
    EXPECT_EQ(info.scans, 10);
    EXPECT_TRUE(Check(Frame(0xC0, {{{1, 2, 3}, 0, 63, 0, 0}}, {0x22, 0x11, 0x11})));
    EXPECT_TRUE(Check(Frame(0xC0, {{{1}, 0, 63, 0, 0}, {{2, 3}, 0, 63, 0, 0}}, {0x41, 0x11, 0x11})))
        << "4:1:1, two scans";

    // The same band again at the same precision: every copy is another pass over the picture.
    std::vector<Scan> repeated = Progression();
    for (int i = 0; i < 3; ++i) repeated.push_back(repeated.back());
    EXPECT_FALSE(Check(Frame(0xC2, repeated))) << "repeated last scan";
    EXPECT_FALSE(Check(Frame(0xC2, {{{1, 2, 3}, 0, 0, 0, 0}, {{1, 2, 3}, 0, 0, 0, 0}})))
        << "DC coded twice";
    EXPECT_FALSE(Check(Frame(0xC2, {{{1, 2, 3}, 0, 0, 0, 1}, {{1, 2, 3}, 0, 0, 2, 1}})))
        << "a refinement of a bit never coded";
    EXPECT_FALSE(Check(Frame(0xC2, {{{1, 2, 3}, 0, 0, 0, 2}, {{1, 2, 3}, 0, 0, 2, 0}})))
        << "a refinement of two bits at once";
    EXPECT_FALSE(Check(Frame(0xC0, {{{1, 2, 3}, 0, 63, 0, 0}, {{2}, 0, 63, 0, 0}})))
        << "sequential: a component coded twice";
    EXPECT_FALSE(Check(Frame(0xC2, {{{1}, 1, 63, 0, 0}}, {0x11}))) << "AC before DC";
    EXPECT_FALSE(Check(Frame(0xC2, {{{1, 2, 3}, 0, 0, 0, 0}, {{1, 2}, 1, 63, 0, 0}})))
        << "an interleaved AC scan";
    EXPECT_FALSE(Check(Frame(0xC0, {{{1, 4}, 0, 63, 0, 0}}))) << "a component not in the frame";

    // More scans than any encoder writes, each one legal: one coefficient at a time.
    std::vector<Scan> many = {{{1}, 0, 0, 0, 0}};
    for (int k = 1; k <= 31; ++k) many.push_back({{1}, k, k, 0, 0});
    EXPECT_TRUE(Check(Frame(0xC2, many, {0x11}))) << "32 scans";
    many.push_back({{1}, 32, 32, 0, 0});
    EXPECT_FALSE(Check(Frame(0xC2, many, {0x11}))) << "33 scans";

    EXPECT_TRUE(Check(Frame(0xC0, {{{1, 2, 3}, 0, 63, 0, 0}}, {0x11, 0x11, 0x11}, 64)));
    EXPECT_FALSE(Check(Frame(0xC0, {{{1, 2, 3}, 0, 63, 0, 0}}, {0x11, 0x11, 0x11}, 65)))
        << "a flood of table segments";

    // Sampling that encoders do not write, or more blocks a unit than the standard allows.
    EXPECT_FALSE(Check(Frame(0xC0, {{{1, 2, 3}, 0, 63, 0, 0}}, {0x31, 0x11, 0x11})));
    EXPECT_FALSE(Check(Frame(0xC0, {{{1, 2, 3}, 0, 63, 0, 0}}, {0x18, 0x11, 0x11})));
    EXPECT_FALSE(Check(Frame(0xC0, {{{1, 2, 3}, 0, 63, 0, 0}}, {0x22, 0x22, 0x22})));

    // A picture of half a million blocks declared in a few kilobytes: the decoder would fill in
    // what the file lacks.
    Bytes large = Jpeg(0xC0, 8, 4320, 7680, 1);
    ASSERT_TRUE(Check(large));
    large.erase(large.end() - 2 - 4000, large.end() - 2);
    EXPECT_FALSE(Check(large)) << "fewer coded bits than blocks";
    EXPECT_FALSE(Check(Frame(0xC0, {{{1}, 0, 63, 0, 0}}, {0x11}, 1, 4320, 7680)));
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
    both({0xFF, 0xDB, 0x00, 0x05, 0x00, 0xFF, 0xE2});        // a table may hold FF bytes
    both({0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 0, 0x00, 0x00});  // DC
    both({0x12, 0xFF, 0x00, 0x34, 0xFF, 0xD0,
          0x56});                                 // stuffed byte and a restart marker in the data
    Add(in, {0xFF, 0xFE, 0x00, 0x04, 'h', 'i'});  // a comment between scans
    Add(in, {0xFF, 0xEF, 0x00, 0x02});            // an empty APP15
    both({0xFF, 0xC4, 0x00, 0x03, 0x00});
    both({0xFF, 0xDA, 0x00, 0x08, 1, 1, 0, 1, 0x3F, 0x00, 0x78, 0xFF, 0xD9});  // AC
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
