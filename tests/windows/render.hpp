#pragma once
// The paint routine run on an off-screen device context, its pixels kept for inspection.
#include <windows.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <vector>

#include "app/client.hpp"
#include "screen/remote_frame.hpp"
#include "ui/ui.hpp"

namespace kltest {

// Renders `app` at width x height pixels and keeps the pixels; or what the screen shows of a
// window's client area.
struct Rendered {
    int width, height;
    std::vector<std::uint32_t> pixels;

    explicit Rendered(HWND window) {
        RECT client{};
        GetClientRect(window, &client);
        width = client.right;
        height = client.bottom;
        pixels.resize(static_cast<std::size_t>(width) * height);
        POINT origin{0, 0};
        ClientToScreen(window, &origin);
        Capture([&](HDC memory) {
            HDC screen = GetDC(nullptr);
            BitBlt(memory, 0, 0, width, height, screen, origin.x, origin.y, SRCCOPY);
            ReleaseDC(nullptr, screen);
        });
    }

    Rendered(Client& app, int w, int h)
        : width(w), height(h), pixels(static_cast<std::size_t>(w) * h) {
        app.clientWidth = w;
        app.clientHeight = h;
        app.scale = std::min(h / 680.0f, w / 1080.0f);
        Capture([&](HDC memory) { PaintWindow(app, memory); });
    }

    // A blank picture of w x h filled with `fill` (RGB), for Capture to draw over.
    Rendered(int w, int h, std::uint32_t fill)
        : width(w), height(h), pixels(static_cast<std::size_t>(w) * h, fill) {}

    // Draws into a 32-bit DIB that starts as `pixels`, then reads it back into `pixels`.
    template <typename Draw>
    void Capture(Draw draw) {
        BITMAPINFO info{};
        info.bmiHeader.biSize = sizeof info.bmiHeader;
        info.bmiHeader.biWidth = width;
        info.bmiHeader.biHeight = -height;
        info.bmiHeader.biPlanes = 1;
        info.bmiHeader.biBitCount = 32;
        void* bits = nullptr;
        const kl::unique_screen_dc screen(GetDC(nullptr));
        const kl::unique_memory_dc memory(CreateCompatibleDC(screen.get()));
        const kl::unique_hbitmap bitmap(
            CreateDIBSection(screen.get(), &info, DIB_RGB_COLORS, &bits, nullptr, 0));
        std::memcpy(bits, pixels.data(), pixels.size() * 4);
        {
            const kl::ScopedSelect selected(memory.get(), bitmap.get());
            draw(memory.get());
            GdiFlush();
        }
        std::memcpy(pixels.data(), bits, pixels.size() * 4);
    }
    // RGB at a point given in layout units of the 1080 x 680 design.
    std::uint32_t At(float x, float y) const {
        const float s = std::min(height / 680.0f, width / 1080.0f);
        return pixels[static_cast<std::size_t>(y * s) * width + static_cast<std::size_t>(x * s)] &
               0xFFFFFF;
    }
    // RGB at a pixel.
    std::uint32_t Pixel(int x, int y) const {
        return pixels[static_cast<std::size_t>(y) * width + static_cast<std::size_t>(x)] & 0xFFFFFF;
    }
};

// A host picture of one colour, with an 8 x 8 red mark at (markX, markY) when one is given.
inline kl::unique_gdip_bitmap HostPicture(int w, int h, Gdiplus::ARGB colour, int markX = -1,
                                          int markY = -1) {
    using namespace Gdiplus::DllExports;
    Gdiplus::GpBitmap* bitmap = nullptr;
    GdipCreateBitmapFromScan0(w, h, 0, PixelFormat32bppRGB, nullptr, &bitmap);
    Gdiplus::GpGraphics* g = nullptr;
    GdipGetImageGraphicsContext(bitmap, &g);
    GdipGraphicsClear(g, colour);
    if (markX >= 0) {
        Gdiplus::GpSolidFill* red = nullptr;
        GdipCreateSolidFill(0xFFFF0000, &red);
        GdipFillRectangleI(g, red, markX, markY, 8, 8);
        GdipDeleteBrush(red);
    }
    GdipDeleteGraphics(g);
    return kl::unique_gdip_bitmap(bitmap);
}

// The remote view shows a one-coloured picture exactly in `frame`: every pixel well inside it
// has the picture's colour (no header pixel lies on it), the pixels just outside its four edges
// are the view's background, and the header is there (the disconnect button).
inline void ExpectPictureAlone(const Rendered& r, const kl::FrameRect& frame,
                               std::uint32_t colour) {
    const int left = static_cast<int>(std::ceil(frame.left)) + 1;
    const int top = static_cast<int>(std::ceil(frame.top)) + 1;
    const int right = static_cast<int>(frame.left + frame.width) - 2;
    const int bottom = static_cast<int>(frame.top + frame.height) - 2;
    ASSERT_TRUE(left > 3 && top > 3 && right + 3 < r.width && bottom + 3 < r.height)
        << "a margin all round";
    int foreign = 0, firstX = -1, firstY = -1;
    for (int y = top; y <= bottom; ++y)
        for (int x = left; x <= right; ++x)
            if (r.Pixel(x, y) != colour && foreign++ == 0) firstX = x, firstY = y;
    EXPECT_EQ(foreign, 0) << "pixels not of the picture inside it, the first at " << firstX << ","
                          << firstY;
    constexpr std::uint32_t kBackground = 0x0D1418;
    EXPECT_EQ(r.Pixel(left, top - 3), kBackground) << "above the top-left corner";
    EXPECT_EQ(r.Pixel(left - 3, top), kBackground) << "left of the top-left corner";
    EXPECT_EQ(r.Pixel(right, bottom + 3), kBackground) << "below the bottom-right corner";
    EXPECT_EQ(r.Pixel(right + 3, bottom), kBackground) << "right of the bottom-right corner";
    EXPECT_EQ(r.At(1040, 25), 0xA12232u) << "the disconnect button at the layout scale";
}

}  // namespace kltest
