// Host capture cost: CaptureScreenJpeg at the program's settings, repeated on the current
// display. Prints one JSON line: frames, thread CPU and wall milliseconds per frame, the
// last frame's size and dimensions.
//   capture_bench [FRAMES]
#include <windows.h>
#include <gdiplus.h>
#include <objbase.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

#include "screen/capture.hpp"
#include "screen/jpeg_check.hpp"

namespace {
double ThreadCpuMs() {
    FILETIME created, exited, kernel, user;
    GetThreadTimes(GetCurrentThread(), &created, &exited, &kernel, &user);
    auto ms = [](FILETIME t) { return ((static_cast<ULONGLONG>(t.dwHighDateTime) << 32) | t.dwLowDateTime) / 10000.0; };
    return ms(kernel) + ms(user);
}
}  // namespace

int main(int argc, char** argv) {
    const int frames = argc > 1 ? std::atoi(argv[1]) : 50;
    if (frames < 1) {
        std::printf("usage: capture_bench [FRAMES]\n");
        return 1;
    }
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    Gdiplus::GdiplusStartup(&token, &input, nullptr);
    kl::CaptureScreenJpeg(kl::kCaptureMaxWidth, kl::kCaptureQuality);  // warm-up
    const double cpu0 = ThreadCpuMs();
    const auto wall0 = std::chrono::steady_clock::now();
    std::vector<std::uint8_t> frame;
    for (int i = 0; i < frames; ++i) frame = kl::CaptureScreenJpeg(kl::kCaptureMaxWidth, kl::kCaptureQuality);
    const double wall = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - wall0).count();
    const double cpu = ThreadCpuMs() - cpu0;
    kl::JpegFrameInfo info;
    kl::CheckJpegStructure(frame.data(), frame.size(), info);
    std::printf("{\"frames\":%d,\"cpuMsPerFrame\":%.2f,\"wallMsPerFrame\":%.2f,\"bytes\":%zu,\"width\":%d,\"height\":%d}\n",
                frames, cpu / frames, wall / frames, frame.size(), info.width, info.height);
    Gdiplus::GdiplusShutdown(token);
    CoUninitialize();
    return frame.empty() ? 2 : 0;
}
