#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kl {

inline constexpr char kBase32Alphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZ234567";

// 16 bytes to the 26-character base32 text, no padding.
std::string Base32Encode(const std::uint8_t* bytes16);
std::string HexEncode(const std::uint8_t* bytes, std::size_t count);
// Exactly 2n lower-case hex characters into n bytes; never throws.
bool HexDecode(std::string_view text, std::uint8_t* out, std::size_t n) noexcept;

}  // namespace kl
