#pragma once
// The structure check every received frame passes before any decoder sees it: a walk over the
// whole file, refusing anything outside what the host sends and anything that would make a
// decoder work for long on few bytes.
#include <cstddef>
#include <cstdint>
#include <vector>

namespace kl {

inline constexpr std::size_t kMinJpegFrame = 4;
inline constexpr std::size_t kMaxJpegFrame = 8388607;
inline constexpr int kMaxFrameWidth = 7680;
inline constexpr int kMaxFrameHeight = 4320;
// Scans in one frame. A decoder passes over every coefficient of the picture for each scan, so
// repeated scans multiply its work without growing the file much. The host's encoder writes
// one; progressive encoders write 10 for a colour picture and 18 for four components.
inline constexpr int kMaxJpegScans = 32;
// Table and restart-interval segments (DHT, DQT, DRI and the like) in one frame. Encoders write
// two to six before the first scan and at most one or two before each later one.
inline constexpr int kMaxJpegTableSegments = 64;

struct JpegFrameInfo {
    int width = 0;
    int height = 0;
    int components = 0;
    int scans = 0;
};

// True when the file describes one baseline, extended or progressive Huffman 8-bit image within
// the size limits, fills `info` from its frame header and scans, and bounds the decoder's work
// by the file's size:
// - sampling factors are 1, 2 or 4 and divide the largest one (what encoders write; anything
//   else takes decoders onto slow general paths), at most 10 blocks a unit;
// - every scan names components of the frame; a sequential frame codes each component once;
//   a progressive frame codes each coefficient once and then refines it bit by bit, so no band
//   is decoded twice at the same precision;
// - at most kMaxJpegScans scans and kMaxJpegTableSegments table segments;
// - the coded data holds at least one bit for every 8x8 block of the picture, as any encoder's
//   output does (each block's DC value takes a code of one bit or more): a few hundred bytes
//   cannot declare a picture of millions of blocks that the decoder would then fill in.
// Walks every byte (the coded data with memchr), never past `length`; stops at the end of image.
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
