// The program at the DPI of the Wine prefix it runs in (its LogPixels, named by KL_DPI, 96 when
// unset). tests/windows/high_dpi.sh runs these in prefixes at 144 and 192 DPI on a 2560 x 1600
// display; the plain run covers 96.
#include <windows.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cwchar>

#include "program_process.hpp"
#include "render.hpp"
#include "ui/ui.hpp"
#include "window_fixture.hpp"

namespace {

UINT ExpectedDpi() {
    wchar_t value[16] = {};
    if (GetEnvironmentVariableW(L"KL_DPI", value, 16) == 0) return 96;
    return static_cast<UINT>(std::wcstoul(value, nullptr, 10));
}
int Scaled(int design) {
    return MulDiv(design, static_cast<int>(ExpectedDpi()), 96);
}

class HighDpiWindow : public kltest::ProgramWindow {};

}  // namespace

TEST(HighDpi, ProgramOpensAtTheDesignSizeForItsMonitorsDpi) {
    ASSERT_EQ(GetDpiForSystem(), ExpectedDpi()) << "the prefix's LogPixels";
    kltest::Program program({});
    HWND window = program.WaitVisibleWindow();
    ASSERT_NE(window, nullptr);
    RECT outer{}, client{};
    GetWindowRect(window, &outer);
    GetClientRect(window, &client);
    EXPECT_EQ(outer.right - outer.left, Scaled(1100));
    EXPECT_EQ(outer.bottom - outer.top, Scaled(720));
    // The layout scale the window takes from that size, and the ID edit placed and lettered by it.
    const float scale = std::min(client.bottom / 680.0f, client.right / 1080.0f);
    EXPECT_NEAR(scale, ExpectedDpi() / 96.0f, 0.06f) << client.right << " x " << client.bottom;
    HWND edit = GetDlgItem(window, 101);
    RECT r{};
    GetWindowRect(edit, &r);
    MapWindowPoints(nullptr, window, reinterpret_cast<POINT*>(&r), 2);
    EXPECT_EQ(r.left, static_cast<int>(693 * scale));
    EXPECT_EQ(r.right - r.left, static_cast<int>(290 * scale));
    // Its font, seen on the screen (another process's font cannot be read): the digits of 18-pixel
    // letters are 0.73 of that tall in the face that stands in for "Segoe UI".
    SendMessageW(edit, WM_SETTEXT, 0, reinterpret_cast<LPARAM>(L"888 888"));
    int top = 0, bottom = -1;
    for (int tries = 0; tries < 100 && bottom < 0; ++tries) {  // until the X server shows it
        Sleep(100);
        const kltest::Rendered shown(edit);
        top = shown.height;
        for (int y = 0; y < shown.height; ++y)
            for (int x = 0; x < shown.width; ++x)
                if (const std::uint32_t p = shown.Pixel(x, y);
                    (p >> 16) < 0x80 && ((p >> 8) & 0xFF) < 0x80)
                    top = std::min(top, y), bottom = std::max(bottom, y);
    }
    EXPECT_NEAR(bottom - top + 1, 0.73 * 18 * scale, 1.5 + scale) << "digit height in pixels";
    PostMessageW(window, WM_CLOSE, 0, 0);
    EXPECT_EQ(program.WaitExit(), 0);
}

TEST_F(HighDpiWindow, MinimumSizeScalesAndADpiChangeLaysTheWindowOutAnew) {
    MINMAXINFO info{};
    SendMessageW(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, Scaled(1000));
    EXPECT_EQ(info.ptMinTrackSize.y, Scaled(660));
    // Moved to a monitor at 150 %: the window takes the suggested rectangle and its layout follows.
    RECT suggested{10, 10, 10 + 1620, 10 + 1020};
    SendMessageW(window, WM_DPICHANGED, MAKEWPARAM(144, 144), reinterpret_cast<LPARAM>(&suggested));
    EXPECT_EQ(app.clientWidth, 1620);
    EXPECT_EQ(app.clientHeight, 1020);
    EXPECT_FLOAT_EQ(app.scale, 1.5f);
    LOGFONTW font{};
    GetObjectW(app.editFont.get(), sizeof font, &font);
    EXPECT_EQ(font.lfHeight, -27);
}

TEST(HighDpi, BannerIsPlacedSizedAndLetteredForItsMonitorsDpi) {
    kltest::RegisterTestClass(kBannerWindowClass, BannerWindowProc);
    HWND banner = CreateBanner();
    ASSERT_NE(banner, nullptr);
    RECT r{};
    GetWindowRect(banner, &r);
    EXPECT_EQ(r.left, Scaled(20));
    EXPECT_EQ(r.top, Scaled(20));
    EXPECT_EQ(r.right - r.left, Scaled(610));
    EXPECT_EQ(r.bottom - r.top, Scaled(52));
    ShowWindow(banner, SW_SHOWNOACTIVATE);
    UpdateWindow(banner);
    // Its white letters: how tall their rows reach and where the second text starts.
    kltest::Rendered shown(banner);
    int top = shown.height, bottom = 0, right = shown.width;
    for (int y = 0; y < shown.height; ++y)
        for (int x = 0; x < shown.width; ++x)
            if (shown.Pixel(x, y) == 0xFFFFFF) {
                top = std::min(top, y), bottom = std::max(bottom, y);
                if (x > Scaled(300)) right = std::min(right, x);
            }
    DestroyWindow(banner);
    ASSERT_LT(top, shown.height) << "no text drawn";
    EXPECT_GE(top, Scaled(13));
    EXPECT_GE(bottom - top, Scaled(14)) << "letters of 16 pixels at 96 DPI";
    EXPECT_LE(bottom - top, Scaled(24));
    EXPECT_GE(right, Scaled(383) - 1) << "\"BAĞLANTIYI KES\"";
    EXPECT_LE(right, Scaled(383) + Scaled(4));
}

TEST_F(HighDpiWindow, RemoteViewOnScreenKeepsItsHeaderOffThePicture) {
    if (GetEnvironmentVariableW(L"KL_DPI", nullptr, 0) == 0)
        GTEST_SKIP() << "runs on the 2560 x 1600 display of tests/windows/high_dpi.sh";
    app.viewerMode = app.sessionActive = true;
    app.remoteFrame = kltest::HostPicture(1920, 1080, 0xFF2050A0);
    for (const SIZE size : {SIZE{1100, 720}, SIZE{1920, 1080}}) {
        SCOPED_TRACE(testing::Message() << size.cx << " x " << size.cy);
        SetWindowPos(window, HWND_TOP, 0, 0, size.cx, size.cy, SWP_NOACTIVATE);
        RedrawWindow(window, nullptr, nullptr, RDW_INVALIDATE | RDW_UPDATENOW);
        const kl::FrameRect frame = kl::FitRemoteFrame(app);
        // Wait until the screen shows this size's paint (picture corner and button).
        auto painted = [&](const kltest::Rendered& r) {
            return r.Pixel(static_cast<int>(frame.left + frame.width) - 3,
                           static_cast<int>(frame.top + frame.height) - 3) == 0x2050A0 &&
                   r.At(1040, 25) == 0xA12232u;
        };
        for (int tries = 0; tries < 100 && !painted(kltest::Rendered(window)); ++tries) Sleep(100);
        const kltest::Rendered shown(window);
        ASSERT_EQ(shown.width, size.cx);
        kltest::ExpectPictureAlone(shown, frame, 0x2050A0);
    }
}
