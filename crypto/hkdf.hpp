#pragma once
#include <cstddef>
#include <cstdint>

#include "crypto/provider.hpp"  // HmacSha256

namespace kl {

// HKDF-Expand with HMAC-SHA256 over a 32-byte PRK. Throws std::length_error
// "HKDF output too large" for outLength > 8160 or infoLength > 4096.
void HkdfExpand(const std::uint8_t* prk32, const std::uint8_t* info, std::size_t infoLength,
                std::uint8_t* out, std::size_t outLength);

}  // namespace kl
