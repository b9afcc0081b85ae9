#pragma once
// The size a screen of w x h pixels is sent at: never enlarged, never wider than the limit
// (at most 7680) and never taller than 4320; and the JPEG quality actually asked for.
namespace kl {

struct CaptureSize {
    int width = 0;
    int height = 0;
    double scale = 0;
};

// {0, 0, 0} when the screen or the limit is empty.
inline CaptureSize ScaledCaptureSize(int screenWidth, int screenHeight, int maxWidth) {
    if (screenWidth < 1 || screenHeight < 1 || maxWidth < 1) return {};
    double scale = 1.0;
    const double widthLimit =
        (maxWidth < 7680 ? maxWidth : 7680) / static_cast<double>(screenWidth);
    const double heightLimit = 4320.0 / screenHeight;
    if (widthLimit < scale) scale = widthLimit;
    if (heightLimit < scale) scale = heightLimit;
    const int w = static_cast<int>(screenWidth * scale), h = static_cast<int>(screenHeight * scale);
    return {w > 1 ? w : 1, h > 1 ? h : 1, scale};
}

// The encoder's quality parameter: 20 at least, 95 at most.
inline int ClampJpegQuality(int quality) {
    return quality < 20 ? 20 : (quality > 95 ? 95 : quality);
}

}  // namespace kl
