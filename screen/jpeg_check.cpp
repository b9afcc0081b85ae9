#include "screen/jpeg_check.hpp"

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

bool CheckJpegStructure(const std::uint8_t* bytes, std::size_t length,
                        JpegFrameInfo& info) noexcept {
    info = {};
    if (bytes == nullptr || length < kMinJpegFrame || length > kMaxJpegFrame) return false;
    if (bytes[0] != 0xFF || bytes[1] != 0xD8) return false;
    bool frameSeen = false;
    std::size_t pos = 2;
    for (;;) {
        if (pos + 1 >= length || bytes[pos] != 0xFF) return false;
        while (bytes[pos + 1] == 0xFF) {  // fill bytes
            ++pos;
            if (pos + 1 >= length) return false;
        }
        const std::uint8_t m = bytes[pos + 1];
        pos += 2;  // just after the code
        if (m == 0x00 || m == 0xD8 || m == 0xD9) return false;
        if (m == 0x01 || (m >= 0xD0 && m <= 0xD7)) continue;
        if (length - pos < 2) return false;
        const std::size_t segment = static_cast<std::size_t>(Be16(bytes + pos));
        if (segment < 2 || segment > length - pos) return false;
        if (m == 0xDA) return frameSeen && segment >= 6;
        if (IsStartOfFrame(m)) {
            if (frameSeen || (m != 0xC0 && m != 0xC1 && m != 0xC2) || segment < 8) return false;
            const std::uint8_t* h = bytes + pos;
            if (h[2] != 8) return false;
            const int height = Be16(h + 3), width = Be16(h + 5), components = h[7];
            if (height < 1 || height > kMaxFrameHeight || width < 1 || width > kMaxFrameWidth)
                return false;
            if (components != 1 && components != 3 && components != 4) return false;
            if (segment != static_cast<std::size_t>(8 + 3 * components)) return false;
            info = {width, height, components};
            frameSeen = true;
        }
        pos += segment;
        if (pos >= length) return false;
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
