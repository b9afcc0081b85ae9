// Host capture and viewer decoding, each step beside the bare platform call it rests on, all
// on the current display in one process. Prints one JSON line; for every measure the thread
// CPU and wall milliseconds per frame:
//   bareGrab    StretchBlt of the screen into a DIB kept from frame to frame (HALFTONE, as ours)
//   bareEncode  GdipSaveImageToStream of that DIB as JPEG (quality 72) into a fresh stream
//   bareDecode  GdipCreateBitmapFromStream of the JPEG
//   still       our capture step on an unchanged screen (grab, compare, no encoding)
//   busy        our capture step on a screen that changed (grab, compare, encode)
//   decode      our DecodeJpegFrame (structure check, decode, 32-bit bitmap)
//   barePaint   GdipDrawImageRect of a decoded picture scaled into the viewer's remote view
//               (1124x632: a 1280x800 display's window), GDI+'s default filter
//   scale       our area-averaging scale of the decoded 32-bit picture to that place
//   scale24     the same scale from the codec's own 24-bit pixels, as the viewer's decoding
//               thread does it (so its window only copies the result)
//   picture     all the decoding thread does for one picture: our checks, the decode without a
//               conversion, the 24-bit scale to 1124x632
//   capture_bench [FRAMES]
#include <windows.h>
#include <gdiplus.h>
#include <objbase.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>

#include "screen/capture.hpp"
#include "screen/frame_decoder.hpp"
#include "screen/jpeg_check.hpp"
#include "screen/remote_frame.hpp"
#include "win/gdi_handles.hpp"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {

double ThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto ms = [](FILETIME t) {
        return ((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0;
    };
    return ms(kernel) + ms(user);
}

std::string Measure(const char* name, int frames, const std::function<void()>& step) {
    step();  // warm-up
    const double cpu0 = ThreadCpuMs();
    const auto wall0 = std::chrono::steady_clock::now();
    for (int i = 0; i < frames; ++i) step();
    const double wall =
        std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall0).count();
    char text[160];
    std::snprintf(text, sizeof text, "\"%s\":{\"cpuMs\":%.2f,\"wallMs\":%.2f}", name,
                  (ThreadCpuMs() - cpu0) / frames, wall / frames);
    return text;
}

// A source for the busy measure: every grab is taken as new, so each period encodes.
struct AlwaysNew : kl::FrameSource {
    kl::ScreenGrabber screen{kl::kCaptureMaxWidth, kl::kCaptureQuality};
    bool Grab() override { return screen.Grab(); }
    bool SameAsSent() const override {
        screen.SameAsSent();  // the comparison is paid for, its answer ignored
        return false;
    }
    std::vector<std::uint8_t> Encode() override { return screen.Encode(); }
    void MarkSent() override { screen.MarkSent(); }
};

}  // namespace

int main(int argc, char** argv) {
    if (argc > 1 && std::string(argv[1]) == "--help") {
        std::printf("usage: capture_bench [FRAMES]   (one JSON line of per-frame milliseconds)\n");
        return 0;
    }
    const int frames = argc > 1 ? std::atoi(argv[1]) : 30;
    if (frames < 1) {
        std::fprintf(stderr, "capture_bench: FRAMES must be a positive number\n");
        return 1;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ULONG_PTR token = 0;
    GdiplusStartupInput input;
    GdiplusStartup(&token, &input, nullptr);

    const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    BITMAPINFO bmi{};
    bmi.bmiHeader = {sizeof(BITMAPINFOHEADER), w, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
    void* bits = nullptr;
    HBITMAP dib = CreateDIBSection(screen, &bmi, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, dib);
    SetStretchBltMode(memory, HALFTONE);
    GpBitmap* wrapped = nullptr;
    GdipCreateBitmapFromScan0(w, h, w * 4, PixelFormat32bppRGB, static_cast<BYTE*>(bits), &wrapped);
    static const CLSID kJpeg = {
        0x557CF401, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
    static const GUID kQuality = {
        0x1D5BE4B5, 0xFA4A, 0x452D, {0x9C, 0xDD, 0x5D, 0xB3, 0x51, 0x05, 0xE7, 0xEB}};
    LONG quality = kl::kCaptureQuality;
    EncoderParameters parameters{};
    parameters.Count = 1;
    parameters.Parameter[0] = {kQuality, 1, EncoderParameterValueTypeLong, &quality};

    std::string json = "{\"frames\":" + std::to_string(frames) + ",\"width\":" + std::to_string(w) +
                       ",\"height\":" + std::to_string(h);
    json += "," + Measure("bareGrab", frames, [&] {
                StretchBlt(memory, 0, 0, w, h, screen, 0, 0, w, h, SRCCOPY | CAPTUREBLT);
            });
    json += "," + Measure("bareEncode", frames, [&] {
                kl::unique_stream stream;
                CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
                GdipSaveImageToStream(wrapped, stream.get(), &kJpeg, &parameters);
            });
    const std::vector<std::uint8_t> jpeg = kl::EncodeJpeg(wrapped, kl::kCaptureQuality);
    json += "," + Measure("bareDecode", frames, [&] {
                kl::unique_stream stream;
                CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
                ULONG written = 0;
                stream.get()->Write(jpeg.data(), static_cast<ULONG>(jpeg.size()), &written);
                LARGE_INTEGER start{};
                stream.get()->Seek(start, STREAM_SEEK_SET, nullptr);
                kl::unique_gdip_bitmap decoded;
                GdipCreateBitmapFromStream(stream.get(), decoded.put());
            });
    {
        kl::ScreenGrabber still(kl::kCaptureMaxWidth, kl::kCaptureQuality);
        kl::CaptureState state;
        kl::CaptureStep(still, state);  // the frame sent first
        json += "," + Measure("still", frames, [&] { kl::CaptureStep(still, state); });
    }
    {
        AlwaysNew busy;
        kl::CaptureState state;
        json += "," + Measure("busy", frames, [&] { kl::CaptureStep(busy, state); });
    }
    json += "," + Measure("decode", frames, [&] { kl::DecodeJpegFrame(jpeg.data(), jpeg.size()); });
    {
        const kl::unique_gdip_bitmap picture = kl::DecodeJpegFrame(jpeg.data(), jpeg.size());
        kl::unique_gdip_bitmap view;
        GdipCreateBitmapFromScan0(1124, 632, 0, PixelFormat32bppPARGB, nullptr, view.put());
        kl::unique_gdip_graphics graphics;
        GdipGetImageGraphicsContext(view.get(), graphics.put());
        json += "," + Measure("barePaint", frames, [&] {
                    GdipDrawImageRect(graphics.get(), static_cast<GpImage*>(picture.get()), 0, 0,
                                      1124, 632);
                });
        std::vector<std::uint32_t> scaled(1124 * 632);
        auto* bitmap = static_cast<GpBitmap*>(picture.get());
        const GpRect all(0, 0, static_cast<INT>(kl::ImageWidth(picture)),
                         static_cast<INT>(kl::ImageHeight(picture)));
        BitmapData data{};
        if (GdipBitmapLockBits(bitmap, &all, ImageLockModeRead, PixelFormat32bppRGB, &data) == Ok) {
            json += "," + Measure("scale", frames, [&] {
                        kl::ScalePixels(static_cast<const std::uint8_t*>(data.Scan0), data.Stride,
                                        all.Width, all.Height, scaled.data(), 1124, 632);
                    });
            GdipBitmapUnlockBits(bitmap, &data);
        }
        kl::AreaScaler scaler;
        const kl::unique_gdip_bitmap codec = kl::DecodeJpegPicture(jpeg.data(), jpeg.size());
        if (GdipBitmapLockBits(codec.get(), &all, ImageLockModeRead, PixelFormat24bppRGB, &data) ==
            Ok) {
            json += "," + Measure("scale24", frames, [&] {
                        scaler.Scale(static_cast<const std::uint8_t*>(data.Scan0), data.Stride, 3,
                                     all.Width, all.Height, scaled.data(), 1124, 632);
                    });
            GdipBitmapUnlockBits(codec.get(), &data);
        }
        json += "," + Measure("picture", frames, [&] {
                    const kl::unique_gdip_bitmap decoded =
                        kl::DecodeJpegPicture(jpeg.data(), jpeg.size());
                    BitmapData rows{};
                    if (GdipBitmapLockBits(decoded.get(), &all, ImageLockModeRead,
                                           PixelFormat24bppRGB, &rows) != Ok)
                        return;
                    scaler.Scale(static_cast<const std::uint8_t*>(rows.Scan0), rows.Stride, 3,
                                 all.Width, all.Height, scaled.data(), 1124, 632);
                    GdipBitmapUnlockBits(decoded.get(), &rows);
                });
    }
    json += ",\"bytes\":" + std::to_string(jpeg.size()) + "}";
    std::printf("%s\n", json.c_str());

    GdipDisposeImage(wrapped);
    SelectObject(memory, old);
    DeleteObject(dib);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    GdiplusShutdown(token);
    CoUninitialize();
    return jpeg.empty() ? 2 : 0;
}
