// Start-up of the real program under Wine: preview runs, argument rules and exit codes.
#include <winsock2.h>
#include <windows.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include "program_process.hpp"
#include "window_fixture.hpp"

#include <string>
#include <vector>

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {

const std::wstring kOut = KL_TEST_OUTPUT;

bool FileExists(const std::wstring& path) {
    return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES;
}

std::wstring Fresh(const std::wstring& name) {
    std::wstring path = kOut + L"/" + name;
    DeleteFileW(path.c_str());
    return path;
}

// The client size a window gets when it is made and restyled the way the program does it.
SIZE ExpectedClientSize() {
    kltest::RegisterTestClass(L"KestrelinkProbe", DefWindowProcW);
    HWND w = CreateWindowExW(0, L"KestrelinkProbe", L"probe", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                             CW_USEDEFAULT, 1100, 720, nullptr, nullptr, GetModuleHandleW(nullptr),
                             nullptr);
    SetWindowLongPtrW(w, GWL_STYLE,
                      WS_POPUP | WS_THICKFRAME | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX);
    SetWindowPos(w, nullptr, 0, 0, 0, 0,
                 SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
    RECT r{};
    GetClientRect(w, &r);
    DestroyWindow(w);
    return SIZE{r.right, r.bottom};
}

struct Png {
    GpBitmap* bitmap = nullptr;
    explicit Png(const std::wstring& path) { GdipCreateBitmapFromFile(path.c_str(), &bitmap); }
    ~Png() {
        if (bitmap) GdipDisposeImage(bitmap);
    }
    SIZE Size() const {
        UINT w = 0, h = 0;
        GdipGetImageWidth(bitmap, &w);
        GdipGetImageHeight(bitmap, &h);
        return SIZE{static_cast<LONG>(w), static_cast<LONG>(h)};
    }
    ARGB Pixel(int x, int y) const {
        ARGB c = 0;
        GdipBitmapGetPixel(bitmap, x, y, &c);
        return c;
    }
};

}  // namespace

TEST(Startup, PreviewWritesPictureOfTheClientSizeAndExitsZero) {
    const std::wstring path = Fresh(L"preview.png");
    kltest::Program program({L"--preview", path});
    EXPECT_EQ(program.WaitExit(), 0);
    ASSERT_TRUE(FileExists(path));
    Png png(path);
    ASSERT_NE(png.bitmap, nullptr);
    const SIZE expected = ExpectedClientSize();
    EXPECT_EQ(png.Size().cx, expected.cx);
    EXPECT_EQ(png.Size().cy, expected.cy);
    EXPECT_EQ(png.Pixel(5, 5), 0xFF172821u) << "sidebar not painted";
    EXPECT_EQ(png.Pixel(png.Size().cx - 5, 5), 0xFFF5F6F3u) << "background not painted";
}

TEST(Startup, PreviewOpensNoRelayConnection) {
    // Listen where the program's relay would be: a preview run must never knock.
    WSADATA wsa{};
    ASSERT_EQ(WSAStartup(MAKEWORD(2, 2), &wsa), 0);
    SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(KL_TEST_PORT));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address), 0)
        << "port taken";
    ASSERT_EQ(listen(listener, 4), 0);
    u_long nonBlocking = 1;
    ioctlsocket(listener, FIONBIO, &nonBlocking);
    kltest::Program program({L"--preview", Fresh(L"no-relay.png")});
    EXPECT_EQ(program.WaitExit(), 0);
    SOCKET knocked = accept(listener, nullptr, nullptr);
    EXPECT_EQ(knocked, INVALID_SOCKET) << "the preview connected to the relay";
    if (knocked != INVALID_SOCKET) closesocket(knocked);
    closesocket(listener);
    WSACleanup();
}

TEST(Startup, SecondPreviewPairWinsAndExtraArgumentsAreIgnored) {
    const std::wstring first = Fresh(L"first.png"), second = Fresh(L"second.png");
    kltest::Program program({L"stray", L"--preview", first, L"--preview", second, L"also-stray"});
    EXPECT_EQ(program.WaitExit(), 0);
    EXPECT_FALSE(FileExists(first));
    EXPECT_TRUE(FileExists(second));
}

TEST(Startup, PreviewToUnwritablePathStillExitsZero) {
    kltest::Program program({L"--preview", kOut + L"/no-such-folder/x.png"});
    EXPECT_EQ(program.WaitExit(), 0);
}

TEST(Startup, PreviewSwitchAloneOrInCapitalsStartsAVisibleRun) {
    const std::wstring capital = Fresh(L"capital.png");
    for (const auto& args : {std::vector<std::wstring>{L"--preview"},
                             std::vector<std::wstring>{L"--PREVIEW", capital}}) {
        kltest::Program program(args);
        HWND window = program.WaitVisibleWindow();
        ASSERT_NE(window, nullptr) << "no visible main window";
        wchar_t title[64] = {};
        GetWindowTextW(window, title, 64);
        EXPECT_STREQ(title, L"Kestrelink Native");
        // The system caption is gone: the program draws its own title bar.
        const LONG_PTR style = GetWindowLongPtrW(window, GWL_STYLE);
        EXPECT_EQ(style & WS_CAPTION, 0) << std::hex << style;
        EXPECT_TRUE(style & WS_THICKFRAME);
        // Right after start-up the frame is already the new style's: no caption left over.
        RECT outer{}, inner{};
        GetWindowRect(window, &outer);
        GetClientRect(window, &inner);
        AdjustWindowRectEx(&inner, static_cast<DWORD>(style), FALSE, 0);
        EXPECT_EQ(inner.right - inner.left, outer.right - outer.left);
        EXPECT_EQ(inner.bottom - inner.top, outer.bottom - outer.top)
            << "the old caption's height is still there";
        PostMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(program.WaitExit(), 0);
    }
    EXPECT_FALSE(FileExists(capital));
}
