#pragma once
// A baseline JPEG encoder of its own (4:2:0, the standard tables scaled by quality as libjpeg
// scales them), for frames below the best quality: the platform's encoder under Wine writes
// one fixed quality whatever it is asked for, and this one writes exactly the quality asked.
#include <cstdint>
#include <vector>

namespace kl {

// `pixels`: top-down rows `stride` bytes apart, 3 bytes a pixel (blue, green, red), as a
// 24-bit DIB holds them. Quality is clamped to 1..100. Empty when a size is not positive or
// beyond the frame limits (7680 x 4320). May throw std::bad_alloc.
std::vector<std::uint8_t> EncodeBaselineJpeg(const std::uint8_t* pixels, int stride, int width,
                                             int height, int quality);

// The quality whose scaled standard luminance table the JPEG's first quantisation table
// equals (as libjpeg and the platform encoders write them), or 0 when none does.
int JpegQuality(const std::uint8_t* bytes, std::size_t length);

}  // namespace kl
