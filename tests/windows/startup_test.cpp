// Start-up of the real program under Wine: preview runs, argument rules and exit codes.
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

bool FileExists(const std::wstring& path) { return GetFileAttributesW(path.c_str()) != INVALID_FILE_ATTRIBUTES; }

std::wstring Fresh(const std::wstring& name) {
    std::wstring path = kOut + L"/" + name;
    DeleteFileW(path.c_str());
    return path;
}

// The client size a window gets when it is made and restyled the way the program does it.
SIZE ExpectedClientSize() {
    kltest::RegisterTestClass(L"KestrelinkProbe", DefWindowProcW);
    HWND w = CreateWindowExW(0, L"KestrelinkProbe", L"probe", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT,
                             CW_USEDEFAULT, 1100, 720, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    SetWindowLongPtrW(w, GWL_STYLE, WS_POPUP | WS_THICKFRAME | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX);
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
        PostMessageW(window, WM_CLOSE, 0, 0);
        EXPECT_EQ(program.WaitExit(), 0);
    }
    EXPECT_FALSE(FileExists(capital));
}
