#pragma once
// The structure check every received frame passes before any decoder sees it: a walk over
// the JPEG markers up to the first scan, refusing anything outside what the host sends.
#include <cstddef>
#include <cstdint>

namespace kl {

inline constexpr std::size_t kMinJpegFrame = 4;
inline constexpr std::size_t kMaxJpegFrame = 8388607;
inline constexpr int kMaxFrameWidth = 7680;
inline constexpr int kMaxFrameHeight = 4320;

struct JpegFrameInfo {
    int width = 0;
    int height = 0;
    int components = 0;
};

// True when the headers describe one baseline, extended or progressive Huffman 8-bit image
// within the size limits; fills `info` from its frame header. Never reads past `length`.
bool CheckJpegStructure(const std::uint8_t* bytes, std::size_t length, JpegFrameInfo& info) noexcept;

}  // namespace kl
