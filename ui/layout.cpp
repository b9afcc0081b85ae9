#include <algorithm>

#include "app/client.hpp"
#include "ui/ui.hpp"

void SetStatus(Client& app, const std::wstring& text) {
    ExpectUiThread(app);
    app.statusText = text;
    if (app.mainWindow != nullptr) InvalidateRect(app.mainWindow, nullptr, FALSE);
    AnnounceStatus(app);
}

void LayoutControls(Client& app) {
    ExpectUiThread(app);
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
    if (show == SW_HIDE && app.mainWindow != nullptr && focus != nullptr &&
        (focus == app.idEdit || focus == app.keyEdit))
        SetFocus(app.mainWindow);
    // The edits keep using the old font until WM_SETFONT below hands them the new one.
    kl::unique_hfont previousFont = std::move(app.editFont);
    app.editFont.reset(CreateFontW(static_cast<int>(-18.0f * s), 0, 0, 0, FW_NORMAL, FALSE, FALSE,
                                   FALSE, DEFAULT_CHARSET, OUT_DEFAULT_PRECIS, CLIP_DEFAULT_PRECIS,
                                   CLEARTYPE_QUALITY, DEFAULT_PITCH, L"Segoe UI"));
    for (HWND edit : {app.idEdit, app.keyEdit})
        if (edit != nullptr)
            SendMessageW(edit, WM_SETFONT, reinterpret_cast<WPARAM>(app.editFont.get()), TRUE);
    if (app.mainWindow != nullptr) InvalidateRect(app.mainWindow, nullptr, FALSE);
    KeepFocusOnADrawnButton(app);
    AnnounceState(app);
}

void MoveToSuggestedRect(HWND window, LPARAM suggested) {
    const RECT* r = reinterpret_cast<const RECT*>(suggested);
    SetWindowPos(window, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                 SWP_NOZORDER | SWP_NOACTIVATE);
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
