#pragma once
// Connection ID, connection key and session nonce: making them, checking them, and the
// normalisation of what a user typed.
#include <cstdint>
#include <string>
#include <string_view>

namespace kl {

std::string GenerateConnectionId();
std::string GenerateConnectionKey();
std::string RandomHex(std::uint64_t byteCount);

bool IsValidConnectionId(std::string_view id) noexcept;
bool IsValidConnectionKey(std::string_view key) noexcept;

// Keeps only the digits of the ID field.
std::string NormalizeConnectionId(std::wstring_view text);
// Drops white space and '-', upper-cases ASCII letters, keeps every other byte.
std::string NormalizeConnectionKey(std::string_view utf8);

// Decodes a valid key into 16 bytes; throws std::invalid_argument "Invalid connection secret".
void DecodeConnectionKey(std::string_view key, std::uint8_t* out16);

}  // namespace kl
