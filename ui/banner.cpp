#include <cwchar>

#include "app/client.hpp"
#include "ui/ui.hpp"

namespace {

void PaintBanner(HWND window) {
    PAINTSTRUCT ps;
    HDC dc = BeginPaint(window, &ps);
    RECT client{};
    GetClientRect(window, &client);
    HBRUSH brush = CreateSolidBrush(RGB(0x97, 0x22, 0x2B));
    FillRect(dc, &client, brush);
    SetBkMode(dc, TRANSPARENT);
    SetTextColor(dc, RGB(0xFF, 0xFF, 0xFF));
    HFONT font = CreateFontW(-16, 0, 0, 0, 600, FALSE, FALSE, FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS,
                             CLIP_DEFAULT_PRECIS, DEFAULT_QUALITY, DEFAULT_PITCH, L"Segoe UI");
    HGDIOBJ previous = SelectObject(dc, font);
    const wchar_t left[] = L"Kestrelink · Paylaşım açık";
    const wchar_t right[] = L"BAĞLANTIYI KES";
    TextOutW(dc, 14, 14, left, static_cast<int>(wcslen(left)));
    TextOutW(dc, 383, 14, right, static_cast<int>(wcslen(right)));
    SelectObject(dc, previous);
    DeleteObject(font);
    DeleteObject(brush);
    EndPaint(window, &ps);
}

}  // namespace

LRESULT CALLBACK BannerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_PAINT:
            PaintBanner(window);
            return 0;
        case WM_LBUTTONUP:
        case WM_CLOSE:
            if (g_app != nullptr && g_app->mainWindow != nullptr)
                PostMessageW(g_app->mainWindow, WM_COMMAND, 111, 0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}
