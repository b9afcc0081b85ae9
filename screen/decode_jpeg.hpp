#pragma once
// Viewer side: one received JPEG file becomes a fresh 32-bit bitmap of exactly the size its
// frame header announces, or nothing. The structure check runs before any decoder sees it.
#include <cstddef>
#include <cstdint>

#include "app/client.hpp"

namespace kl {

OwnedBitmap DecodeJpegFrame(const std::uint8_t* bytes, std::size_t length);
// 0 on error or without a bitmap.
unsigned ImageWidth(const OwnedBitmap& image);
unsigned ImageHeight(const OwnedBitmap& image);

}  // namespace kl
