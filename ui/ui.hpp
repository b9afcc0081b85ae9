#pragma once
#include <windows.h>

#include <cstdint>
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
// The connection ID as drawn: three groups of three digits, or "--- --- ---".
std::wstring DisplayedId(const std::string& id);

// The consent prompt answers only input from this user's own hands, and none in its first half
// second (a click or key already on its way is no answer).
inline constexpr std::uint64_t kConsentArmingMs = 500;
// Whether the input message being handled came from this user's own mouse (`keyboard` false)
// or keyboard: the system's origin and device type, not sent from another thread or process,
// and `virtualKey` held (`down`) or not, as the message says.
bool FromUsersHands(const Client& app, bool keyboard, int virtualKey, bool down);

// Keyboard reach (ui/keyboard.cpp). F6 and, during the consent prompt, Tab, before the loop's
// own rules; true when the message was consumed.
bool PreTranslateNavigation(Client& app, const MSG& msg);
// A key message for the main window outside the remote view; true when it was used.
bool HandleNavigationKey(Client& app, UINT message, WPARAM key, LPARAM lParam);
// The keyboard focus onto a drawn button (its ring shown), announced to assistive technology.
void FocusButton(Client& app, unsigned id);
// After a state change: the consent prompt's focus starts on "Reddet"; a button that is gone
// gives up the focus.
void KeepFocusOnADrawnButton(Client& app);

// Assistive technology (ui/accessibility.cpp). WM_GETOBJECT's answer.
LRESULT AnswerGetObject(Client& app, HWND window, WPARAM wParam, LPARAM lParam);
// WM_DESTROY: the accessible object answers no more questions about the record.
void ReleaseAccessible(Client& app);
// WinEvents for what changed since the last call (consent prompt, session) and for a status.
void AnnounceState(Client& app);
void AnnounceStatus(Client& app);
void AnnounceFocus(Client& app);

// High contrast (SPI_GETHIGHCONTRAST): read at creation and on every WM_SETTINGCHANGE.
void ReadHighContrast(Client& app);
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
