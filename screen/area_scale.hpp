#pragma once
// The viewer's scale of a remote picture to its place in the window: each target pixel is the
// mean of the source area it covers, weighted by coverage (up or down, any ratio). Done in
// fixed point, columns' and rows' weights computed once per size pair, each target row from
// its few source rows in one pass and then across, so a 1920x1080 picture costs a few
// milliseconds instead of the drawing pipeline's tens.
#include <cstdint>
#include <vector>

namespace kl {

class AreaScaler {
  public:
    // `source`: top-down rows `sourceStride` bytes apart, `bytesPerPixel` 3 (blue, green, red)
    // or 4 (blue, green, red, unused). `target`: width x height pixels (blue, green, red, 0),
    // rows packed. Nothing happens unless all sizes are positive and the pixel size is 3 or 4.
    // Keeps its weights and its row buffer for the next call (one scaler per thread).
    void Scale(const std::uint8_t* source, int sourceStride, int bytesPerPixel, int sourceWidth,
               int sourceHeight, std::uint32_t* target, int width, int height);

  private:
    void Prepare(int sourceWidth, int sourceHeight, int width, int height, int bytesPerPixel);

    // Target column x: acrossPairs_[x] pairs of source pixels from acrossFirst_[x], each pair's
    // two weights (of 16384) repeated for the four channels, 8 values a pair, in order; an
    // unpaired last pixel has a second weight of 0.
    std::vector<int> acrossFirst_, acrossPairs_;
    std::vector<std::int16_t> acrossWeights_;
    // Target row y: downCount_[y] source rows from downFirst_[y], their weights (of 65536, at
    // most 65535) in order.
    std::vector<int> downFirst_, downCount_;
    std::vector<std::uint16_t> downWeights_;
    std::vector<std::uint16_t> row_;  // one target row's source columns, channel x 128
    int sourceWidth_ = 0, sourceHeight_ = 0, width_ = 0, height_ = 0, bytesPerPixel_ = 0;
};

// One-off scale of 32-bit pixels (blue, green, red, unused) by area averaging; `sourceStride` is
// in bytes, rows top-down; the unused byte becomes 0.
void ScalePixels(const std::uint8_t* source, int sourceStride, int sourceWidth, int sourceHeight,
                 std::uint32_t* target, int width, int height);

}  // namespace kl
