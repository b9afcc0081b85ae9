#pragma once
// Where the remote picture goes in the main window: the band from y = 112 to 36 pixels above
// the bottom, the picture scaled (up or down) with its aspect ratio kept and centred.
namespace kl {

struct FrameRect {
    float left = 0, top = 0, width = 0, height = 0;
};

// Image size 0 means no picture yet: the whole band.
FrameRect FitFrame(int clientWidth, int clientHeight, unsigned imageWidth, unsigned imageHeight) noexcept;

}  // namespace kl
