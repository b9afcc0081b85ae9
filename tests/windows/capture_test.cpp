// Capture and encoding on the test display, checked with the same structure check and
// decoder the viewer uses.
#include <windows.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include "screen/capture.hpp"
#include "screen/jpeg_check.hpp"
#include "screen/remote_frame.hpp"

namespace {

kl::JpegFrameInfo Info(const std::vector<std::uint8_t>& jpeg) {
    kl::JpegFrameInfo info;
    EXPECT_TRUE(kl::CheckJpegStructure(jpeg.data(), jpeg.size(), info));
    return info;
}

}  // namespace

TEST(Capture, TheWholePrimaryScreenAtMostTheGivenWidth) {
    const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    const auto full = kl::CaptureScreenJpeg(1920, 72);
    ASSERT_FALSE(full.empty());
    const kl::JpegFrameInfo info = Info(full);
    EXPECT_EQ(info.width, std::min(w, 1920));
    EXPECT_EQ(info.height, w > 1920 ? h * 1920 / w : h);
    const auto half = kl::CaptureScreenJpeg(w / 2, 72);
    EXPECT_EQ(Info(half).width, w / 2);
    EXPECT_EQ(Info(half).height, h / 2);
    EXPECT_TRUE(kl::DecodeJpegFrame(full.data(), full.size())) << "what the host sends, the viewer can show";
    EXPECT_TRUE(kl::CaptureScreenJpeg(0, 72).empty());
}

// Wine's encoder ignores the quality parameter (every quality gives the same bytes), so only
// the clamping rule itself is checked, natively; here: every quality encodes.
TEST(Capture, EveryQualityEncodesAReadableJpeg) {
    // A picture with detail, so the quality shows in the size.
    Gdiplus::GpBitmap* bitmap = nullptr;
    ASSERT_EQ(Gdiplus::DllExports::GdipCreateBitmapFromScan0(256, 256, 0, PixelFormat32bppRGB, nullptr, &bitmap), Gdiplus::Ok);
    for (INT y = 0; y < 256; ++y)
        for (INT x = 0; x < 256; ++x)
            Gdiplus::DllExports::GdipBitmapSetPixel(bitmap, x, y, 0xFF000000u | ((x * 7919u + y * 104729u) * 2654435761u >> 8));
    const auto q10 = kl::EncodeJpeg(bitmap, 10), q20 = kl::EncodeJpeg(bitmap, 20);
    const auto q95 = kl::EncodeJpeg(bitmap, 95), q100 = kl::EncodeJpeg(bitmap, 100);
    Gdiplus::DllExports::GdipDisposeImage(bitmap);
    for (const auto* jpeg : {&q10, &q20, &q95, &q100}) {
        ASSERT_FALSE(jpeg->empty());
        EXPECT_EQ(Info(*jpeg).width, 256);
        EXPECT_TRUE(kl::DecodeJpegFrame(jpeg->data(), jpeg->size()));
    }
    EXPECT_TRUE(kl::EncodeJpeg(nullptr, 72).empty());
}
