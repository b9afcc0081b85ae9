// The encoder the host uses below the best quality, read back by libjpeg.
#include <gtest/gtest.h>

#include <csetjmp>
#include <cstdio>
#include <cstdlib>
#include <jpeglib.h>
#include <vector>

#include "peer/frames.hpp"
#include "screen/jpeg_check.hpp"
#include "screen/jpeg_encoder.hpp"

namespace {

struct DecodeError {
    jpeg_error_mgr mgr;
    std::jmp_buf back;
};

// RGB rows, or nothing when libjpeg refuses the file.
std::vector<std::uint8_t> Decode(const std::vector<std::uint8_t>& jpeg, int& w, int& h) {
    jpeg_decompress_struct cinfo{};
    DecodeError error{};
    cinfo.err = jpeg_std_error(&error.mgr);
    error.mgr.error_exit = [](j_common_ptr c) {
        std::longjmp(reinterpret_cast<DecodeError*>(c->err)->back, 1);
    };
    std::vector<std::uint8_t> rgb;
    if (setjmp(error.back) != 0) {
        jpeg_destroy_decompress(&cinfo);
        return {};
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, jpeg.data(), static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    w = static_cast<int>(cinfo.output_width);
    h = static_cast<int>(cinfo.output_height);
    rgb.resize(static_cast<std::size_t>(w) * h * 3);
    while (cinfo.output_scanline < cinfo.output_height) {
        JSAMPROW row = rgb.data() + static_cast<std::size_t>(cinfo.output_scanline) * w * 3;
        jpeg_read_scanlines(&cinfo, &row, 1);
    }
    jpeg_finish_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return rgb;
}

}  // namespace

TEST(JpegEncoder, WritesTheQualityAskedAndReadsBackCloseToTheSource) {
    // Odd sizes (partial blocks at the right and bottom), padded rows, smooth and sharp parts.
    const int w = 203, h = 77, stride = w * 3 + 7;
    std::vector<std::uint8_t> bgr(static_cast<std::size_t>(stride) * h, 0xEE);
    for (int y = 0; y < h; ++y)
        for (int x = 0; x < w; ++x) {
            std::uint8_t* p = &bgr[static_cast<std::size_t>(y) * stride + x * 3];
            const bool box = x > 40 && x < 120 && y > 20 && y < 60;
            p[0] = static_cast<std::uint8_t>(box ? 20 : x);
            p[1] = static_cast<std::uint8_t>(box ? 200 : y * 3);
            p[2] = static_cast<std::uint8_t>(box ? 240 : x / 2 + y);
        }
    std::size_t previous = 0;
    for (const int quality : {30, 50, 72, 90}) {
        SCOPED_TRACE(quality);
        const auto jpeg = kl::EncodeBaselineJpeg(bgr.data(), stride, w, h, quality);
        // Tables fitted to the picture code the same coefficients in fewer bytes.
        const auto fitted =
            kl::EncodeBaselineJpeg(bgr.data(), stride, w, h, quality, kl::JpegTables::Optimal);
        EXPECT_LT(fitted.size(), jpeg.size());
        int fw = 0, fh = 0;
        EXPECT_EQ(Decode(fitted, fw, fh), Decode(jpeg, fw, fh));
        kl::JpegFrameInfo info;
        ASSERT_TRUE(kl::CheckJpegStructure(jpeg.data(), jpeg.size(), info));
        EXPECT_EQ(info.width, w);
        EXPECT_EQ(info.height, h);
        EXPECT_EQ(kl::JpegQuality(jpeg.data(), jpeg.size()), quality);
        EXPECT_GT(jpeg.size(), previous) << "more quality, more bytes";
        previous = jpeg.size();
        int dw = 0, dh = 0;
        const auto rgb = Decode(jpeg, dw, dh);
        ASSERT_EQ(dw, w);
        ASSERT_EQ(dh, h);
        double error = 0;
        for (int y = 0; y < h; ++y)
            for (int x = 0; x < w; ++x)
                for (int c = 0; c < 3; ++c)
                    error += std::abs(rgb[(static_cast<std::size_t>(y) * w + x) * 3 + c] -
                                      bgr[static_cast<std::size_t>(y) * stride + x * 3 + 2 - c]);
        EXPECT_LT(error / (w * h * 3), quality >= 72 ? 3.0 : 5.0) << "mean error a sample";
    }
    // The quality libjpeg itself wrote is read back; anything else is 0.
    for (const int quality : {25, 75, 95}) {
        const std::string pattern = kl::peer::EncodePattern(64, 48, 1, quality);
        EXPECT_EQ(
            kl::JpegQuality(reinterpret_cast<const std::uint8_t*>(pattern.data()), pattern.size()),
            quality);
    }
    // A large picture of flat blocks, blocks of noise at eight strengths and blocks of one
    // dot: symbol counts skewed enough that the fitted codes must be cut down to 16 bits, and
    // still decode as the standard ones do.
    const int bw = 1920, bh = 1080;
    std::vector<std::uint8_t> flat(static_cast<std::size_t>(bw) * 3 * bh, 0x80);
    std::uint32_t seed = 7;
    for (int y = 0; y < bh; ++y)
        for (int x = 0; x < bw; ++x) {
            std::uint8_t* p = &flat[(static_cast<std::size_t>(y) * bw + x) * 3];
            const int kind = (x / 8 * 7 + y / 8 * 13) % 5;
            if (kind == 0)
                for (int c = 0; c < 3; ++c) {
                    seed = seed * 1664525 + 1013904223;
                    p[c] = static_cast<std::uint8_t>(seed >> (24 + (x / 8 + y / 8) % 8));
                }
            else if (kind == 1 && x % 8 == y / 8 % 8 && y % 8 == x / 8 % 8)
                p[0] = static_cast<std::uint8_t>(0x80 + x / 8 % 64);
        }
    const auto standard = kl::EncodeBaselineJpeg(flat.data(), bw * 3, bw, bh, 90);
    const auto fitted =
        kl::EncodeBaselineJpeg(flat.data(), bw * 3, bw, bh, 90, kl::JpegTables::Optimal);
    int sw = 0, sh = 0, fw = 0, fh = 0;
    const auto fromStandard = Decode(standard, sw, sh);
    ASSERT_EQ(sw, bw);
    EXPECT_EQ(Decode(fitted, fw, fh), fromStandard);
    EXPECT_LT(fitted.size(), standard.size());

    const std::uint8_t png[] = {0x89, 'P', 'N', 'G', 0, 0, 0, 0};
    EXPECT_EQ(kl::JpegQuality(png, sizeof png), 0);
    EXPECT_TRUE(kl::EncodeBaselineJpeg(bgr.data(), stride, 0, h, 50).empty());
    EXPECT_TRUE(kl::EncodeBaselineJpeg(bgr.data(), w * 3 - 1, w, h, 50).empty());
}
