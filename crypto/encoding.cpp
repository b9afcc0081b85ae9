#include "crypto/encoding.hpp"

namespace kl {

std::string Base32Encode(const std::uint8_t* bytes16) {
    std::string out;
    out.reserve(26);
    std::uint32_t buffer = 0;
    int bits = 0;
    for (int i = 0; i < 16; ++i) {
        buffer = (buffer << 8) | bytes16[i];
        bits += 8;
        while (bits >= 5) {
            bits -= 5;
            out.push_back(kBase32Alphabet[(buffer >> bits) & 31]);
        }
    }
    if (bits > 0) out.push_back(kBase32Alphabet[(buffer << (5 - bits)) & 31]);
    buffer = 0;
    return out;
}

std::string HexEncode(const std::uint8_t* bytes, std::size_t count) {
    static constexpr char digits[] = "0123456789abcdef";
    std::string out;
    out.reserve(count * 2);
    for (std::size_t i = 0; i < count; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 15]);
    }
    return out;
}

namespace {
int HexValue(char c) noexcept {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}
}  // namespace

bool HexDecode(std::string_view text, std::uint8_t* out, std::size_t n) noexcept {
    if (n > text.max_size() / 2 || text.size() != n * 2) return false;
    for (std::size_t i = 0; i < n; ++i) {
        int high = HexValue(text[2 * i]);
        int low = HexValue(text[2 * i + 1]);
        if (high < 0 || low < 0) return false;
        out[i] = static_cast<std::uint8_t>((high << 4) | low);
    }
    return true;
}

}  // namespace kl
