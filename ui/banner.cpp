#include <cwchar>

#include "app/client.hpp"
#include "ui/ui.hpp"

namespace {

void PaintBanner(HWND window) {
    const UINT dpi = GetDpiForWindow(window);
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client{};
    GetClientRect(window, &client);
    const kl::unique_hbrush brush(CreateSolidBrush(RGB(0x97, 0x22, 0x2B)));
    FillRect(dc, &client, brush.get());
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0xFF, 0xFF, 0xFF));
    const kl::unique_hfont font(CreateFontW(
        -ScaleForDpi(16, dpi), 0, 0, 0, 600, FALSE, FALSE, FALSE, DEFAULT_CHARSET,
        OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"Segoe UI"));
    {
        const kl::ScopedSelect selected(dc, font.get());
        const wchar_t left[] = L"Kestrelink · Paylaşım açık";
        const wchar_t right[] = L"BAĞLANTIYI KES";
        const int x = ScaleForDpi(14, dpi), y = ScaleForDpi(14, dpi);
        TextOutW(dc, x, y, left, static_cast<int>(wcslen(left)));
        TextOutW(dc, ScaleForDpi(383, dpi), y, right, static_cast<int>(wcslen(right)));
    }
    EndPaint(window, &ps);
}

}  // namespace

HWND CreateBanner() {  // UI thread only
    HWND banner =
        CreateWindowExW(WS_EX_TOPMOST | WS_EX_TOOLWINDOW, kBannerWindowClass,
                        L"Kestrelink · Ekran paylaşımı açık", WS_POPUP | WS_BORDER, 20, 20, 610, 52,
                        nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    // Made first at the 96-DPI design so that the system tells which monitor it is on.
    const UINT dpi = banner != nullptr ? GetDpiForWindow(banner) : 96;
    if (dpi != 96)
        SetWindowPos(banner, nullptr, ScaleForDpi(20, dpi), ScaleForDpi(20, dpi),
                     ScaleForDpi(610, dpi), ScaleForDpi(52, dpi), SWP_NOZORDER | SWP_NOACTIVATE);
    return banner;
}

LRESULT CALLBACK BannerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT:
            PaintBanner(window);
            return 0;
        case WM_DPICHANGED:
            MoveToSuggestedRect(window, lParam);
            return 0;
        case WM_LBUTTONUP:
        case WM_CLOSE:
            if (g_app != nullptr && g_app->mainWindow != nullptr)
                PostMessageW(g_app->mainWindow, WM_COMMAND, kCmdDisconnect, 0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}
