#pragma once
#include <windows.h>

#include <string>

struct Client;

// The window classes, registered by the entry point (and by tests that build the windows).
inline constexpr wchar_t kMainWindowClass[] = L"KestrelinkNative";
inline constexpr wchar_t kBannerWindowClass[] = L"KestrelinkBanner";

// The ids of the drawn buttons: a click region's id, and the WM_COMMAND that carries it.
enum Command : unsigned {
    kCmdConnect = 103,       // "Bağlantı isteği gönder"
    kCmdCopy = 104,          // "Bağlantı bilgilerini kopyala"
    kCmdToggleKey = 105,     // "Göster" / "Gizle"
    kCmdRenew = 106,         // "Yenile"
    kCmdPageRemote = 107,    // "Uzak bağlantı"
    kCmdPageSecurity = 108,  // "Güvenlik"
    kCmdAllow = 109,         // "Paylaşıma izin ver"
    kCmdRefuse = 110,        // "Reddet"
    kCmdDisconnect = 111,    // "Bağlantıyı kes", "Paylaşımı durdur" and the banner
    kCmdMinimise = 112,
    kCmdMaximise = 113,
    kCmdClose = 114,
};
inline constexpr int kIdEditId = 101;
inline constexpr int kKeyEditId = 102;
inline constexpr int kHotkeyId = 1;
inline constexpr UINT_PTR kTimerId = 1;

LRESULT CALLBACK MainWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);
LRESULT CALLBACK BannerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam);

// UI thread only.
// The message loop's own rules (Enter and Tab in the edits), applied before a message is
// translated and dispatched; true when the message was consumed.
bool PreTranslateMessage(Client& app, const MSG& msg);
void LayoutControls(Client& app);
void SetStatus(Client& app, const std::wstring& text);
void RouteCommand(Client& app, unsigned id);
void CopyCredentials(Client& app);
// Empties the clipboard when it still holds the ID and key this program put there.
void ForgetCopiedCredentials(Client& app);
void PaintWindow(Client& app, HDC dc);
// The command id of the region under a client point (pixels); the last drawn region wins, 0 for
// none.
unsigned HitTestRegions(const Client& app, int x, int y);

// Sizes that the design gives in pixels at 96 DPI, for the DPI of a window's monitor (the program
// is per-monitor aware, so nothing scales them for it).
inline constexpr int kDesignWindowWidth = 1100, kDesignWindowHeight = 720;
int ScaleForDpi(int value, UINT dpi);
// The main window's first rectangle: the design size at `dpi`, no larger than the work area and
// moved into it when it would reach past its right or bottom edge.
RECT StartupWindowRect(POINT topLeft, UINT dpi, const RECT& workArea);
// Resizes a main window just created at the design size for the DPI of the monitor it opened on.
void SizeForMonitorDpi(HWND window);
// WM_DPICHANGED: takes the rectangle the system suggests for the new DPI (in lParam).
void MoveToSuggestedRect(HWND window, LPARAM suggested);
// The minimum tracking size at the window's DPI, no larger than its monitor's work area.
POINT MinimumWindowSize(HWND window);
// The disconnect banner, placed and sized for its monitor's DPI, not yet shown.
HWND CreateBanner();
