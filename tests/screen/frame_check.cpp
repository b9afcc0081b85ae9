// Judges JPEG files as the viewer judges a received frame, one line per file:
//   frame_check FILE...   "accepted WxH" or "refused" (Windows: decoded with the program's
//                         decoder, "decoded WxH" or "refused")
#include <cstdio>
#include <fstream>
#include <iterator>
#include <vector>

#include "screen/jpeg_check.hpp"

#ifdef _WIN32
#include <windows.h>
#include <gdiplus.h>

#include "screen/remote_frame.hpp"
#endif

int main(int argc, char** argv) {
    if (argc < 2) {
        std::printf("usage: frame_check FILE...\n");
        return 1;
    }
#ifdef _WIN32
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
#endif
    for (int i = 1; i < argc; ++i) {
        std::ifstream file(argv[i], std::ios::binary);
        const std::vector<std::uint8_t> bytes{std::istreambuf_iterator<char>(file),
                                              std::istreambuf_iterator<char>()};
#ifdef _WIN32
        const kl::unique_gdip_bitmap image = kl::DecodeJpegFrame(bytes.data(), bytes.size());
        if (image)
            std::printf("decoded %ux%u\n", kl::ImageWidth(image), kl::ImageHeight(image));
        else
            std::printf("refused\n");
#else
        kl::JpegFrameInfo info;
        if (kl::CheckJpegStructure(bytes.data(), bytes.size(), info))
            std::printf("accepted %dx%d\n", info.width, info.height);
        else
            std::printf("refused\n");
#endif
    }
#ifdef _WIN32
    Gdiplus::GdiplusShutdown(token);
#endif
    return 0;
}
