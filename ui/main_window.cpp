#include <windows.h>
#include <commctrl.h>
#include <windowsx.h>

#include <utility>

#include "app/client.hpp"
#include "crypto/secure_wipe.hpp"
#include "input/forward.hpp"
#include "net/workers.hpp"
#include "session/session.hpp"
#include "screen/frame_decoder.hpp"
#include "ui/ui.hpp"
#include "base/utf8.hpp"

unsigned HitTestRegions(const Client& app, int x, int y) {
    const float lx = static_cast<float>(x) / app.scale, ly = static_cast<float>(y) / app.scale;
    unsigned hit = 0;
    for (const ClickRegion& r : app.buttons)
        if (lx >= r.x && lx < r.x + r.width && ly >= r.y && ly < r.y + r.height) hit = r.id;
    return hit;
}

namespace {

INPUT_MESSAGE_SOURCE CurrentInputSource(const Client& app) {
    if (app.inputSource) return app.inputSource();
    INPUT_MESSAGE_SOURCE source{IMDT_UNAVAILABLE, IMO_UNAVAILABLE};
    if (!GetCurrentInputMessageSource(&source)) return {IMDT_UNAVAILABLE, IMO_UNAVAILABLE};
    return source;
}

}  // namespace

// Whether the input message being handled came from this user's own hands, the only input that
// may answer the consent prompt: a hardware origin (a device, or an assistive tool that Windows
// lets inject as one, with UIAccess) from a device of the message's kind; not sent from another
// thread or process (Windows reports such a message's origin from the last real input); and the
// button or key state agrees (`down`: held now), which a sent or posted press leaves up.
bool FromUsersHands(const Client& app, bool keyboard, int virtualKey, bool down) {
    if (InSendMessageEx(nullptr) != ISMEX_NOSEND) return false;
    const INPUT_MESSAGE_SOURCE source = CurrentInputSource(app);
    if (source.originId != IMO_HARDWARE) return false;
    const INPUT_MESSAGE_DEVICE_TYPE device = source.deviceType;
    if (keyboard ? device != IMDT_KEYBOARD
                 : device != IMDT_MOUSE && device != IMDT_TOUCH && device != IMDT_PEN &&
                       device != IMDT_TOUCHPAD)
        return false;
    return (GetKeyState(virtualKey) < 0) == down;
}

namespace {

bool Viewing(const Client& app) {
    return app.viewerMode && app.sessionActive;
}

std::int32_t ButtonOf(UINT message) {
    if (message == WM_LBUTTONDOWN || message == WM_LBUTTONUP) return 1;
    return (message == WM_RBUTTONDOWN || message == WM_RBUTTONUP) ? 2 : 3;
}

std::uint8_t ButtonBit(std::int32_t button) {
    return static_cast<std::uint8_t>(1u << (button - 1));
}

// Sends "up" for every button still held on the host, at the cursor's place (clamped onto the
// picture), when the window loses the mouse without seeing the releases.
void ReleaseForwardedButtons(Client& app, HWND window) {
    POINT p{};
    GetCursorPos(&p);
    ScreenToClient(window, &p);
    const std::uint8_t held = std::exchange(app.forwardedButtons, 0);
    for (std::int32_t button = 1; button <= 3; ++button)
        if (held & ButtonBit(button)) SendMouseMessage(app, "up", p.x, p.y, button, 0);
}

bool EditsShown(const Client& app) {
    return app.idEdit != nullptr && IsWindowVisible(app.idEdit);
}

bool IsConsentButton(unsigned id) {
    return id == kCmdAllow || id == kCmdRefuse;
}

HWND CreateEdit(HWND parent, DWORD style, int id, int limit, const wchar_t* cue) {
    HWND edit = CreateWindowExW(0, L"EDIT", L"", style, 0, 0, 1, 1, parent,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                GetModuleHandleW(nullptr), nullptr);
    SendMessageW(edit, EM_SETLIMITTEXT, static_cast<WPARAM>(limit), 0);
    SendMessageW(edit, EM_SETCUEBANNER, FALSE, reinterpret_cast<LPARAM>(cue));
    return edit;
}

LRESULT Handle(Client& app, HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_CREATE:
            app.mainWindow = window;
            app.idEdit = CreateEdit(window, WS_CHILD | WS_TABSTOP | ES_AUTOHSCROLL, kIdEditId, 11,
                                    L"123 456 789");
            app.keyEdit = CreateEdit(window, WS_CHILD | WS_TABSTOP | ES_AUTOHSCROLL | ES_PASSWORD,
                                     kKeyEditId, 52, L"Bağlantı anahtarını yapıştır");
            RegisterHotKey(window, kHotkeyId, MOD_CONTROL | MOD_ALT | MOD_SHIFT | MOD_NOREPEAT,
                           VK_F12);
            SetTimer(window, kTimerId, 500, nullptr);
            ReadHighContrast(app);
            return 0;
        case WM_DESTROY:
            ReleaseAccessible(app);
            ForgetCopiedCredentials(app);
            UnregisterHotKey(window, kHotkeyId);
            PostQuitMessage(0);
            return 0;
        case WM_SIZE:
            LayoutControls(app);
            return 0;
        case WM_PAINT: {
            PAINTSTRUCT ps;
            HDC dc = BeginPaint(window, &ps);
            PaintWindow(app, dc);
            EndPaint(window, &ps);
            return 0;
        }
        case WM_CLOSE:
            StopSession(app);
            DestroyWindow(window);
            return 0;
        case WM_ERASEBKGND:
            return 1;
        case WM_GETMINMAXINFO:
            reinterpret_cast<MINMAXINFO*>(lParam)->ptMinTrackSize = MinimumWindowSize(window);
            return 0;
        case WM_NCHITTEST: {
            LRESULT hit = DefWindowProcW(window, message, wParam, lParam);
            if (hit != HTCLIENT) return hit;
            POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            ScreenToClient(window, &p);
            const float s = app.scale;
            if (p.y < 20 * s && p.x > 185 * s && p.x < 900 * s) return HTCAPTION;
            return HTCLIENT;
        }
        case WM_KEYDOWN:
        case WM_SYSKEYDOWN:
            // Never passed on: during a session Alt, F10 or Alt+F4 act only on the host.
            if (Viewing(app))
                SendInputMessage(app, "keydown", 0, 0, 0, static_cast<std::int32_t>(wParam));
            else if (wParam == VK_ESCAPE && app.consentPending)
                AnswerConsent(app, false);
            else if (message == WM_KEYDOWN)
                HandleNavigationKey(app, message, wParam, lParam);
            return 0;
        case WM_KEYUP:
        case WM_SYSKEYUP:
            if (Viewing(app))
                SendInputMessage(app, "keyup", 0, 0, 0, static_cast<std::int32_t>(wParam));
            else if (message == WM_KEYUP)
                HandleNavigationKey(app, message, wParam, lParam);
            return 0;
        case WM_SYSCHAR:
        case WM_SYSDEADCHAR:
            // Alt+Space and Alt+letter would open the window menu; during a view every key is the
            // host's.
            if (Viewing(app)) return 0;
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_KILLFOCUS:
            // Whatever is held when focus leaves would otherwise stay pressed on the host.
            if (Viewing(app))
                for (int key = 1; key <= 254; ++key)
                    if (GetAsyncKeyState(key) < 0) SendInputMessage(app, "keyup", 0, 0, 0, key);
            // Into an edit: no drawn button holds the focus any more.
            if (!app.consentPending && app.focusId != 0 &&
                (reinterpret_cast<HWND>(wParam) == app.idEdit ||
                 reinterpret_cast<HWND>(wParam) == app.keyEdit)) {
                app.focusId = 0;
                InvalidateRect(window, nullptr, FALSE);
            }
            return 0;
        case WM_COMMAND:
            // Any process may post a command; consent is given only by a click on the button.
            if (HIWORD(wParam) == 0 && LOWORD(wParam) != kCmdAllow)
                RouteCommand(app, LOWORD(wParam));
            return 0;
        case WM_TIMER:
            CheckTimers(app);
            DrainIfStalled(app);
            return 0;
        case WM_SETTINGCHANGE:
        case WM_SYSCOLORCHANGE:
            // High contrast switched on or off, or its colours changed: the window and its
            // edits repaint with what is current.
            ReadHighContrast(app);
            LayoutControls(app);
            return DefWindowProcW(window, message, wParam, lParam);
        case WM_GETOBJECT:
            return AnswerGetObject(app, window, wParam, lParam);
        case WM_CTLCOLOREDIT: {
            HDC dc = reinterpret_cast<HDC>(wParam);
            if (app.highContrast) {
                SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
                SetBkColor(dc, GetSysColor(COLOR_WINDOW));
                return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
            }
            SetTextColor(dc, RGB(0x1E, 0x30, 0x28));
            SetBkColor(dc, RGB(0xF7, 0xF8, 0xF9));
            return reinterpret_cast<LRESULT>(app.editBrush.get());
        }
        case WM_MOUSEMOVE: {
            const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
            unsigned id = HitTestRegions(app, x, y);
            if (id != app.hoverId) {
                app.hoverId = id;
                InvalidateRect(window, nullptr, FALSE);
            }
            SetCursor(LoadCursorW(nullptr, id != 0 ? IDC_HAND : IDC_ARROW));
            if (Viewing(app)) {
                const std::uint64_t now = TickNow(app);
                if (now - app.lastMoveTick >= 21) {
                    app.lastMoveTick = now;
                    SendMouseMessage(app, "move", x, y, 1, 0);
                }
            }
            return 0;
        }
        case WM_LBUTTONDOWN:
        case WM_RBUTTONDOWN:
        case WM_MBUTTONDOWN: {
            const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
            const unsigned hit = HitTestRegions(app, x, y);
            app.consentPressId = 0;
            app.consentPressKey = 0;
            if (message == WM_LBUTTONDOWN && app.consentPending && IsConsentButton(hit) &&
                FromUsersHands(app, false, VK_LBUTTON, true) &&
                TickNow(app) - app.consentShownTick >= kConsentArmingMs)
                app.consentPressId = hit;
            if (hit != 0 || !Viewing(app)) return 0;  // regions act on release
            SetFocus(window);
            SetCapture(window);
            const std::int32_t button = ButtonOf(message);
            app.forwardedButtons |= ButtonBit(button);
            SendMouseMessage(app, "down", x, y, button, 0);
            return 0;
        }
        case WM_LBUTTONUP:
        case WM_RBUTTONUP:
        case WM_MBUTTONUP: {
            const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
            const unsigned id = message == WM_LBUTTONUP ? HitTestRegions(app, x, y) : 0;
            const std::int32_t button = ButtonOf(message);
            if (Viewing(app) && (app.forwardedButtons & ButtonBit(button))) {
                app.forwardedButtons &= static_cast<std::uint8_t>(~ButtonBit(button));
                SendMouseMessage(app, "up", x, y, button, 0);
                // The capture stays while another button is still down on the host.
                if (app.forwardedButtons == 0 && GetCapture() == window) ReleaseCapture();
            }
            if (IsConsentButton(id)) {
                // Pressed and released on the same consent button, both by real input.
                const bool counts = app.consentPending && id == app.consentPressId &&
                                    app.consentPressKey == 0 &&
                                    FromUsersHands(app, false, VK_LBUTTON, false);
                app.consentPressId = 0;
                if (counts) RouteCommand(app, id);
            } else if (id != 0) {
                RouteCommand(app, id);
            }
            return 0;
        }
        case WM_CAPTURECHANGED:
            if (reinterpret_cast<HWND>(lParam) != window && app.forwardedButtons != 0) {
                if (Viewing(app)) ReleaseForwardedButtons(app, window);
                app.forwardedButtons = 0;
            }
            return 0;
        case WM_MOUSEWHEEL: {
            POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            ScreenToClient(window, &p);
            SendMouseMessage(app, "wheel", p.x, p.y, 0, GET_WHEEL_DELTA_WPARAM(wParam));
            return 0;
        }
        case WM_DPICHANGED:
            MoveToSuggestedRect(window, lParam);
            return 0;
        case WM_HOTKEY:
            RenewHostId(app);
            return 0;
        case kDrainMessage:
            DrainEvents(app);
            return 0;
        case kl::kFrameMessage:
            ShowDecodedFrame(app);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}

}  // namespace

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (g_app == nullptr) return DefWindowProcW(window, message, wParam, lParam);
    try {
        return Handle(*g_app, window, message, wParam, lParam);
    } catch (...) {
        // Nothing thrown may cross into the system's dispatcher.
        return 0;
    }
}

bool PreTranslateMessage(Client& app, const MSG& msg) {  // UI thread only
    try {
        if (PreTranslateNavigation(app, msg)) return true;
        if (msg.message != WM_KEYDOWN || (msg.wParam != VK_RETURN && msg.wParam != VK_TAB))
            return false;
        if (msg.wParam == VK_RETURN) {
            if ((msg.hwnd != app.idEdit && msg.hwnd != app.keyEdit) || !EditsShown(app))
                return false;
            SendConnectRequest(app);
            return true;
        }
        // Tab never reaches a window, so it is never forwarded as remote input; it moves between
        // the edits only while they are on screen.
        if (EditsShown(app)) SetFocus(GetFocus() == app.idEdit ? app.keyEdit : app.idEdit);
    } catch (...) {
        // The loop runs outside the window procedure's guard; nothing may end the process here.
    }
    return true;
}

void RouteCommand(Client& app, unsigned id) {
    ExpectUiThread(app);
    switch (id) {
        case kCmdConnect:
            SendConnectRequest(app);
            break;
        case kCmdCopy:
            CopyCredentials(app);
            break;
        case kCmdToggleKey:
            app.keyVisible = !app.keyVisible;
            InvalidateRect(app.mainWindow, nullptr, FALSE);
            break;
        case kCmdRenew:
        case kCmdDisconnect:
            RenewHostId(app);
            break;
        case kCmdPageRemote:
            app.page = 0;
            LayoutControls(app);
            break;
        case kCmdPageSecurity:
            app.page = 1;
            LayoutControls(app);
            break;
        case kCmdAllow:
            AnswerConsent(app, true);
            break;
        case kCmdRefuse:
            AnswerConsent(app, false);
            break;
        case kCmdMinimise:
            ShowWindow(app.mainWindow, SW_MINIMIZE);
            break;
        case kCmdMaximise:
            ShowWindow(app.mainWindow, IsZoomed(app.mainWindow) ? SW_RESTORE : SW_MAXIMIZE);
            break;
        case kCmdClose:
            SendMessageW(app.mainWindow, WM_CLOSE, 0, 0);
            break;
        default:
            break;
    }
}

namespace {

// Keeps the key out of the clipboard history and the cloud clipboard: the formats Windows
// reads for that, each a DWORD 0 (the first one's presence alone says "do not monitor").
void ExcludeFromClipboardHistory() {
    for (const wchar_t* name : {L"ExcludeClipboardContentFromMonitorProcessing",
                                L"CanIncludeInClipboardHistory", L"CanUploadToCloudClipboard"}) {
        const UINT format = RegisterClipboardFormatW(name);
        HGLOBAL memory = format != 0 ? GlobalAlloc(GMEM_MOVEABLE, sizeof(DWORD)) : nullptr;
        if (memory == nullptr) continue;
        if (void* p = GlobalLock(memory)) {
            *static_cast<DWORD*>(p) = 0;
            GlobalUnlock(memory);
            if (SetClipboardData(format, memory) != nullptr) continue;
        }
        GlobalFree(memory);
    }
}

}  // namespace

void ForgetCopiedCredentials(Client& app) {  // UI thread only
    if (app.copiedClipboardSequence == 0) return;
    // Only our own copy: anything copied since belongs to the user.
    if (GetClipboardSequenceNumber() == app.copiedClipboardSequence &&
        OpenClipboard(app.mainWindow)) {
        EmptyClipboard();
        CloseClipboard();
    }
    app.copiedClipboardSequence = 0;
}

void CopyCredentials(Client& app) {  // UI thread only
    if (!app.hostReady || app.viewerMode) {
        app.statusText = L"Önce yeni bağlantı ID’si oluştur.";
        InvalidateRect(app.mainWindow, nullptr, FALSE);
        return;
    }
    // One buffer holds the only copy of the key outside the record; it is wiped on the way out,
    // and so is the global memory when the clipboard did not take it.
    std::wstring text;
    text.reserve(app.connectionId.size() + 2 + app.connectionKey.size() + 1);
    kl::AppendAsciiWide(text, app.connectionId);
    text += L"\r\n";
    kl::AppendAsciiWide(text, app.connectionKey);
    const kl::ScopedWipe wipeText(text.data(), text.size() * sizeof(wchar_t));
    if (!OpenClipboard(app.mainWindow)) return;
    EmptyClipboard();
    const SIZE_T bytes = (text.size() + 1) * sizeof(wchar_t);
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, bytes);
    bool handedOver = false;
    if (memory != nullptr) {
        if (void* p = GlobalLock(memory)) {
            memcpy(p, text.c_str(), bytes);
            GlobalUnlock(memory);
            handedOver = SetClipboardData(CF_UNICODETEXT, memory) != nullptr;
            if (!handedOver && (p = GlobalLock(memory)) != nullptr) {
                kl::SecureWipe(p, bytes);
                GlobalUnlock(memory);
            }
        }
        if (!handedOver) GlobalFree(memory);
    }
    if (handedOver) ExcludeFromClipboardHistory();
    CloseClipboard();
    if (handedOver) app.copiedClipboardSequence = GetClipboardSequenceNumber();
    SetStatus(app, L"ID ve bağlantı anahtarı kopyalandı.");
}
