#include "screen/jpeg_check.hpp"

#include <algorithm>
#include <cstring>

namespace kl {

namespace {
bool IsStartOfFrame(std::uint8_t m) {
    return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC;
}
int Be16(const std::uint8_t* p) {
    return (p[0] << 8) | p[1];
}
bool IsMetadata(std::uint8_t m) {
    return (m >= 0xE0 && m <= 0xEF) || m == 0xFE;
}
}  // namespace

namespace {

struct FrameComponent {
    int id = 0, h = 1, v = 1;
};

// What the walk has learnt of the frame so far.
struct FrameState {
    bool seen = false;
    bool progressive = false;
    int width = 0, height = 0, count = 0, hMax = 1, vMax = 1;
    FrameComponent components[4];
    bool sequentialCoded[4] = {};
    // Progressive: per component and coefficient, the lowest bit coded so far; -1 before the
    // coefficient's first scan.
    std::int8_t codedBit[4][64];
};

bool ReadFrameHeader(std::uint8_t m, const std::uint8_t* h, std::size_t segment, FrameState& f) {
    if (f.seen || (m != 0xC0 && m != 0xC1 && m != 0xC2) || segment < 8 || h[2] != 8) return false;
    const int height = Be16(h + 3), width = Be16(h + 5), count = h[7];
    if (height < 1 || height > kMaxFrameHeight || width < 1 || width > kMaxFrameWidth) return false;
    if (count != 1 && count != 3 && count != 4) return false;
    if (segment != static_cast<std::size_t>(8 + 3 * count)) return false;
    for (int c = 0; c < count; ++c) {
        const int id = h[8 + 3 * c], hs = h[9 + 3 * c] >> 4, vs = h[9 + 3 * c] & 0x0F;
        if ((hs != 1 && hs != 2 && hs != 4) || (vs != 1 && vs != 2 && vs != 4)) return false;
        for (int d = 0; d < c; ++d)
            if (f.components[d].id == id) return false;
        f.components[c] = {id, hs, vs};
        f.hMax = std::max(f.hMax, hs);
        f.vMax = std::max(f.vMax, vs);
    }
    // Factors of 1, 2 and 4 divide the largest one: no fractional sampling ratio.
    f.seen = true;
    f.progressive = m == 0xC2;
    f.width = width;
    f.height = height;
    f.count = count;
    std::memset(f.codedBit, -1, sizeof f.codedBit);
    return true;
}

// A scan header that codes only what has not been coded yet at its precision.
bool ReadScanHeader(const std::uint8_t* h, std::size_t segment, FrameState& f) {
    const int count = h[2];
    if (count < 1 || count > 4 || segment != static_cast<std::size_t>(6 + 2 * count)) return false;
    int index[4] = {};
    int blocksPerUnit = 0;
    for (int i = 0; i < count; ++i) {
        const int id = h[3 + 2 * i];
        index[i] = -1;
        for (int c = 0; c < f.count; ++c)
            if (f.components[c].id == id) index[i] = c;
        if (index[i] < 0) return false;
        for (int j = 0; j < i; ++j)
            if (index[j] == index[i]) return false;
        blocksPerUnit += f.components[index[i]].h * f.components[index[i]].v;
    }
    if (count > 1 && blocksPerUnit > 10) return false;
    const int ss = h[3 + 2 * count], se = h[4 + 2 * count];
    const int ah = h[5 + 2 * count] >> 4, al = h[5 + 2 * count] & 0x0F;
    if (!f.progressive) {
        if (ss != 0 || se != 63 || ah != 0 || al != 0) return false;
        for (int i = 0; i < count; ++i) {
            if (f.sequentialCoded[index[i]]) return false;
            f.sequentialCoded[index[i]] = true;
        }
        return true;
    }
    if (ss > se || se > 63 || ah > 13 || al > 13) return false;
    if ((ss == 0 && se != 0) || (ss > 0 && count != 1)) return false;
    for (int i = 0; i < count; ++i) {
        std::int8_t* bits = f.codedBit[index[i]];
        if (ss > 0 && bits[0] < 0) return false;  // AC before the component's DC
        for (int k = ss; k <= se; ++k) {
            if (ah == 0 ? bits[k] >= 0 : (bits[k] != ah || al != ah - 1)) return false;
            bits[k] = static_cast<std::int8_t>(al);
        }
    }
    return true;
}

// 8x8 blocks of all components: each takes at least one bit of coded data.
std::uint64_t BlockCount(const FrameState& f) {
    std::uint64_t blocks = 0;
    for (int c = 0; c < f.count; ++c) {
        const std::uint64_t w = (static_cast<std::uint64_t>(f.width) * f.components[c].h + f.hMax -
                                 1) /
                                f.hMax,
                            h = (static_cast<std::uint64_t>(f.height) * f.components[c].v + f.vMax -
                                 1) /
                                f.vMax;
        blocks += ((w + 7) / 8) * ((h + 7) / 8);
    }
    return blocks;
}

}  // namespace

bool CheckJpegStructure(const std::uint8_t* bytes, std::size_t length,
                        JpegFrameInfo& info) noexcept {
    info = {};
    if (bytes == nullptr || length < kMinJpegFrame || length > kMaxJpegFrame) return false;
    if (bytes[0] != 0xFF || bytes[1] != 0xD8) return false;
    FrameState frame;
    int scans = 0, tables = 0;
    std::uint64_t codedBytes = 0;
    bool inData = false;  // after a scan header: coded data up to the next marker
    std::size_t pos = 2;
    const auto finish = [&] {
        if (!frame.seen || scans == 0 || codedBytes * 8 < BlockCount(frame)) return false;
        info = {frame.width, frame.height, frame.count, scans};
        return true;
    };
    for (;;) {
        if (inData) {
            for (;;) {
                const void* next = std::memchr(bytes + pos, 0xFF, length - pos);
                if (next == nullptr) {
                    codedBytes += length - pos;
                    return finish();  // cut inside the data: the decoder's to judge
                }
                const std::size_t at =
                    static_cast<std::size_t>(static_cast<const std::uint8_t*>(next) - bytes);
                codedBytes += at - pos;
                std::size_t code = at + 1;
                while (code < length && bytes[code] == 0xFF) ++code;
                if (code >= length) return finish();
                const std::uint8_t m = bytes[code];
                if (m == 0x00) {  // a stuffed data byte
                    ++codedBytes;
                    pos = code + 1;
                } else if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) {  // restart
                    pos = code + 1;
                } else {
                    pos = at;
                    break;
                }
            }
            inData = false;
        }
        if (pos + 1 >= length || bytes[pos] != 0xFF) return false;
        while (bytes[pos + 1] == 0xFF) {  // fill bytes
            ++pos;
            if (pos + 1 >= length) return false;
        }
        const std::uint8_t m = bytes[pos + 1];
        pos += 2;                                     // just after the code
        if (m == 0xD9) return scans > 0 && finish();  // what follows is no part of the picture
        if (m == 0x00 || m == 0xD8) return false;
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) continue;
        if (length - pos < 2) return false;
        const std::size_t segment = static_cast<std::size_t>(Be16(bytes + pos));
        if (segment < 2 || segment > length - pos) return false;
        if (m == 0xDA) {
            if (!frame.seen || segment < 6 || ++scans > kMaxJpegScans ||
                !ReadScanHeader(bytes + pos, segment, frame))
                return false;
            inData = true;
        } else if (IsStartOfFrame(m)) {
            if (!ReadFrameHeader(m, bytes + pos, segment, frame)) return false;
        } else if (!IsMetadata(m) && ++tables > kMaxJpegTableSegments) {
            return false;
        }
        pos += segment;
        if (pos >= length && !inData) return false;
    }
}

bool JpegRangesWithoutMetadata(const std::uint8_t* bytes, std::size_t length,
                               std::vector<ByteRange>& ranges) noexcept {
    ranges.clear();
    if (bytes == nullptr || length < kMinJpegFrame || bytes[0] != 0xFF || bytes[1] != 0xD8)
        return false;
    try {
        std::size_t kept = 0;  // start of the part not yet given to `ranges`
        const auto keep = [&](std::size_t end) {
            if (end > kept) ranges.push_back({kept, end - kept});
        };
        bool inScan = false;  // past the first scan header: entropy-coded data between markers
        std::size_t pos = 2;
        while (pos < length) {
            if (bytes[pos] != 0xFF) {
                if (!inScan) break;
                const void* next = std::memchr(bytes + pos, 0xFF, length - pos);
                if (next == nullptr) {
                    pos = length;  // data up to the end
                    break;
                }
                pos = static_cast<std::size_t>(static_cast<const std::uint8_t*>(next) - bytes);
                continue;
            }
            const std::size_t start = pos;  // fill bytes belong to the marker they precede
            while (pos + 1 < length && bytes[pos + 1] == 0xFF) ++pos;
            if (pos + 1 >= length) {
                if (inScan) pos = length;  // a frame cut inside its data: the decoder's to judge
                break;
            }
            const std::uint8_t m = bytes[pos + 1];
            pos += 2;
            if (inScan && (m == 0x00 || (m >= 0xD0 && m <= 0xD7)))
                continue;  // stuffed byte, restart
            if (m == 0xD9) {
                if (!inScan) break;
                keep(pos);
                return true;  // what follows the end of image is no part of the picture
            }
            if (m == 0x00 || m == 0xD8) break;
            if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) continue;
            if (length - pos < 2) break;
            const std::size_t segment = static_cast<std::size_t>(Be16(bytes + pos));
            if (segment < 2 || segment > length - pos) break;
            if (IsMetadata(m)) {
                keep(start);
                kept = pos + segment;
            }
            if (m == 0xDA) inScan = true;
            pos += segment;
        }
        if (inScan && pos >= length) {
            keep(length);
            return true;
        }
    } catch (...) {
    }
    ranges.clear();
    return false;
}

}  // namespace kl
