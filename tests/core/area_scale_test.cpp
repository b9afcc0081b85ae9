#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <vector>

#include "screen/area_scale.hpp"

namespace {

// The plain definition: each target pixel is the mean of the source area it covers, in doubles.
std::vector<double> ReferenceArea(const std::vector<std::uint8_t>& source, int stride, int bytes,
                                  int sw, int sh, int w, int h) {
    std::vector<double> out(static_cast<std::size_t>(w) * h * 3);
    const double sx = static_cast<double>(sw) / w, sy = static_cast<double>(sh) / h;
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) {
                double sum = 0;
                for (int j = static_cast<int>(y * sy); j < sh && j < (y + 1) * sy; ++j) {
                    const double cy = std::min((y + 1) * sy, j + 1.0) - std::max(y * sy, 1.0 * j);
                    for (int i = static_cast<int>(x * sx); i < sw && i < (x + 1) * sx; ++i) {
                        const double cx =
                            std::min((x + 1) * sx, i + 1.0) - std::max(x * sx, 1.0 * i);
                        sum +=
                            cx * cy * source[static_cast<std::size_t>(j) * stride + i * bytes + c];
                    }
                }
                out[(static_cast<std::size_t>(y) * w + x) * 3 + c] = sum / (sx * sy);
            }
    return out;
}

}  // namespace

TEST(AreaScale, MatchesThePlainAreaMeanRoundedDownUpAndAtOddSizes) {
    // One scaler through every case, so a change of size or pixel width also renews its weights.
    kl::AreaScaler scaler;
    std::mt19937 random(15);
    const int sizes[][4] = {{1920, 1080, 1124, 632},
                            {64, 48, 37, 29},
                            {37, 29, 64, 48},
                            {7, 5, 3, 2},
                            {3, 2, 7, 5},
                            {5, 5, 5, 5},
                            {1, 1, 4, 3},
                            {33, 17, 1, 1},
                            {250, 3, 17, 9},
                            {17, 1, 16, 1}};
    for (const int bytes : {4, 3}) {
        for (const auto& s : sizes) {
            SCOPED_TRACE(testing::Message() << bytes << " bytes, " << s[0] << "x" << s[1] << " to "
                                            << s[2] << "x" << s[3]);
            const int stride = (s[0] * bytes + 3) / 4 * 4 + 8;  // padded rows, as bitmaps have
            std::vector<std::uint8_t> source(static_cast<std::size_t>(stride) * s[1]);
            for (auto& v : source) v = static_cast<std::uint8_t>(random());
            if (s[0] == 1920)  // hard edges, the screen's usual content, in place of noise
                for (std::size_t i = 0; i < source.size(); ++i) source[i] = (i / 7) % 3 ? 255 : 0;
            std::vector<std::uint32_t> target(static_cast<std::size_t>(s[2]) * s[3], 0xDEADBEEFu);
            scaler.Scale(source.data(), stride, bytes, s[0], s[1], target.data(), s[2], s[3]);
            const std::vector<double> expected =
                ReferenceArea(source, stride, bytes, s[0], s[1], s[2], s[3]);
            // Rounding alone is off by up to a half; 8-bit row weights were off by up to 2.4.
            double worst = 0;
            int unusedSet = 0;
            for (std::size_t p = 0; p < target.size(); ++p) {
                unusedSet += (target[p] >> 24) != 0;
                for (int c = 0; c < 3; ++c) {
                    const int got = (target[p] >> (8 * c)) & 0xFF;
                    worst = std::max(worst, std::fabs(got - expected[p * 3 + c]));
                }
            }
            EXPECT_LE(worst, 0.75);
            EXPECT_EQ(unusedSet, 0);
        }
    }
}

TEST(AreaScale, UniformStaysExactAndBadSizesLeaveTheTargetAlone) {
    std::vector<std::uint8_t> white(64 * 3 * 48, 0xFF);
    std::vector<std::uint32_t> target(37 * 29, 0);
    kl::AreaScaler scaler;
    scaler.Scale(white.data(), 64 * 3, 3, 64, 48, target.data(), 37, 29);
    EXPECT_EQ(std::count(target.begin(), target.end(), 0x00FFFFFFu),
              static_cast<std::ptrdiff_t>(target.size()));
    std::fill(target.begin(), target.end(), 7u);
    scaler.Scale(white.data(), 64 * 3, 2, 64, 48, target.data(), 37, 29);
    scaler.Scale(white.data(), 64 * 3, 3, 0, 48, target.data(), 37, 29);
    scaler.Scale(white.data(), 64 * 3, 3, 64, 48, target.data(), 37, 0);
    EXPECT_EQ(std::count(target.begin(), target.end(), 7u),
              static_cast<std::ptrdiff_t>(target.size()));
}
