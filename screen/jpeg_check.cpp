#include "screen/jpeg_check.hpp"

namespace kl {

namespace {
bool IsStartOfFrame(std::uint8_t m) { return m >= 0xC0 && m <= 0xCF && m != 0xC4 && m != 0xC8 && m != 0xCC; }
int Be16(const std::uint8_t* p) { return (p[0] << 8) | p[1]; }
}  // namespace

bool CheckJpegStructure(const std::uint8_t* bytes, std::size_t length, JpegFrameInfo& info) noexcept {
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
            if (height < 1 || height > kMaxFrameHeight || width < 1 || width > kMaxFrameWidth) return false;
            if (components != 1 && components != 3 && components != 4) return false;
            if (segment != static_cast<std::size_t>(8 + 3 * components)) return false;
            info = {width, height, components};
            frameSeen = true;
        }
        pos += segment;
        if (pos >= length) return false;
    }
}

}  // namespace kl
