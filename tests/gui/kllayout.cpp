// Where things are in a main window of a given client size, from the program's own layout and
// paint code, for the GUI scripts (tests/gui/lib.sh) to click and look at:
//   kllayout WIDTH HEIGHT [SCREEN_WIDTH SCREEN_HEIGHT]
// prints, in client pixels:
//   scale S                          the layout scale (layout units to pixels)
//   field id|key X Y W H             the two edits
//   button STATE ID X Y W H LABEL    each clickable region painted in STATE: page0 (the connection
//                                    page), page1 (security), consent, sharing (the host's page
//                                    while sharing), remote (the viewer's remote view)
//   picture X Y W H                  with a screen size: where the viewer shows that screen, sent
//                                    at the capture size
#include <windows.h>
// gdiplus.h needs windows.h first.
#include <gdiplus.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/client.hpp"
#include "base/utf8.hpp"
#include "screen/capture.hpp"
#include "screen/capture_size.hpp"
#include "screen/fit_frame.hpp"
#include "ui/ui.hpp"

namespace {

int Pixel(float layoutUnits, float scale) {
    return static_cast<int>(std::floor(layoutUnits * scale));
}

void PrintButtons(Client& app, const char* state) {
    // Painting records the regions; the pixels go to a throwaway bitmap.
    HDC screen = GetDC(nullptr);
    HDC memory = CreateCompatibleDC(screen);
    HBITMAP bitmap = CreateCompatibleBitmap(screen, app.clientWidth, app.clientHeight);
    HGDIOBJ old = SelectObject(memory, bitmap);
    PaintWindow(app, memory);
    SelectObject(memory, old);
    DeleteObject(bitmap);
    DeleteDC(memory);
    ReleaseDC(nullptr, screen);
    const float s = app.scale;
    for (const ClickRegion& b : app.buttons) {
        const int left = Pixel(b.x, s), top = Pixel(b.y, s);
        std::printf("button %s %u %d %d %d %d %s\n", state, static_cast<unsigned>(b.id), left, top,
                    Pixel(b.x + b.width, s) - left, Pixel(b.y + b.height, s) - top,
                    kl::WideToUtf8(b.label).c_str());
    }
}

void PrintField(const char* name, HWND edit, HWND parent) {
    RECT r{};
    GetWindowRect(edit, &r);
    MapWindowPoints(nullptr, parent, reinterpret_cast<POINT*>(&r), 2);
    std::printf("field %s %ld %ld %ld %ld\n", name, r.left, r.top, r.right - r.left,
                r.bottom - r.top);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--help") == 0) {
        std::printf("usage: kllayout WIDTH HEIGHT [SCREEN_WIDTH SCREEN_HEIGHT]\n");
        return 0;
    }
    const int width = argc >= 3 ? std::atoi(argv[1]) : 0,
              height = argc >= 3 ? std::atoi(argv[2]) : 0;
    const int screenWidth = argc == 5 ? std::atoi(argv[3]) : 0,
              screenHeight = argc == 5 ? std::atoi(argv[4]) : 0;
    if ((argc != 3 && argc != 5) || width < 1 || height < 1 ||
        (argc == 5 && (screenWidth < 1 || screenHeight < 1))) {
        std::fprintf(
            stderr,
            "usage: kllayout WIDTH HEIGHT [SCREEN_WIDTH SCREEN_HEIGHT] (sizes in pixels)\n");
        return 2;
    }
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return 1;
    {
        Client app;
        // A hidden borderless window of the client size with the two edits, laid out as the
        // program lays out its own.
        HWND window = CreateWindowExW(0, L"STATIC", L"", WS_POPUP, 0, 0, width, height, nullptr,
                                      nullptr, GetModuleHandleW(nullptr), nullptr);
        if (window == nullptr) return 1;
        app.mainWindow = window;
        app.idEdit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD, 0, 0, 1, 1, window, nullptr,
                                     nullptr, nullptr);
        app.keyEdit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD, 0, 0, 1, 1, window, nullptr,
                                      nullptr, nullptr);
        LayoutControls(app);
        std::printf("scale %.6f\n", app.scale);
        PrintField("id", app.idEdit, window);
        PrintField("key", app.keyEdit, window);

        PrintButtons(app, "page0");
        app.page = 1;
        PrintButtons(app, "page1");
        app.page = 0;
        app.consentPending = true;
        PrintButtons(app, "consent");
        app.consentPending = false;
        app.sessionActive = true;
        PrintButtons(app, "sharing");
        app.viewerMode = true;
        PrintButtons(app, "remote");
        app.viewerMode = false;
        app.sessionActive = false;

        if (screenWidth > 0) {
            const kl::CaptureSize sent =
                kl::ScaledCaptureSize(screenWidth, screenHeight, kl::kCaptureMaxWidth);
            const kl::FrameRect r =
                kl::FitFrame(app.clientWidth, app.clientHeight, app.scale,
                             static_cast<unsigned>(sent.width), static_cast<unsigned>(sent.height));
            std::printf("picture %.2f %.2f %.2f %.2f\n", r.left, r.top, r.width, r.height);
        }
        app.mainWindow = nullptr;
        DestroyWindow(window);
    }
    Gdiplus::GdiplusShutdown(token);
    return 0;
}
