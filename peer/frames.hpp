#pragma once
// Where the host peer's pictures come from: JPEG files of a folder, or a generated test
// pattern. Each frame can carry its send time and be padded to a given size, both in
// application segments that decoders skip.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kl::peer {

class FrameSource {
  public:
    // Throws std::runtime_error when the folder has no JPEG file or cannot be read.
    static FrameSource FromFolder(const std::string& folder);
    static FrameSource TestPattern(int width, int height, int variants);

    // The next frame (cycling), with `sendTimeNs` embedded and padded to at least `minBytes`.
    std::string Next(std::int64_t sendTimeNs, std::size_t minBytes);

  private:
    std::vector<std::string> frames_;
    std::size_t next_ = 0;
};

// A JPEG of a test pattern: a gradient with a bar whose place depends on `variant`.
std::string EncodePattern(int width, int height, int variant, int quality,
                          bool progressive = false);
// The send time the host embedded, if the frame carries one.
std::optional<std::int64_t> EmbeddedSendTime(const std::string& frame);
std::int64_t MonotonicNs();
// The colour (0xRRGGBB) near pixel (x, y) of a JPEG, decoded at an eighth of its size; nothing
// when the JPEG fails the viewer's structure check, cannot be decoded or the point lies outside.
std::optional<std::uint32_t> ColourAt(const std::string& jpeg, int x, int y);

}  // namespace kl::peer
