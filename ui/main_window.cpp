#include <windows.h>
#include <commctrl.h>
#include <windowsx.h>

#include "app/client.hpp"
#include "input/forward.hpp"
#include "net/workers.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"

unsigned HitTestRegions(const Client& app, int x, int y) {
    const float lx = static_cast<float>(x) / app.scale, ly = static_cast<float>(y) / app.scale;
    unsigned hit = 0;
    for (const ClickRegion& r : app.buttons)
        if (lx >= r.x && lx < r.x + r.width && ly >= r.y && ly < r.y + r.height) hit = r.id;
    return hit;
}

namespace {

bool Viewing(const Client& app) { return app.viewerMode && app.sessionActive; }

std::int32_t ButtonOf(UINT message) {
    if (message == WM_LBUTTONDOWN || message == WM_LBUTTONUP) return 1;
    return (message == WM_RBUTTONDOWN || message == WM_RBUTTONUP) ? 2 : 3;
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
            RegisterHotKey(window, kHotkeyId, MOD_CONTROL | MOD_ALT | MOD_SHIFT | MOD_NOREPEAT, VK_F12);
            SetTimer(window, kTimerId, 500, nullptr);
            return 0;
        case WM_DESTROY:
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
            if (Viewing(app)) SendInputMessage(app, "keydown", 0, 0, 0, static_cast<std::int32_t>(wParam));
            else if (wParam == VK_ESCAPE && app.consentPending) AnswerConsent(app, false);
            return 0;
        case WM_KEYUP:
        case WM_SYSKEYUP:
            if (Viewing(app)) SendInputMessage(app, "keyup", 0, 0, 0, static_cast<std::int32_t>(wParam));
            return 0;
        case WM_KILLFOCUS:
            // Whatever is held when focus leaves would otherwise stay pressed on the host.
            if (Viewing(app))
                for (int key = 1; key <= 254; ++key)
                    if (GetAsyncKeyState(key) < 0) SendInputMessage(app, "keyup", 0, 0, 0, key);
            return 0;
        case WM_COMMAND:
            if (HIWORD(wParam) == 0) RouteCommand(app, LOWORD(wParam));
            return 0;
        case WM_TIMER:
            CheckTimers(app);
            return 0;
        case WM_CTLCOLOREDIT: {
            HDC dc = reinterpret_cast<HDC>(wParam);
            SetTextColor(dc, RGB(0x1E, 0x30, 0x28));
            SetBkColor(dc, RGB(0xF7, 0xF8, 0xF9));
            return reinterpret_cast<LRESULT>(app.editBrush);
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
            if (HitTestRegions(app, x, y) != 0 || !Viewing(app)) return 0;  // regions act on release
            SetFocus(window);
            SetCapture(window);
            SendMouseMessage(app, "down", x, y, ButtonOf(message), 0);
            return 0;
        }
        case WM_LBUTTONUP:
        case WM_RBUTTONUP:
        case WM_MBUTTONUP: {
            const int x = GET_X_LPARAM(lParam), y = GET_Y_LPARAM(lParam);
            const unsigned id = message == WM_LBUTTONUP ? HitTestRegions(app, x, y) : 0;
            if (Viewing(app) && GetCapture() == window) {
                SendMouseMessage(app, "up", x, y, ButtonOf(message), 0);
                ReleaseCapture();
            }
            if (id != 0) RouteCommand(app, id);
            return 0;
        }
        case WM_MOUSEWHEEL: {
            POINT p{GET_X_LPARAM(lParam), GET_Y_LPARAM(lParam)};
            ScreenToClient(window, &p);
            SendMouseMessage(app, "wheel", p.x, p.y, 0, GET_WHEEL_DELTA_WPARAM(wParam));
            return 0;
        }
        case WM_DPICHANGED: {
            const RECT* r = reinterpret_cast<const RECT*>(lParam);
            SetWindowPos(window, nullptr, r->left, r->top, r->right - r->left, r->bottom - r->top,
                         SWP_NOZORDER | SWP_NOACTIVATE);
            return 0;
        }
        case WM_HOTKEY:
            RenewHostId(app);
            return 0;
        case kDrainMessage:
            DrainEvents(app);
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

void RouteCommand(Client& app, unsigned id) {  // UI thread only
    switch (id) {
        case 103: SendConnectRequest(app); break;
        case 104: CopyCredentials(app); break;
        case 105:
            app.keyVisible = !app.keyVisible;
            InvalidateRect(app.mainWindow, nullptr, FALSE);
            break;
        case 106:
        case 111: RenewHostId(app); break;
        case 107:
            app.page = 0;
            LayoutControls(app);
            break;
        case 108:
            app.page = 1;
            LayoutControls(app);
            break;
        case 109: AnswerConsent(app, true); break;
        case 110: AnswerConsent(app, false); break;
        case 112: ShowWindow(app.mainWindow, SW_MINIMIZE); break;
        case 113: ShowWindow(app.mainWindow, IsZoomed(app.mainWindow) ? SW_RESTORE : SW_MAXIMIZE); break;
        case 114: SendMessageW(app.mainWindow, WM_CLOSE, 0, 0); break;
        default: break;
    }
}

void CopyCredentials(Client& app) {  // UI thread only
    if (!app.hostReady || app.viewerMode) {
        app.statusText = L"Önce yeni bağlantı ID’si oluştur.";
        InvalidateRect(app.mainWindow, nullptr, FALSE);
        return;
    }
    const std::wstring text = Utf8ToWide(app.connectionId) + L"\r\n" + Utf8ToWide(app.connectionKey);
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
        }
        if (!handedOver) GlobalFree(memory);
    }
    CloseClipboard();
    SetStatus(app, L"ID ve bağlantı anahtarı kopyalandı.");
}
