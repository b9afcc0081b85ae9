#include "screen/area_scale.hpp"

#include <algorithm>
#include <cmath>
#include <cstddef>

#if defined(__SSE2__) || defined(_M_X64)
#include <emmintrin.h>
#define KL_AREA_SCALE_SSE2 1
#endif

namespace kl {
namespace {

// For each target column (or row): the first source index it covers and its weights, in
// 1/unity-ths that add up to exactly `unity`.
struct Taps {
    std::vector<int> first, count;
    std::vector<std::uint32_t> weights;  // count[i] weights for target i, in order
};

Taps AreaTaps(int source, int target, std::uint32_t unity) {
    Taps taps;
    taps.first.resize(target);
    taps.count.resize(target);
    const double step = static_cast<double>(source) / target;
    for (int i = 0; i < target; ++i) {
        const double from = i * step, to = std::min((i + 1) * step, static_cast<double>(source));
        const int first = std::min(static_cast<int>(from), source - 1);
        const int last = std::max(first, std::min(static_cast<int>(std::ceil(to)) - 1, source - 1));
        taps.first[i] = first;
        taps.count[i] = last - first + 1;
        std::uint32_t total = 0, largest = 0;
        std::size_t largestAt = taps.weights.size();
        for (int s = first; s <= last; ++s) {
            const double cover = std::min(to, s + 1.0) - std::max(from, static_cast<double>(s));
            const auto w = static_cast<std::uint32_t>(std::max(cover, 0.0) / (to - from) * unity);
            if (w >= largest) {
                largest = w;
                largestAt = taps.weights.size();
            }
            taps.weights.push_back(w);
            total += w;
        }
        taps.weights[largestAt] += unity - total;  // rounding left over goes to the widest share
    }
    return taps;
}

// Source rows of one target row summed with their weights into `row` (channel x 128, rounded):
// each term is (channel x 256 x weight) >> 16, so with weights adding up to at most 65536 no
// partial sum leaves 16 bits, and halved it fits the signed 16 bits of the pass across.
void SumRows(const std::uint8_t* first, std::ptrdiff_t stride, int count,
             const std::uint16_t* weights, int length, std::uint16_t* row) {
    int i = 0;
#ifdef KL_AREA_SCALE_SSE2
    const __m128i zero = _mm_setzero_si128();
    for (; i + 16 <= length; i += 16) {
        __m128i low = zero, high = zero;
        const std::uint8_t* in = first + i;
        for (int k = 0; k < count; ++k, in += stride) {
            const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
            const __m128i weight = _mm_set1_epi16(static_cast<short>(weights[k]));
            low = _mm_add_epi16(low, _mm_mulhi_epu16(_mm_unpacklo_epi8(zero, bytes), weight));
            high = _mm_add_epi16(high, _mm_mulhi_epu16(_mm_unpackhi_epi8(zero, bytes), weight));
        }
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i), _mm_avg_epu16(low, zero));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(row + i + 8), _mm_avg_epu16(high, zero));
    }
#endif
    for (; i < length; ++i) {
        std::uint32_t sum = 0;
        const std::uint8_t* in = first + i;
        for (int k = 0; k < count; ++k, in += stride)
            sum = (sum + ((static_cast<std::uint32_t>(*in) << 8) * weights[k] >> 16)) & 0xFFFF;
        row[i] = static_cast<std::uint16_t>((sum + 1) >> 1);
    }
}

// One row across: each target pixel from its pairs of summed source pixels. Values of `row` stay
// below 32768 and weights add up to 16384, so every sum fits a signed 32-bit lane and the
// channel is (sum + 2^20) >> 21.
template <int Bytes>
void SumAcross(const std::uint16_t* row, const int* firsts, const int* pairs,
               const std::int16_t* weights, int width, std::uint32_t* out) {
    int x = 0;
#ifdef KL_AREA_SCALE_SSE2
    const __m128i half = _mm_set1_epi32(1 << 20), mask = _mm_set1_epi32(0x00FFFFFF);
    const auto pixel = [&](int at) {
        __m128i sum = half;
        const std::uint16_t* in = row + static_cast<std::ptrdiff_t>(firsts[at]) * Bytes;
        for (int j = 0; j < pairs[at]; ++j, in += 2 * Bytes, weights += 8) {
            // Two neighbours' channels side by side: b0 b1 g0 g1 r0 r1 x x.
            const __m128i both = _mm_loadu_si128(reinterpret_cast<const __m128i*>(in));
            const __m128i paired = _mm_unpacklo_epi16(both, _mm_srli_si128(both, 2 * Bytes));
            sum = _mm_add_epi32(
                sum,
                _mm_madd_epi16(paired, _mm_loadu_si128(reinterpret_cast<const __m128i*>(weights))));
        }
        return _mm_srai_epi32(sum, 21);
    };
    for (; x + 4 <= width; x += 4) {
        const __m128i a = pixel(x), b = pixel(x + 1), c = pixel(x + 2), d = pixel(x + 3);
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(a, b), _mm_packs_epi32(c, d));
        _mm_storeu_si128(reinterpret_cast<__m128i*>(out + x), _mm_and_si128(bytes, mask));
    }
    for (; x < width; ++x) {
        const __m128i a = pixel(x);
        const __m128i bytes = _mm_packus_epi16(_mm_packs_epi32(a, a), a);
        out[x] = static_cast<std::uint32_t>(_mm_cvtsi128_si32(bytes)) & 0x00FFFFFFu;
    }
#else
    for (; x < width; ++x) {
        std::int32_t sum[3] = {1 << 20, 1 << 20, 1 << 20};
        const std::uint16_t* in = row + static_cast<std::ptrdiff_t>(firsts[x]) * Bytes;
        for (int j = 0; j < pairs[x]; ++j, in += 2 * Bytes, weights += 8)
            for (int c = 0; c < 3; ++c) sum[c] += in[c] * weights[0] + in[Bytes + c] * weights[1];
        std::uint32_t value = 0;
        for (int c = 0; c < 3; ++c)
            value |= static_cast<std::uint32_t>(std::min(sum[c] >> 21, 255)) << (8 * c);
        out[x] = value;
    }
#endif
}

}  // namespace

void AreaScaler::Prepare(int sourceWidth, int sourceHeight, int width, int height,
                         int bytesPerPixel) {
    if (sourceWidth == sourceWidth_ && sourceHeight == sourceHeight_ && width == width_ &&
        height == height_ && bytesPerPixel == bytesPerPixel_)
        return;
    sourceWidth_ = sourceHeight_ = width_ = height_ = bytesPerPixel_ = 0;  // until complete
    const Taps across = AreaTaps(sourceWidth, width, 16384);
    acrossFirst_ = across.first;
    acrossPairs_.resize(width);
    acrossWeights_.clear();
    const std::uint32_t* w = across.weights.data();
    for (int x = 0; x < width; ++x) {
        const int count = across.count[x];
        acrossPairs_[x] = (count + 1) / 2;
        for (int k = 0; k < count; k += 2) {
            const auto a = static_cast<std::int16_t>(w[k]),
                       b = static_cast<std::int16_t>(k + 1 < count ? w[k + 1] : 0);
            for (int c = 0; c < 4; ++c) {
                acrossWeights_.push_back(a);
                acrossWeights_.push_back(b);
            }
        }
        w += count;
    }
    const Taps down = AreaTaps(sourceHeight, height, 65536);
    downFirst_ = down.first;
    downCount_ = down.count;
    downWeights_.resize(down.weights.size());
    for (std::size_t i = 0; i < down.weights.size(); ++i)  // a whole row alone: 1/65536 short
        downWeights_[i] =
            static_cast<std::uint16_t>(std::min<std::uint32_t>(down.weights[i], 65535));
    // Room for the pass across reading a pair's 8 values from its last pixel.
    row_.assign(static_cast<std::size_t>(sourceWidth) * bytesPerPixel + 8, 0);
    sourceWidth_ = sourceWidth;
    sourceHeight_ = sourceHeight;
    width_ = width;
    height_ = height;
    bytesPerPixel_ = bytesPerPixel;
}

void AreaScaler::Scale(const std::uint8_t* source, int sourceStride, int bytesPerPixel,
                       int sourceWidth, int sourceHeight, std::uint32_t* target, int width,
                       int height) {
    if (source == nullptr || target == nullptr || sourceWidth < 1 || sourceHeight < 1 ||
        width < 1 || height < 1 || (bytesPerPixel != 3 && bytesPerPixel != 4))
        return;
    Prepare(sourceWidth, sourceHeight, width, height, bytesPerPixel);
    const int length = sourceWidth * bytesPerPixel;
    const std::uint16_t* down = downWeights_.data();
    for (int y = 0; y < height; ++y) {
        SumRows(source + static_cast<std::ptrdiff_t>(downFirst_[y]) * sourceStride, sourceStride,
                downCount_[y], down, length, row_.data());
        down += downCount_[y];
        std::uint32_t* out = target + static_cast<std::size_t>(y) * width;
        if (bytesPerPixel == 4)
            SumAcross<4>(row_.data(), acrossFirst_.data(), acrossPairs_.data(),
                         acrossWeights_.data(), width, out);
        else
            SumAcross<3>(row_.data(), acrossFirst_.data(), acrossPairs_.data(),
                         acrossWeights_.data(), width, out);
    }
}

void ScalePixels(const std::uint8_t* source, int sourceStride, int sourceWidth, int sourceHeight,
                 std::uint32_t* target, int width, int height) {
    AreaScaler().Scale(source, sourceStride, 4, sourceWidth, sourceHeight, target, width, height);
}

}  // namespace kl
