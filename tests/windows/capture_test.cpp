// Capture and encoding on the test display, checked with the same structure check and
// decoder the viewer uses.
#include <windows.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <functional>
#include <new>
#include <stdexcept>

#include "alloc_hooks.hpp"
#include "app/client.hpp"
#include "screen/capture.hpp"
#include "screen/jpeg_check.hpp"
#include "screen/remote_frame.hpp"

namespace {

kl::JpegFrameInfo Info(const std::vector<std::uint8_t>& jpeg) {
    kl::JpegFrameInfo info;
    EXPECT_TRUE(kl::CheckJpegStructure(jpeg.data(), jpeg.size(), info));
    return info;
}

// The real screen, and beside each grab the JPEG of the very same pixels: what comparing
// whole encoded frames, the way the worker used to decide, had to go by.
struct EncodeEveryGrab : kl::FrameSource {
    kl::ScreenGrabber screen{1920, 72};
    std::vector<std::uint8_t> reference;
    bool Grab() override {
        reference.clear();
        if (!screen.Grab()) return false;
        reference = screen.Encode();
        return true;
    }
    bool SameAsSent() const override { return screen.SameAsSent(); }
    std::vector<std::uint8_t> Encode() override { return screen.Encode(); }
    void MarkSent() override { screen.MarkSent(); }
};

// A topmost window painted in one colour: what changes on the test display.
struct Patch {
    HWND window =
        CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, L"STATIC", L"", WS_POPUP | WS_VISIBLE, 40,
                        40, 160, 120, nullptr, nullptr, nullptr, nullptr);
    ~Patch() { DestroyWindow(window); }
    void Show(int x, COLORREF colour) {
        SetWindowPos(window, HWND_TOPMOST, x, 40, 160, 120, SWP_NOACTIVATE | SWP_SHOWWINDOW);
        HDC dc = GetDC(window);
        HBRUSH brush = CreateSolidBrush(colour);
        const RECT all = {0, 0, 160, 120};
        FillRect(dc, &all, brush);
        DeleteObject(brush);
        ReleaseDC(window, dc);
        GdiFlush();
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        Sleep(30);  // lets the display show it
    }
};

// A source that fails as it is told to.
struct ScriptedSource : kl::FrameSource {
    std::function<bool()> grab = [] { return true; };
    std::function<std::vector<std::uint8_t>()> encode = [] {
        return std::vector<std::uint8_t>{0xFF, 0xD8, 0xFF, 0xD9};
    };
    int grabs = 0;
    bool Grab() override {
        ++grabs;
        return grab();
    }
    bool SameAsSent() const override { return false; }
    std::vector<std::uint8_t> Encode() override { return encode(); }
    void MarkSent() override {}
};

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
    EXPECT_TRUE(kl::DecodeJpegFrame(full.data(), full.size()))
        << "what the host sends, the viewer can show";
    EXPECT_TRUE(kl::CaptureScreenJpeg(0, 72).empty());
}

// Wine's encoder ignores the quality parameter (every quality gives the same bytes), so only
// the clamping rule itself is checked, natively; here: every quality encodes.
TEST(Capture, EveryQualityEncodesAReadableJpeg) {
    // A picture with detail, so the quality shows in the size.
    Gdiplus::GpBitmap* bitmap = nullptr;
    ASSERT_EQ(Gdiplus::DllExports::GdipCreateBitmapFromScan0(256, 256, 0, PixelFormat32bppRGB,
                                                             nullptr, &bitmap),
              Gdiplus::Ok);
    for (INT y = 0; y < 256; ++y)
        for (INT x = 0; x < 256; ++x)
            Gdiplus::DllExports::GdipBitmapSetPixel(
                bitmap, x, y, 0xFF000000u | ((x * 7919u + y * 104729u) * 2654435761u >> 8));
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

// Skipping the encoder on equal pixels must not change what goes out: on a still, a
// flickering and a moving screen, the same periods send the same bytes as comparing every
// period's JPEG with the last one sent did.
TEST(CaptureWorker, ComparingPixelsSendsWhatComparingTheJpegsSent) {
    Patch patch;
    EncodeEveryGrab source;
    kl::CaptureState state;
    kl::CaptureCounts byBytes;
    std::vector<std::uint8_t> sentByBytes;
    int sends = 0, skips = 0;
    auto period = [&](const char* scene, int n) {
        SCOPED_TRACE(testing::Message() << scene << " period " << n);
        const kl::FrameAction action = kl::CaptureStep(source, state);
        ASSERT_FALSE(source.reference.empty());
        const kl::FrameAction expected =
            kl::CountFrame(byBytes, true, source.reference == sentByBytes);
        ASSERT_EQ(action, expected);
        if (action == kl::FrameAction::Send) {
            sentByBytes = source.reference;
            EXPECT_EQ(state.sent, sentByBytes)
                << "the bytes pushed are those the encoder gives for this period";
            ++sends;
        } else {
            ++skips;
        }
    };
    patch.Show(40, RGB(200, 30, 30));
    Sleep(300);
    for (int n = 0; n < 16; ++n) period("still", n);
    EXPECT_EQ(sends, 2) << "one frame, then the fifteenth unchanged period again";
    for (int n = 0; n < 8; ++n) {
        patch.Show(40, n % 2 ? RGB(30, 30, 200) : RGB(200, 30, 30));
        period("flickering", n);
    }
    for (int n = 0; n < 8; ++n) {
        patch.Show(60 + 24 * n, RGB(30, 160, 30));
        period("moving", n);
    }
    EXPECT_GE(sends, 8) << "the changes were seen";
    EXPECT_GE(skips, 14);

    // The last frame sent shows the patch where it stood, in its colour, once decoded.
    const kl::unique_gdip_bitmap shown = kl::DecodeJpegFrame(state.sent.data(), state.sent.size());
    ASSERT_TRUE(shown);
    Gdiplus::ARGB argb = 0;
    ASSERT_EQ(Gdiplus::DllExports::GdipBitmapGetPixel(static_cast<Gdiplus::GpBitmap*>(shown.get()),
                                                      60 + 24 * 7 + 80, 100, &argb),
              Gdiplus::Ok);
    EXPECT_NEAR(static_cast<int>(argb >> 16 & 255), 30, 24);
    EXPECT_NEAR(static_cast<int>(argb >> 8 & 255), 160, 24);
    EXPECT_NEAR(static_cast<int>(argb & 255), 30, 24);
}

// Whatever fails inside the worker, thrown or counted, it ends quietly with one error event
// for the session, which then stops as for any lost connection.
TEST(CaptureWorker, FailuresEndTheStreamWithOneErrorEvent) {
    struct Case {
        const char* name;
        std::function<void(ScriptedSource&)> script;
        int grabs;
        const char* text;
    };
    const Case cases[] = {
        {"allocation failure in the grab",
         [](ScriptedSource& s) { s.grab = []() -> bool { throw std::bad_alloc(); }; }, 1,
         "Screen capture unavailable"},
        {"exception from the encoder",
         [](ScriptedSource& s) {
             s.encode = []() -> std::vector<std::uint8_t> { throw std::runtime_error("x"); };
         },
         1, "Screen capture unavailable"},
        {"fifteen failed grabs", [](ScriptedSource& s) { s.grab = [] { return false; }; }, 15,
         "Screen capture unavailable"},
        {"fifteen empty encodings",
         [](ScriptedSource& s) { s.encode = [] { return std::vector<std::uint8_t>{}; }; }, 15,
         "Screen capture unavailable"},
        {"push refused (no session keys)", [](ScriptedSource&) {}, 1, "Screen stream stopped"},
        {"no memory left even for the failure's text",
         [](ScriptedSource& s) {
             s.grab = []() -> bool {
                 kltest::FailNthAllocationOnThisThread(1);
                 throw std::bad_alloc();
             };
         },
         1, ""},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Client app;
        ScriptedSource source;
        c.script(source);
        app.streamRunning = true;
        kl::RunCapture(app, 0, source);
        EXPECT_EQ(source.grabs, c.grabs);
        EXPECT_FALSE(app.streamRunning);
        std::lock_guard<std::mutex> lock(app.eventMutex);
        ASSERT_EQ(app.eventQueue.size(), 1u);
        EXPECT_EQ(app.eventQueue.front().event.kind, kl::NetEvent::Error);
        EXPECT_EQ(app.eventQueue.front().event.text, c.text);
    }
}
