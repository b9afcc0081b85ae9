#pragma once
// A baseline JPEG encoder of its own (4:2:0, the standard tables scaled by quality as libjpeg
// scales them), for every frame on a limited link: the platform's encoder under Wine writes
// one fixed quality whatever it is asked for, this one writes exactly the quality asked, and
// with tables fitted to the picture in fewer bytes than the platform's.
#include <cstdint>
#include <vector>

namespace kl {

// Huffman tables: the standard's examples (one pass), or ones built for this picture's own
// symbols (a second pass over the coefficients; about a tenth fewer bytes).
enum class JpegTables { Standard, Optimal };

// `pixels`: top-down rows `stride` bytes apart, 3 bytes a pixel (blue, green, red), as a
// 24-bit DIB holds them. Quality is clamped to 1..100. Empty when a size is not positive or
// beyond the frame limits (7680 x 4320). May throw std::bad_alloc.
std::vector<std::uint8_t> EncodeBaselineJpeg(const std::uint8_t* pixels, int stride, int width,
                                             int height, int quality,
                                             JpegTables tables = JpegTables::Standard);

// The quality whose scaled standard luminance table the JPEG's first quantisation table
// equals (as libjpeg and the platform encoders write them), or 0 when none does.
int JpegQuality(const std::uint8_t* bytes, std::size_t length);

}  // namespace kl
