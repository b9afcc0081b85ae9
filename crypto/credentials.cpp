#include "crypto/credentials.hpp"

#include <limits>
#include <stdexcept>
#include <vector>

#include "crypto/encoding.hpp"
#include "crypto/provider.hpp"
#include "crypto/secure_wipe.hpp"

namespace kl {

namespace {

void RandomOrThrow(std::uint8_t* out, std::size_t n) {
    if (!SystemRandom(out, n)) throw std::runtime_error("System random generator failed");
}

int Base32Index(char c) noexcept {
    if (c >= 'A' && c <= 'Z') return c - 'A';
    if (c >= '2' && c <= '7') return c - '2' + 26;
    return -1;
}

}  // namespace

std::string GenerateConnectionId() {
    constexpr std::uint32_t kLimit = 3599999999u;  // 4 * 900000000 - 1: rejection keeps it uniform
    std::uint32_t v = 0;
    do {
        std::uint8_t raw[4];
        RandomOrThrow(raw, sizeof raw);
        v = std::uint32_t(raw[0]) | std::uint32_t(raw[1]) << 8 | std::uint32_t(raw[2]) << 16 |
            std::uint32_t(raw[3]) << 24;
        SecureWipe(raw, sizeof raw);
    } while (v > kLimit);
    return std::to_string(v % 900000000u + 100000000u);
}

std::string GenerateConnectionKey() {
    std::uint8_t bytes[16];
    ScopedWipe wipe(bytes, sizeof bytes);
    RandomOrThrow(bytes, sizeof bytes);
    return Base32Encode(bytes);
}

std::string RandomHex(std::uint64_t byteCount) {
    if (byteCount > 4294967295ull) throw std::length_error("Random buffer too large");
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(byteCount), 0);
    struct WipeOnExit {
        std::vector<std::uint8_t>& v;
        ~WipeOnExit() { SecureWipe(v); }
    } wipe{bytes};
    if (byteCount != 0) RandomOrThrow(bytes.data(), bytes.size());
    if (byteCount > std::numeric_limits<std::size_t>::max() / 2)
        throw std::length_error("Hex buffer too large");
    return HexEncode(bytes.data(), bytes.size());
}

bool IsValidConnectionId(std::string_view id) noexcept {
    if (id.size() != 9 || id[0] < '1' || id[0] > '9') return false;
    for (char c : id)
        if (c < '0' || c > '9') return false;
    return true;
}

bool IsValidConnectionKey(std::string_view key) noexcept {
    if (key.size() != 26) return false;
    for (char c : key)
        if (Base32Index(c) < 0) return false;
    // The two padding bits must be zero, so every valid key decodes to one value only.
    return Base32Index(key[25]) % 4 == 0;
}

std::string NormalizeConnectionId(std::wstring_view text) {
    std::string out;
    for (wchar_t c : text)
        if (c >= L'0' && c <= L'9') out.push_back(static_cast<char>(c));
    return out;
}

std::string NormalizeConnectionKey(std::string_view utf8) {
    std::string out;
    out.reserve(utf8.size());
    for (char c : utf8) {
        switch (c) {
            case '\t':
            case '\n':
            case '\v':
            case '\f':
            case '\r':
            case ' ':
            case '-':
                continue;
            default:
                out.push_back(c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c);
        }
    }
    return out;
}

void DecodeConnectionKey(std::string_view key, std::uint8_t* out16) {
    if (!IsValidConnectionKey(key)) throw std::invalid_argument("Invalid connection secret");
    std::uint32_t buffer = 0;
    int bits = 0;
    std::size_t written = 0;
    for (char c : key) {
        buffer = (buffer << 5) | static_cast<std::uint32_t>(Base32Index(c));
        if (bits + 5 >= 8) {
            bits -= 3;
            out16[written++] = static_cast<std::uint8_t>(buffer >> bits);
        } else {
            bits += 5;
        }
    }
    buffer = 0;
}

}  // namespace kl
