#include "screen/fit_frame.hpp"

#include <algorithm>

namespace kl {

FrameRect FitFrame(int clientWidth, int clientHeight, float scale, unsigned imageWidth,
                   unsigned imageHeight) noexcept {
    const float top = 112 * scale;
    const float w = static_cast<float>(clientWidth);
    const float h = static_cast<float>(clientHeight) - 148 * scale;
    if (imageWidth == 0 || imageHeight == 0) return {0, top, w, h};
    const float s =
        std::min(h / static_cast<float>(imageHeight), w / static_cast<float>(imageWidth));
    const float width = static_cast<float>(imageWidth) * s,
                height = static_cast<float>(imageHeight) * s;
    return {(w - width) * 0.5f, (h - height) * 0.5f + top, width, height};
}

}  // namespace kl
