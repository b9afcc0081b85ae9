#pragma once
// Where the remote picture goes in the main window: the band below the header and above the
// bottom margin (112 and 36 layout units, so pixels times the layout scale), the picture scaled
// (up or down) with its aspect ratio kept and centred. The header is drawn at the layout scale,
// so a band in fixed pixels would lie under it in a window larger than the design.
namespace kl {

struct FrameRect {
    float left = 0, top = 0, width = 0, height = 0;
};

// Image size 0 means no picture yet: the whole band.
FrameRect FitFrame(int clientWidth, int clientHeight, float scale, unsigned imageWidth,
                   unsigned imageHeight) noexcept;

}  // namespace kl
