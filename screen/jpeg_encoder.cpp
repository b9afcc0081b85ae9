#include "screen/jpeg_encoder.hpp"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>

namespace kl {
namespace {

// The example tables of the JPEG standard (ITU T.81, Annex K), in natural order.
constexpr std::uint8_t kLumaQuant[64] = {
    16, 11, 10, 16, 24,  40,  51,  61,  12, 12, 14, 19, 26,  58,  60,  55,
    14, 13, 16, 24, 40,  57,  69,  56,  14, 17, 22, 29, 51,  87,  80,  62,
    18, 22, 37, 56, 68,  109, 103, 77,  24, 35, 55, 64, 81,  104, 113, 92,
    49, 64, 78, 87, 103, 121, 120, 101, 72, 92, 95, 98, 112, 100, 103, 99};
constexpr std::uint8_t kChromaQuant[64] = {
    17, 18, 24, 47, 99, 99, 99, 99, 18, 21, 26, 66, 99, 99, 99, 99, 24, 26, 56, 99, 99, 99,
    99, 99, 47, 66, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99,
    99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99, 99};
// Natural index of the k-th coefficient in zig-zag order.
constexpr std::uint8_t kZigZag[64] = {
    0,  1,  8,  16, 9,  2,  3,  10, 17, 24, 32, 25, 18, 11, 4,  5,  12, 19, 26, 33, 40, 48,
    41, 34, 27, 20, 13, 6,  7,  14, 21, 28, 35, 42, 49, 56, 57, 50, 43, 36, 29, 22, 15, 23,
    30, 37, 44, 51, 58, 59, 52, 45, 38, 31, 39, 46, 53, 60, 61, 54, 47, 55, 62, 63};

constexpr std::uint8_t kDcLumaBits[16] = {0, 1, 5, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0, 0, 0};
constexpr std::uint8_t kDcChromaBits[16] = {0, 3, 1, 1, 1, 1, 1, 1, 1, 1, 1, 0, 0, 0, 0, 0};
constexpr std::uint8_t kDcValues[12] = {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
constexpr std::uint8_t kAcLumaBits[16] = {0, 2, 1, 3, 3, 2, 4, 3, 5, 5, 4, 4, 0, 0, 1, 0x7d};
constexpr std::uint8_t kAcLumaValues[162] = {
    0x01, 0x02, 0x03, 0x00, 0x04, 0x11, 0x05, 0x12, 0x21, 0x31, 0x41, 0x06, 0x13, 0x51, 0x61,
    0x07, 0x22, 0x71, 0x14, 0x32, 0x81, 0x91, 0xa1, 0x08, 0x23, 0x42, 0xb1, 0xc1, 0x15, 0x52,
    0xd1, 0xf0, 0x24, 0x33, 0x62, 0x72, 0x82, 0x09, 0x0a, 0x16, 0x17, 0x18, 0x19, 0x1a, 0x25,
    0x26, 0x27, 0x28, 0x29, 0x2a, 0x34, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44, 0x45,
    0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63, 0x64,
    0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a, 0x83,
    0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97, 0x98, 0x99,
    0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4, 0xb5, 0xb6,
    0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca, 0xd2, 0xd3,
    0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe1, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7, 0xe8,
    0xe9, 0xea, 0xf1, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};
constexpr std::uint8_t kAcChromaBits[16] = {0, 2, 1, 2, 4, 4, 3, 4, 7, 5, 4, 4, 0, 1, 2, 0x77};
constexpr std::uint8_t kAcChromaValues[162] = {
    0x00, 0x01, 0x02, 0x03, 0x11, 0x04, 0x05, 0x21, 0x31, 0x06, 0x12, 0x41, 0x51, 0x07, 0x61,
    0x71, 0x13, 0x22, 0x32, 0x81, 0x08, 0x14, 0x42, 0x91, 0xa1, 0xb1, 0xc1, 0x09, 0x23, 0x33,
    0x52, 0xf0, 0x15, 0x62, 0x72, 0xd1, 0x0a, 0x16, 0x24, 0x34, 0xe1, 0x25, 0xf1, 0x17, 0x18,
    0x19, 0x1a, 0x26, 0x27, 0x28, 0x29, 0x2a, 0x35, 0x36, 0x37, 0x38, 0x39, 0x3a, 0x43, 0x44,
    0x45, 0x46, 0x47, 0x48, 0x49, 0x4a, 0x53, 0x54, 0x55, 0x56, 0x57, 0x58, 0x59, 0x5a, 0x63,
    0x64, 0x65, 0x66, 0x67, 0x68, 0x69, 0x6a, 0x73, 0x74, 0x75, 0x76, 0x77, 0x78, 0x79, 0x7a,
    0x82, 0x83, 0x84, 0x85, 0x86, 0x87, 0x88, 0x89, 0x8a, 0x92, 0x93, 0x94, 0x95, 0x96, 0x97,
    0x98, 0x99, 0x9a, 0xa2, 0xa3, 0xa4, 0xa5, 0xa6, 0xa7, 0xa8, 0xa9, 0xaa, 0xb2, 0xb3, 0xb4,
    0xb5, 0xb6, 0xb7, 0xb8, 0xb9, 0xba, 0xc2, 0xc3, 0xc4, 0xc5, 0xc6, 0xc7, 0xc8, 0xc9, 0xca,
    0xd2, 0xd3, 0xd4, 0xd5, 0xd6, 0xd7, 0xd8, 0xd9, 0xda, 0xe2, 0xe3, 0xe4, 0xe5, 0xe6, 0xe7,
    0xe8, 0xe9, 0xea, 0xf2, 0xf3, 0xf4, 0xf5, 0xf6, 0xf7, 0xf8, 0xf9, 0xfa};

// libjpeg's scaling of a standard table to a quality, limited to baseline's 8-bit entries.
std::array<std::uint8_t, 64> ScaledTable(const std::uint8_t (&base)[64], int quality) {
    const int scale = quality < 50 ? 5000 / quality : 200 - quality * 2;
    std::array<std::uint8_t, 64> table{};
    for (int i = 0; i < 64; ++i) {
        const int v = (base[i] * scale + 50) / 100;
        table[i] = static_cast<std::uint8_t>(v < 1 ? 1 : (v > 255 ? 255 : v));
    }
    return table;
}

// Code lengths (count of codes of each length 1..16) and the symbols in code order: a DHT
// table's two lists.
struct HuffmanLists {
    std::uint8_t bits[16] = {};
    std::uint8_t values[256] = {};
    int count = 0;
};

HuffmanLists StandardLists(const std::uint8_t (&bits)[16], const std::uint8_t* values) {
    HuffmanLists spec;
    std::copy(bits, bits + 16, spec.bits);
    for (const std::uint8_t b : spec.bits) spec.count += b;
    std::copy(values, values + spec.count, spec.values);
    return spec;
}

// The shortest codes for these symbol counts, no code longer than 16 bits and none all ones
// (ITU T.81, Annex K.2 and K.3, as libjpeg builds its optimised tables); `fallback` when counts
// skewed beyond 32-bit code lengths leave no such table to derive.
HuffmanLists FittedLists(const std::uint32_t (&counts)[256], const HuffmanLists& fallback) {
    long frequency[257];
    int codeSize[257] = {}, others[257];
    for (int i = 0; i < 256; ++i) frequency[i] = counts[i];
    frequency[256] = 1;  // a reserved symbol keeps every real code from being all ones
    std::fill(others, others + 257, -1);
    for (;;) {
        int c1 = -1, c2 = -1;
        long v1 = 0, v2 = 0;
        for (int i = 0; i <= 256; ++i) {
            if (frequency[i] == 0) continue;
            if (c1 < 0 || frequency[i] <= v1) {
                c2 = c1, v2 = v1;
                c1 = i, v1 = frequency[i];
            } else if (c2 < 0 || frequency[i] <= v2) {
                c2 = i, v2 = frequency[i];
            }
        }
        if (c2 < 0) break;
        frequency[c1] += frequency[c2];
        frequency[c2] = 0;
        for (++codeSize[c1]; others[c1] >= 0; ++codeSize[c1]) c1 = others[c1];
        others[c1] = c2;
        for (++codeSize[c2]; others[c2] >= 0; ++codeSize[c2]) c2 = others[c2];
    }
    int lengths[33] = {};
    for (int i = 0; i <= 256; ++i) {
        if (codeSize[i] > 32) return fallback;
        if (codeSize[i] > 0) ++lengths[codeSize[i]];
    }
    for (int i = 32; i > 16; --i)
        while (lengths[i] > 0) {
            int j = i - 2;
            while (lengths[j] == 0) --j;
            lengths[i] -= 2;
            ++lengths[i - 1];
            lengths[j + 1] += 2;
            --lengths[j];
        }
    int longest = 16;
    while (lengths[longest] == 0) --longest;
    --lengths[longest];  // the reserved symbol's code
    HuffmanLists spec;
    for (int i = 1; i <= 16; ++i) spec.bits[i - 1] = static_cast<std::uint8_t>(lengths[i]);
    for (int size = 1; size <= 32; ++size)
        for (int i = 0; i < 256; ++i)
            if (codeSize[i] == size) spec.values[spec.count++] = static_cast<std::uint8_t>(i);
    return spec;
}

struct HuffmanTable {
    std::uint16_t code[256] = {};
    std::uint8_t size[256] = {};
    explicit HuffmanTable(const HuffmanLists& spec) {
        int k = 0;
        unsigned next = 0;
        for (int length = 1; length <= 16; ++length, next <<= 1)
            for (int i = 0; i < spec.bits[length - 1]; ++i, ++k, ++next) {
                code[spec.values[k]] = static_cast<std::uint16_t>(next);
                size[spec.values[k]] = static_cast<std::uint8_t>(length);
            }
    }
};

// Entropy-coded bytes into storage reserved ahead: a block never needs more than
// kMaxBlockBytes, so the writer checks room once a block, not once a byte.
class BitWriter {
  public:
    static constexpr std::size_t kMaxBlockBytes = 1024;
    explicit BitWriter(std::vector<std::uint8_t>& out) : out_(out), at_(out.size()) {}
    void Reserve() {
        if (out_.size() < at_ + kMaxBlockBytes)
            out_.resize(out_.size() + out_.size() / 2 + kMaxBlockBytes);
    }
    // `count` (at most 27) low bits of `bits`.
    void Put(std::uint32_t bits, int count) {
        buffer_ = (buffer_ << count) | (bits & ((1u << count) - 1));
        used_ += count;
        if (used_ >= 32) WholeBytes();
    }
    void Flush() {
        if (used_ % 8 != 0) Put(0x7F, 8 - used_ % 8);  // pad with ones
        WholeBytes();
        out_.resize(at_);
    }

  private:
    void WholeBytes() {
        for (; used_ >= 8; used_ -= 8) {
            const auto byte = static_cast<std::uint8_t>(buffer_ >> (used_ - 8));
            out_[at_++] = byte;
            if (byte == 0xFF) out_[at_++] = 0;  // a coded 0xFF is followed by a stuffed zero
        }
    }

    std::vector<std::uint8_t>& out_;
    std::size_t at_;
    std::uint64_t buffer_ = 0;
    int used_ = 0;
};

// The AAN forward DCT (rows, then columns); each output carries a factor of
// 8 * kAanScale[u] * kAanScale[v], removed together with the quantisation.
constexpr float kAanScale[8] = {1.0f, 1.387039845f, 1.306562965f, 1.175875602f,
                                1.0f, 0.785694958f, 0.541196100f, 0.275899379f};

void ForwardDct(float* d, int step, int next) {
    for (int line = 0; line < 8; ++line, d += next) {
        const float t0 = d[0] + d[7 * step], t7 = d[0] - d[7 * step];
        const float t1 = d[step] + d[6 * step], t6 = d[step] - d[6 * step];
        const float t2 = d[2 * step] + d[5 * step], t5 = d[2 * step] - d[5 * step];
        const float t3 = d[3 * step] + d[4 * step], t4 = d[3 * step] - d[4 * step];
        float t10 = t0 + t3, t13 = t0 - t3, t11 = t1 + t2, t12 = t1 - t2;
        d[0] = t10 + t11;
        d[4 * step] = t10 - t11;
        const float z1 = (t12 + t13) * 0.707106781f;
        d[2 * step] = t13 + z1;
        d[6 * step] = t13 - z1;
        t10 = t4 + t5;
        t11 = t5 + t6;
        t12 = t6 + t7;
        const float z5 = (t10 - t12) * 0.382683433f;
        const float z2 = 0.541196100f * t10 + z5, z4 = 1.306562965f * t12 + z5;
        const float z3 = t11 * 0.707106781f;
        const float z11 = t7 + z3, z13 = t7 - z3;
        d[5 * step] = z13 + z2;
        d[3 * step] = z13 - z2;
        d[step] = z11 + z4;
        d[7 * step] = z11 - z4;
    }
}

int BitLength(int v) {
    const unsigned a = static_cast<unsigned>(v < 0 ? -v : v);
    return a == 0 ? 0 : 32 - __builtin_clz(a);
}

// The bits after a size class: the value itself, or one less for a negative one, in `n` bits.
std::uint32_t ExtraBits(int v, int n) {
    return static_cast<std::uint32_t>(v < 0 ? v - 1 : v) & ((1u << n) - 1);
}

// A block transformed and quantised, its coefficients in zig-zag order.
void Quantise(float* block, const float (&divisor)[64], std::int16_t* out) {
    ForwardDct(block, 1, 8);
    ForwardDct(block, 8, 1);
    int natural[64];
    for (int n = 0; n < 64; ++n) {
        const float v = block[n] * divisor[n];
        natural[n] = static_cast<int>(v + (v < 0 ? -0.5f : 0.5f));
    }
    for (int k = 0; k < 64; ++k) out[k] = static_cast<std::int16_t>(natural[kZigZag[k]]);
}

// One block's symbols and extra bits, in coding order; `Emit` is called with the DC size
// class (class 0) or an AC run/size symbol (class 1), the extra bits and their count.
template <typename Emit>
void ForEachSymbol(const std::int16_t* q, int& previousDc, Emit&& emit) {
    const int diff = q[0] - previousDc;
    previousDc = q[0];
    int n = BitLength(diff);
    emit(0, n, ExtraBits(diff, n), n);
    std::uint64_t nonzero = 0;
    for (int k = 1; k < 64; ++k) nonzero |= static_cast<std::uint64_t>(q[k] != 0) << k;
    int last = 0;
    while (nonzero != 0) {
        const int k = __builtin_ctzll(nonzero);
        nonzero &= nonzero - 1;
        int run = k - last - 1;
        for (; run > 15; run -= 16) emit(1, 0xF0, 0u, 0);
        n = BitLength(q[k]);
        emit(1, run << 4 | n, ExtraBits(q[k], n), n);
        last = k;
    }
    if (last < 63) emit(1, 0x00, 0u, 0);
}

void Put16(std::vector<std::uint8_t>& out, int v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

void PutHuffman(std::vector<std::uint8_t>& out, int classAndId, const HuffmanLists& spec) {
    out.push_back(static_cast<std::uint8_t>(classAndId));
    out.insert(out.end(), spec.bits, spec.bits + 16);
    out.insert(out.end(), spec.values, spec.values + spec.count);
}

// Level-shifted Y, Cb and Cr of 16 rows at a time, edge pixels repeated out to whole blocks,
// chroma averaged over 2 x 2 pixels; then each band's blocks quantised, in coding order
// (four luma blocks, then Cb, then Cr, for each 16 x 16 pixels).
std::vector<std::int16_t> QuantiseAll(const std::uint8_t* pixels, int stride, int width, int height,
                                      const float (&lumaDivisor)[64],
                                      const float (&chromaDivisor)[64]) {
    const int mcuColumns = (width + 15) / 16, mcuRows = (height + 15) / 16;
    const int bandWidth = mcuColumns * 16;
    std::vector<std::int16_t> blocks(static_cast<std::size_t>(mcuColumns) * mcuRows * 6 * 64);
    std::vector<float> yBand(static_cast<std::size_t>(bandWidth) * 16);
    std::vector<float> cbBand(static_cast<std::size_t>(bandWidth / 2) * 8), crBand(cbBand.size());
    std::vector<float> cbRow(static_cast<std::size_t>(bandWidth)), crRow(cbRow.size());
    std::int16_t* out = blocks.data();
    float block[64];
    for (int top = 0; top < height; top += 16) {
        for (int r = 0; r < 16; ++r) {
            const int sy = top + r < height ? top + r : height - 1;
            const std::uint8_t* row = pixels + static_cast<std::ptrdiff_t>(sy) * stride;
            float* yRow = &yBand[static_cast<std::size_t>(r) * bandWidth];
            for (int x = 0; x < width; ++x) {
                const float b = row[3 * x], g = row[3 * x + 1], red = row[3 * x + 2];
                yRow[x] = 0.299f * red + 0.587f * g + 0.114f * b - 128.0f;
                cbRow[x] = -0.168736f * red - 0.331264f * g + 0.5f * b;
                crRow[x] = 0.5f * red - 0.418688f * g - 0.081312f * b;
            }
            for (int x = width; x < bandWidth; ++x) {
                yRow[x] = yRow[width - 1];
                cbRow[x] = cbRow[width - 1];
                crRow[x] = crRow[width - 1];
            }
            float* cbOut = &cbBand[static_cast<std::size_t>(r / 2) * (bandWidth / 2)];
            float* crOut = &crBand[static_cast<std::size_t>(r / 2) * (bandWidth / 2)];
            if (r % 2 == 0)
                for (int x = 0; x < bandWidth / 2; ++x) cbOut[x] = crOut[x] = 0;
            for (int x = 0; x < bandWidth / 2; ++x) {
                cbOut[x] += (cbRow[2 * x] + cbRow[2 * x + 1]) * 0.25f;
                crOut[x] += (crRow[2 * x] + crRow[2 * x + 1]) * 0.25f;
            }
        }
        for (int mcu = 0; mcu < mcuColumns; ++mcu) {
            for (int part = 0; part < 4; ++part) {
                const int x0 = mcu * 16 + (part % 2) * 8, y0 = (part / 2) * 8;
                for (int r = 0; r < 8; ++r)
                    std::copy_n(&yBand[static_cast<std::size_t>(y0 + r) * bandWidth + x0], 8,
                                block + r * 8);
                Quantise(block, lumaDivisor, out);
                out += 64;
            }
            for (const std::vector<float>* plane : {&cbBand, &crBand}) {
                for (int r = 0; r < 8; ++r)
                    std::copy_n(&(*plane)[static_cast<std::size_t>(r) * (bandWidth / 2) + mcu * 8],
                                8, block + r * 8);
                Quantise(block, chromaDivisor, out);
                out += 64;
            }
        }
    }
    return blocks;
}

}  // namespace

std::vector<std::uint8_t> EncodeBaselineJpeg(const std::uint8_t* pixels, int stride, int width,
                                             int height, int quality, JpegTables tables) {
    if (pixels == nullptr || width < 1 || height < 1 || width > 7680 || height > 4320 ||
        stride < width * 3)
        return {};
    quality = quality < 1 ? 1 : (quality > 100 ? 100 : quality);
    const auto luma = ScaledTable(kLumaQuant, quality), chroma = ScaledTable(kChromaQuant, quality);
    float lumaDivisor[64], chromaDivisor[64];
    for (int u = 0; u < 8; ++u)
        for (int v = 0; v < 8; ++v) {
            const float aan = kAanScale[u] * kAanScale[v] * 8.0f;
            lumaDivisor[u * 8 + v] = 1.0f / (luma[u * 8 + v] * aan);
            chromaDivisor[u * 8 + v] = 1.0f / (chroma[u * 8 + v] * aan);
        }
    const std::vector<std::int16_t> blocks =
        QuantiseAll(pixels, stride, width, height, lumaDivisor, chromaDivisor);
    const std::size_t blockCount = blocks.size() / 64;

    // [0] luma, [1] chroma; DC and AC.
    HuffmanLists dc[2] = {StandardLists(kDcLumaBits, kDcValues),
                          StandardLists(kDcChromaBits, kDcValues)};
    HuffmanLists ac[2] = {StandardLists(kAcLumaBits, kAcLumaValues),
                          StandardLists(kAcChromaBits, kAcChromaValues)};
    if (tables == JpegTables::Optimal) {
        // A first pass counts the symbols each table codes; the second codes them.
        std::uint32_t counts[2][2][256] = {};
        int previous[3] = {};
        for (std::size_t b = 0; b < blockCount; ++b) {
            const int component = b % 6 < 4 ? 0 : static_cast<int>(b % 6) - 3;
            auto& table = counts[component == 0 ? 0 : 1];
            ForEachSymbol(&blocks[b * 64], previous[component],
                          [&](int kind, int symbol, std::uint32_t, int) { ++table[kind][symbol]; });
        }
        for (int t = 0; t < 2; ++t) {
            dc[t] = FittedLists(counts[t][0], dc[t]);
            ac[t] = FittedLists(counts[t][1], ac[t]);
        }
    }

    std::vector<std::uint8_t> out;
    out.reserve(blocks.size() / 8 + 2048);
    const std::uint8_t head[] = {0xFF, 0xD8, 0xFF, 0xE0, 0, 16, 'J', 'F', 'I', 'F',
                                 0,    1,    1,    0,    0, 1,  0,   1,   0,   0};
    out.insert(out.end(), head, head + sizeof head);
    out.insert(out.end(), {0xFF, 0xDB});
    Put16(out, 2 + 2 * 65);
    for (int id = 0; id < 2; ++id) {
        out.push_back(static_cast<std::uint8_t>(id));
        for (int k = 0; k < 64; ++k) out.push_back((id == 0 ? luma : chroma)[kZigZag[k]]);
    }
    out.insert(out.end(), {0xFF, 0xC0});
    Put16(out, 17);
    out.push_back(8);
    Put16(out, height);
    Put16(out, width);
    out.insert(out.end(), {3, 1, 0x22, 0, 2, 0x11, 1, 3, 0x11, 1});
    out.insert(out.end(), {0xFF, 0xC4});
    Put16(out, 2 + 4 * 17 + dc[0].count + ac[0].count + dc[1].count + ac[1].count);
    PutHuffman(out, 0x00, dc[0]);
    PutHuffman(out, 0x10, ac[0]);
    PutHuffman(out, 0x01, dc[1]);
    PutHuffman(out, 0x11, ac[1]);
    out.insert(out.end(), {0xFF, 0xDA, 0, 12, 3, 1, 0x00, 2, 0x11, 3, 0x11, 0, 63, 0});

    const HuffmanTable codes[2][2] = {{HuffmanTable(dc[0]), HuffmanTable(ac[0])},
                                      {HuffmanTable(dc[1]), HuffmanTable(ac[1])}};
    BitWriter bits(out);
    int previous[3] = {};
    for (std::size_t b = 0; b < blockCount; ++b) {
        const int component = b % 6 < 4 ? 0 : static_cast<int>(b % 6) - 3;
        const HuffmanTable(&table)[2] = codes[component == 0 ? 0 : 1];
        bits.Reserve();
        ForEachSymbol(&blocks[b * 64], previous[component],
                      [&](int kind, int symbol, std::uint32_t extra, int extraBits) {
                          const HuffmanTable& t = table[kind];
                          bits.Put(static_cast<std::uint32_t>(t.code[symbol]) << extraBits | extra,
                                   t.size[symbol] + extraBits);
                      });
    }
    bits.Flush();
    out.insert(out.end(), {0xFF, 0xD9});
    return out;
}

int JpegQuality(const std::uint8_t* bytes, std::size_t length) {
    if (bytes == nullptr || length < 4 || bytes[0] != 0xFF || bytes[1] != 0xD8) return 0;
    std::size_t at = 2;
    while (at + 4 <= length && bytes[at] == 0xFF) {
        const int marker = bytes[at + 1];
        const std::size_t size = static_cast<std::size_t>(bytes[at + 2]) << 8 | bytes[at + 3];
        if (marker == 0xDA || size < 2 || at + 2 + size > length) return 0;
        // The first table of the first DQT segment, when it has 8-bit entries: luminance.
        if (marker == 0xDB) {
            if (size < 2 + 65 || (bytes[at + 4] >> 4) != 0) return 0;
            std::uint8_t natural[64];
            for (int k = 0; k < 64; ++k) natural[kZigZag[k]] = bytes[at + 5 + k];
            for (int q = 1; q <= 100; ++q) {
                const auto table = ScaledTable(kLumaQuant, q);
                if (std::equal(table.begin(), table.end(), natural)) return q;
            }
            return 0;
        }
        at += 2 + size;
    }
    return 0;
}

}  // namespace kl
