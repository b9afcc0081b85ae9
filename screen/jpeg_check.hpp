#pragma once
// The structure check every received frame passes before any decoder sees it: a walk over
// the JPEG markers up to the first scan, refusing anything outside what the host sends.
#include <cstddef>
#include <cstdint>
#include <vector>

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
bool CheckJpegStructure(const std::uint8_t* bytes, std::size_t length,
                        JpegFrameInfo& info) noexcept;

struct ByteRange {
    std::size_t offset = 0;
    std::size_t length = 0;
};

// The parts of a frame that the decoder is given, in order: everything but the application
// (APP0 to APP15) and comment segments, wherever they stand (between progressive scans too),
// and nothing after the end of image. The decoder's metadata readers then never see what a
// peer put into those segments. False, with `ranges` empty, when the markers cannot be walked
// (a segment runs past the end, no scan); never reads past `length`.
bool JpegRangesWithoutMetadata(const std::uint8_t* bytes, std::size_t length,
                               std::vector<ByteRange>& ranges) noexcept;

}  // namespace kl
