#include <algorithm>

#include "app/client.hpp"
#include "ui/ui.hpp"

void SetStatus(Client& app, const std::wstring& text) {  // UI thread only
    app.statusText = text;
    if (app.mainWindow != nullptr) InvalidateRect(app.mainWindow, nullptr, FALSE);
}

void LayoutControls(Client& app) {  // UI thread only
    RECT client{};
    GetClientRect(app.mainWindow, &client);
    app.clientWidth = client.right;
    app.clientHeight = client.bottom;
    app.scale = std::min(static_cast<float>(app.clientHeight) / 680.0f,
                         static_cast<float>(app.clientWidth) / 1080.0f);
    const bool remoteView = app.viewerMode && app.sessionActive;
    const int show = (app.page == 0 && !app.consentPending && !remoteView) ? SW_SHOW : SW_HIDE;
    const float s = app.scale;
    auto px = [s](float v) { return static_cast<int>(v * s); };
    if (app.idEdit != nullptr) {
        ShowWindow(app.idEdit, show);
        MoveWindow(app.idEdit, px(693), px(271), px(290), px(28), TRUE);
    }
    if (app.keyEdit != nullptr) {
        ShowWindow(app.keyEdit, show);
        MoveWindow(app.keyEdit, px(693), px(364), px(290), px(28), TRUE);
    }
    // A hidden edit keeps the focus it had: keys would go to it instead of the window (no remote
    // input, no Escape at the consent prompt).
    const HWND focus = GetFocus();
    if (show == SW_HIDE && app.mainWindow != nullptr && focus != nullptr && (focus == app.idEdit || focus == app.keyEdit))
        SetFocus(app.mainWindow);
    if (app.editFont != nullptr) DeleteObject(app.editFont);
    app.editFont = CreateFontW(static_cast<int>(-18.0f * s), 0, 0, 0, FW_NORMAL, FALSE, FALSE, FALSE,
                               DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                               CLEARTYPE_QUALITY, DEFAULT_PITCH, L"Segoe UI");
    for (HWND edit : {app.idEdit, app.keyEdit})
        if (edit != nullptr) SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(app.editFont), TRUE);
    if (app.mainWindow != nullptr) InvalidateRect(app.mainWindow, nullptr, FALSE);
}

int ScaleForDpi(int value, UINT dpi) {
    return MulDiv(value, static_cast<int>(dpi), 96);
}

RECT StartupWindowRect(POINT topLeft, UINT dpi, const RECT& workArea) {
    const LONG width =
        std::min<LONG>(ScaleForDpi(kDesignWindowWidth, dpi), workArea.right - workArea.left);
    const LONG height =
        std::min<LONG>(ScaleForDpi(kDesignWindowHeight, dpi), workArea.bottom - workArea.top);
    const LONG left = std::max(std::min(topLeft.x, workArea.right - width), workArea.left);
    const LONG top = std::max(std::min(topLeft.y, workArea.bottom - height), workArea.top);
    return RECT{left, top, left + width, top + height};
}

namespace {

RECT WorkAreaOf(HWND window) {
    MONITORINFO info{};
    info.cbSize = sizeof info;
    GetMonitorInfoW(MonitorFromWindow(window, MONITOR_DEFAULTTONEAREST), &info);
    return info.rcWork;
}

}  // namespace

void SizeForMonitorDpi(HWND window) {  // UI thread only
    RECT now{};
    GetWindowRect(window, &now);
    const RECT r =
        StartupWindowRect(POINT{now.left, now.top}, GetDpiForWindow(window), WorkAreaOf(window));
    if (!EqualRect(&r, &now))
        SetWindowPos(window, nullptr, r.left, r.top, r.right - r.left, r.bottom - r.top,
                     SWP_NOZORDER | SWP_NOACTIVATE);
}

POINT MinimumWindowSize(HWND window) {
    const UINT dpi = GetDpiForWindow(window);
    const RECT work = WorkAreaOf(window);
    return POINT{std::min<LONG>(ScaleForDpi(1000, dpi), work.right - work.left),
                 std::min<LONG>(ScaleForDpi(660, dpi), work.bottom - work.top)};
}

std::wstring Utf8ToWide(const std::string& text) {
    if (text.empty()) return {};
    const int length = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0);
    if (length <= 0) return {};
    std::wstring wide(static_cast<std::size_t>(length), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), length);
    return wide;
}

std::string WideToUtf8(const std::wstring& text) {
    if (text.empty()) return {};
    const int length = WideCharToMultiByte(CP_UTF8, WC_ERR_INVALID_CHARS, text.data(),
                                           static_cast<int>(text.size()), nullptr, 0, nullptr, nullptr);
    if (length <= 0) return {};
    std::string narrow(static_cast<std::size_t>(length), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), length,
                        nullptr, nullptr);
    return narrow;
}

void AppendAsciiWide(std::wstring& out, const std::string& ascii) {
    for (const char c : ascii) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
}
