// The viewer's decoder under Wine's GDI+: what a peer writes into application and comment
// segments never reaches the codec.
#include "screen/remote_frame.hpp"

#include <gdiplus.h>
#include <gtest/gtest.h>
#include <windows.h>

#include "screen/capture.hpp"

using namespace Gdiplus::DllExports;

namespace {

std::vector<std::uint8_t> RedJpeg() {
    Gdiplus::GpBitmap* bitmap = nullptr;
    if (GdipCreateBitmapFromScan0(16, 16, 0, PixelFormat32bppRGB, nullptr, &bitmap) != Gdiplus::Ok)
        return {};
    for (INT y = 0; y < 16; ++y)
        for (INT x = 0; x < 16; ++x) GdipBitmapSetPixel(bitmap, x, y, 0xFFFF0000u);
    auto jpeg = kl::EncodeJpeg(bitmap, 90);
    GdipDisposeImage(bitmap);
    return jpeg;
}

Gdiplus::ARGB Centre(const kl::unique_gdip_bitmap& image) {
    Gdiplus::ARGB colour = 0;
    GdipBitmapGetPixel(static_cast<Gdiplus::GpBitmap*>(image.get()), 8, 8, &colour);
    return colour;
}

bool IsRed(Gdiplus::ARGB c) {
    return ((c >> 16) & 0xFF) > 200 && ((c >> 8) & 0xFF) < 60 && (c & 0xFF) < 60;
}

}  // namespace

TEST(RemoteFrame, ApplicationAndCommentSegmentsDoNotReachTheDecoder) {
    const auto plain = RedJpeg();
    ASSERT_GT(plain.size(), 20u);
    const kl::unique_gdip_bitmap reference = kl::DecodeJpegFrame(plain.data(), plain.size());
    ASSERT_TRUE(reference);
    ASSERT_TRUE(IsRed(Centre(reference))) << std::hex << Centre(reference);

    // The same picture without its JFIF segment and with component ids the codec does not
    // know (4, 5, 6), but with an Adobe segment that declares the samples RGB: a codec that
    // reads it shows the YCbCr values as colours. A comment comes along as well.
    ASSERT_TRUE(plain[2] == 0xFF && plain[3] == 0xE0) << "the encoder starts with JFIF";
    std::size_t pos = 4 + ((plain[4] << 8) | plain[5]);
    std::vector<std::uint8_t> forged = {
        0xFF, 0xD8, 0xFF, 0xEE, 0x00, 0x0E, 'A',  'd',  'o',
        'b',  'e',  0x00, 0x64, 0x00, 0x00, 0x00, 0x00, 0x00,  // transform 0: RGB
        0xFF, 0xFE, 0x00, 0x05, 'h',  'i',  '!'};
    const std::size_t body = forged.size();
    forged.insert(forged.end(), plain.begin() + pos, plain.end());
    int renamed = 0;
    for (pos = body; pos + 4 < forged.size() && forged[pos] == 0xFF;) {
        const std::uint8_t marker = forged[pos + 1];
        const std::size_t length = (forged[pos + 2] << 8) | forged[pos + 3];
        if (marker == 0xC0) {  // frame header: id, sampling, table per component
            for (int c = 0; c < forged[pos + 9]; ++c, ++renamed) forged[pos + 10 + 3 * c] += 3;
        } else if (marker == 0xDA) {  // scan header: id, tables per component
            for (int c = 0; c < forged[pos + 4]; ++c, ++renamed) forged[pos + 5 + 2 * c] += 3;
            break;
        }
        pos += 2 + length;
    }
    ASSERT_EQ(renamed, 6) << "one baseline frame of three components and one scan";
    const kl::unique_gdip_bitmap shown = kl::DecodeJpegFrame(forged.data(), forged.size());
    ASSERT_TRUE(shown);
    EXPECT_TRUE(IsRed(Centre(shown))) << std::hex << Centre(shown);
}
