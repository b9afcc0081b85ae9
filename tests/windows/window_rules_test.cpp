// Window rules that need no display interaction: hit testing in layout units, the banner's
// procedure, and the text conversion used for every UTF-8 string on screen.
#include <windows.h>
#include <gtest/gtest.h>

#include "app/client.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"
#include "window_fixture.hpp"

TEST(HitTest, RegionsAreInLayoutUnitsAndTheLastDrawnWins) {
    Client app;
    app.buttons.push_back({104, L"copy", 248, 435, 257, 39});
    app.buttons.push_back({200, L"on top", 300, 440, 10, 10});
    app.scale = 2.0f;
    EXPECT_EQ(HitTestRegions(app, 2 * 248, 2 * 435), 104u) << "the top-left corner is inside";
    EXPECT_EQ(HitTestRegions(app, 2 * 505, 2 * 450), 0u) << "x + width is outside";
    EXPECT_EQ(HitTestRegions(app, 2 * 304, 2 * 444), 200u) << "the later region lies on top";
    EXPECT_EQ(HitTestRegions(app, 248, 435), 0u) << "pixels are divided by the scale";
    app.scale = 1.0f;
    EXPECT_EQ(HitTestRegions(app, 504, 473), 104u);
}

TEST(StartupWindowRect, DesignSizeAtTheDpiKeptInsideTheWorkArea) {
    const RECT fullHd{0, 0, 1920, 1080}, large{0, 0, 2560, 1600};
    const RECT plain = StartupWindowRect(POINT{100, 100}, 96, fullHd), made{100, 100, 1200, 820};
    EXPECT_TRUE(EqualRect(&plain, &made)) << "96 DPI: as made";
    const RECT moved = StartupWindowRect(POINT{1000, 600}, 144, large);
    EXPECT_EQ(moved.right - moved.left, 1650);
    EXPECT_EQ(moved.bottom - moved.top, 1080);
    EXPECT_EQ(moved.right, 2560) << "moved left rather than reaching past the edge";
    EXPECT_EQ(moved.bottom, 1600);
    const RECT clamped = StartupWindowRect(POINT{40, 40}, 192, fullHd);
    EXPECT_TRUE(EqualRect(&clamped, &fullHd))
        << "200 % on a 1920 x 1080 monitor: the whole work area";
}

namespace {
LRESULT CALLBACK RecordCommands(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return DefWindowProcW(window, message, wParam, lParam);
}
}  // namespace

TEST(Banner, ClickAndCloseOnlyPostTheDisconnectCommand) {
    kltest::RegisterTestClass(L"KestrelinkTestMain", RecordCommands);
    kltest::RegisterTestClass(kBannerWindowClass, BannerWindowProc);

    Client app;
    app.mainWindow = CreateWindowExW(0, L"KestrelinkTestMain", L"main", WS_OVERLAPPED, 0, 0, 10, 10,
                                     nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    g_app = &app;
    HWND strip = CreateBanner();
    ASSERT_NE(strip, nullptr);
    wchar_t title[64] = {};
    GetWindowTextW(strip, title, 64);
    EXPECT_STREQ(title, L"Kestrelink · Ekran paylaşımı açık");
    EXPECT_EQ(static_cast<DWORD>(GetWindowLongPtrW(strip, GWL_STYLE)) & (WS_POPUP | WS_BORDER),
              WS_POPUP | WS_BORDER);
    auto commands = [&] {
        int count = 0;
        MSG msg;
        while (PeekMessageW(&msg, app.mainWindow, WM_COMMAND, WM_COMMAND, PM_REMOVE))
            if (msg.wParam == 111 && msg.lParam == 0) ++count;
        return count;
    };
    SendMessageW(strip, WM_LBUTTONUP, 0, MAKELPARAM(30, 20));
    EXPECT_EQ(commands(), 1) << "a release anywhere on the banner";
    SendMessageW(strip, WM_CLOSE, 0, 0);
    EXPECT_EQ(commands(), 1) << "closing it disconnects too";
    EXPECT_TRUE(IsWindow(strip)) << "only the session stop destroys it";
    app.bannerWindow = strip;
    RECT r{};
    GetWindowRect(strip, &r);
    EXPECT_EQ(r.right - r.left, 610);
    EXPECT_EQ(r.bottom - r.top, 52);
    EXPECT_TRUE(GetWindowLongPtrW(strip, GWL_EXSTYLE) & WS_EX_TOPMOST);
    StopSession(app);
    EXPECT_EQ(app.bannerWindow, nullptr);
    EXPECT_FALSE(IsWindow(strip));
    g_app = nullptr;
    DestroyWindow(app.mainWindow);
}
