// The main window procedure in this process: messages sent to a real window of the program's
// class, with the record inspected directly.
#include <windows.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <thread>

#include "app/client.hpp"
#include "net/transport.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"
#include "render.hpp"
#include "window_fixture.hpp"

namespace {

class MainWindow : public kltest::ProgramWindow {
  protected:
    void SetUp() override {
        ProgramWindow::SetUp();
        // Record the click regions the way a paint would.
        HDC dc = GetDC(window);
        PaintWindow(app, dc);
        ReleaseDC(window, dc);
    }
    bool Invalidated() {
        RECT r{};
        const bool dirty = GetUpdateRect(window, &r, FALSE) != FALSE;
        ValidateRect(window, nullptr);
        return dirty;
    }
};

}  // namespace

TEST_F(MainWindow, CreatesBothEditsWithTheirLimitsAndAMinimumSize) {
    ASSERT_NE(app.idEdit, nullptr);
    ASSERT_NE(app.keyEdit, nullptr);
    EXPECT_EQ(GetDlgCtrlID(app.idEdit), 101);
    EXPECT_EQ(GetDlgCtrlID(app.keyEdit), 102);
    EXPECT_EQ(SendMessageW(app.idEdit, EM_GETLIMITTEXT, 0, 0), 11);
    EXPECT_EQ(SendMessageW(app.keyEdit, EM_GETLIMITTEXT, 0, 0), 52);
    EXPECT_TRUE(GetWindowLongW(app.keyEdit, GWL_STYLE) & ES_PASSWORD);
    MINMAXINFO info{};
    SendMessageW(window, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, 1000);
    EXPECT_EQ(info.ptMinTrackSize.y, 660);
    EXPECT_EQ(SendMessageW(window, WM_ERASEBKGND, 0, 0), 1);
}

TEST_F(MainWindow, HoverRepaintsOnlyWhenTheHoveredRegionChanges) {
    Invalidated();
    SendMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(300, 450));  // on the copy button
    EXPECT_EQ(app.hoverId, 104u);
    EXPECT_TRUE(Invalidated());
    SendMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(301, 450));
    EXPECT_FALSE(Invalidated()) << "one pixel further on the same button";
    SendMessageW(window, WM_MOUSEMOVE, 0, MAKELPARAM(1060, 300));
    EXPECT_EQ(app.hoverId, 0u);
    EXPECT_TRUE(Invalidated());
}

TEST_F(MainWindow, ClicksActOnReleaseAndEscapeOnlyRejectsAPendingRequest) {
    SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(100, 200));  // "Güvenlik"
    EXPECT_EQ(app.page, 0u) << "nothing happens on the press";
    SendMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(100, 200));
    EXPECT_EQ(app.page, 1u);
    EXPECT_FALSE(IsWindowVisible(app.idEdit)) << "the edits belong to the first page";
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(107, EN_CHANGE), 0);
    EXPECT_EQ(app.page, 1u) << "notifications are not commands";
    SendMessageW(window, WM_COMMAND, MAKEWPARAM(107, 0), 0);
    EXPECT_EQ(app.page, 0u);

    SendMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_FALSE(app.consentPending);
    app.consentPending = true;
    app.consentDeadline = GetTickCount64() + 35000;
    SendMessageW(window, WM_KEYDOWN, 'A', 0);
    EXPECT_TRUE(app.consentPending) << "other keys do nothing";
    SendMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_FALSE(app.consentPending) << "Escape rejects the request";
    EXPECT_FALSE(app.consentGiven);
}

TEST_F(MainWindow, CopyBeforeRegistrationOnlyExplains) {
    SendMessageW(window, WM_COMMAND, 104, 0);
    EXPECT_EQ(app.statusText, L"Önce yeni bağlantı ID’si oluştur.");
}

TEST_F(MainWindow, CopyAfterRegistrationPutsIdCrLfKeyOnTheClipboard) {
    app.connectionId = "482915037";
    app.connectionKey = "ABCDEFGHIJKLMNOPQRSTUVWXY4";
    app.hostReady = true;
    SendMessageW(window, WM_COMMAND, 104, 0);
    EXPECT_EQ(app.statusText, L"ID ve bağlantı anahtarı kopyalandı.");
    ASSERT_TRUE(OpenClipboard(window));
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    std::wstring text;
    if (data != nullptr) {
        text = static_cast<const wchar_t*>(GlobalLock(data));
        GlobalUnlock(data);
    }
    CloseClipboard();
    EXPECT_EQ(text, L"482915037\r\nABCDEFGHIJKLMNOPQRSTUVWXY4");

    app.viewerMode = true;  // a viewer has no credentials of its own to hand out
    SendMessageW(window, WM_COMMAND, 104, 0);
    EXPECT_EQ(app.statusText, L"Önce yeni bağlantı ID’si oluştur.");
}

TEST_F(MainWindow, TabMovesOnlyBetweenVisibleEditsAndAHiddenEditGivesUpTheFocus) {
    const MSG tab{app.idEdit, WM_KEYDOWN, VK_TAB, 0, 0, {}};
    SetFocus(app.idEdit);
    EXPECT_TRUE(PreTranslateMessage(app, tab));
    EXPECT_EQ(GetFocus(), app.keyEdit);
    EXPECT_TRUE(PreTranslateMessage(app, tab));
    EXPECT_EQ(GetFocus(), app.idEdit);

    // The consent prompt hides the edits: the focus must come back to the window, where Escape
    // refuses, and Tab must not put it into a hidden edit again.
    app.consentPending = true;
    LayoutControls(app);
    EXPECT_FALSE(IsWindowVisible(app.idEdit));
    EXPECT_EQ(GetFocus(), window);
    EXPECT_TRUE(PreTranslateMessage(app, tab)) << "Tab is still never dispatched";
    EXPECT_EQ(GetFocus(), window);
    const MSG enter{app.idEdit, WM_KEYDOWN, VK_RETURN, 0, 0, {}};
    EXPECT_FALSE(PreTranslateMessage(app, enter))
        << "Enter aimed at a hidden edit sends no request";
    EXPECT_FALSE(app.viewerMode);
}

TEST_F(MainWindow, TheCopiedKeyStaysOutOfClipboardHistoryAndIsTakenBackOnRenewal) {
    app.relayUrl = L"ws://127.0.0.1:9/ws";
    app.connectionId = "482915037";
    app.connectionKey = "ABCDEFGHIJKLMNOPQRSTUVWXY4";
    app.hostReady = true;
    SendMessageW(window, WM_COMMAND, 104, 0);
    ASSERT_TRUE(OpenClipboard(window));
    for (const wchar_t* name : {L"CanIncludeInClipboardHistory", L"CanUploadToCloudClipboard"}) {
        HANDLE data = GetClipboardData(RegisterClipboardFormatW(name));
        ASSERT_NE(data, nullptr) << "no " << testing::PrintToString(std::wstring(name));
        EXPECT_EQ(*static_cast<const DWORD*>(GlobalLock(data)), 0u);
        GlobalUnlock(data);
    }
    EXPECT_TRUE(IsClipboardFormatAvailable(
        RegisterClipboardFormatW(L"ExcludeClipboardContentFromMonitorProcessing")));
    CloseClipboard();

    SendMessageW(window, WM_COMMAND, 106, 0);  // "Yenile"
    EXPECT_FALSE(IsClipboardFormatAvailable(CF_UNICODETEXT)) << "the old key left the clipboard";

    // Something the user copied after ours is theirs: a renewal leaves it alone.
    app.hostReady = true;
    SendMessageW(window, WM_COMMAND, 104, 0);
    ASSERT_TRUE(OpenClipboard(window));
    EmptyClipboard();
    const wchar_t mine[] = L"kullanıcının metni";
    HGLOBAL memory = GlobalAlloc(GMEM_MOVEABLE, sizeof mine);
    memcpy(GlobalLock(memory), mine, sizeof mine);
    GlobalUnlock(memory);
    SetClipboardData(CF_UNICODETEXT, memory);
    CloseClipboard();
    SendMessageW(window, WM_COMMAND, 106, 0);
    EXPECT_TRUE(IsClipboardFormatAvailable(CF_UNICODETEXT));
    StopSession(app);
}

TEST_F(MainWindow, ConsentIsGivenOnlyByARealClickNeverByACommandOrASynthesisedOne) {
    app.connectionKey = "ABCDEFGHIJKLMNOPQRSTUVWXY4";
    app.consentPending = true;
    app.consentShownTick = GetTickCount64() - 5000;  // armed long ago
    app.consentDeadline = GetTickCount64() + 35000;
    LayoutControls(app);
    HDC dc = GetDC(window);
    PaintWindow(app, dc);  // only the panel's two buttons are regions now
    ReleaseDC(window, dc);
    SendMessageW(window, WM_COMMAND, 109, 0);
    EXPECT_TRUE(app.consentPending) << "a posted command accepted";
    // "Paylaşıma izin ver" at (579, 421, 248, 45): a press and release that another process sent.
    SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(700, 440));
    SendMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(700, 440));
    EXPECT_TRUE(app.consentPending) << "sent mouse messages accepted";
    // A click synthesised with SendInput arrives marked as injected.
    POINT p{700, 440};
    ClientToScreen(window, &p);
    SetCursorPos(p.x, p.y);
    INPUT click[2] = {};
    click[0].type = click[1].type = INPUT_MOUSE;
    click[0].mi.dwFlags = MOUSEEVENTF_LEFTDOWN;
    click[1].mi.dwFlags = MOUSEEVENTF_LEFTUP;
    SendInput(2, click, sizeof(INPUT));
    MSG msg;
    for (int i = 0; i < 20; ++i) {
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
        Sleep(20);
    }
    EXPECT_TRUE(app.consentPending) << "an injected click accepted";
    SendMessageW(window, WM_COMMAND, 110, 0);
    EXPECT_FALSE(app.consentPending) << "refusing by command is still possible";
    EXPECT_FALSE(app.consentGiven);

    // Inside a message sent right after real input, Windows reports that input's origin; only
    // the device type, "unavailable", tells the message apart. The origin alone let it answer.
    app.transport = std::make_shared<kl::Transport>();  // an answer has somewhere to go
    app.networkRunning = true;
    app.consentPending = true;
    app.consentDeadline = GetTickCount64() + 35000;
    LayoutControls(app);
    dc = GetDC(window);
    PaintWindow(app, dc);
    ReleaseDC(window, dc);
    auto pump = [&] {
        for (int i = 0; i < 20; ++i) {
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
            Sleep(10);
        }
    };
    app.inputSource = [] { return INPUT_MESSAGE_SOURCE{IMDT_UNAVAILABLE, IMO_HARDWARE}; };
    SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(700, 440));
    SendMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(700, 440));
    EXPECT_TRUE(app.consentPending) << "a click sent right after real input accepted";
    // Even a source that names the mouse does not make a click sent from another thread, or a
    // posted one, an answer: neither holds the button down, and the first is a send.
    app.inputSource = [] { return INPUT_MESSAGE_SOURCE{IMDT_MOUSE, IMO_HARDWARE}; };
    std::atomic<bool> sent{false};
    std::thread other([&] {
        SendMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(700, 440));
        SendMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(700, 440));
        sent = true;
    });
    while (!sent) pump();  // answers the sends
    other.join();
    EXPECT_TRUE(app.consentPending) << "a click sent from another thread accepted";
    PostMessageW(window, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(700, 440));
    PostMessageW(window, WM_LBUTTONUP, 0, MAKELPARAM(700, 440));
    pump();
    EXPECT_TRUE(app.consentPending) << "a posted click accepted";
    // Windows reports the origin "hardware" for the devices and for assistive tools with
    // UIAccess: with SendInput standing in for such a hand, its click still answers.
    app.inputSource = [] {
        INPUT_MESSAGE_SOURCE source{IMDT_UNAVAILABLE, IMO_UNAVAILABLE};
        GetCurrentInputMessageSource(&source);
        if (source.originId == IMO_INJECTED) source.originId = IMO_HARDWARE;
        return source;
    };
    SendInput(2, click, sizeof(INPUT));
    pump();
    EXPECT_FALSE(app.consentPending) << "a click from the user's hands is still an answer";
    EXPECT_TRUE(app.consentGiven);
    StopSession(app);
}

TEST_F(MainWindow, KeyboardReachesTheButtonsWithARingAndHighContrastFollowsTheSetting) {
    // F6 from the edits into the buttons, in drawing order: "Uzak bağlantı", "Güvenlik",
    // "Göster", then the copy button; its ring shows; Escape goes back to the edits.
    SetFocus(app.idEdit);
    EXPECT_TRUE(PreTranslateMessage(app, MSG{app.idEdit, WM_KEYDOWN, VK_F6, 0, 0, {}}));
    EXPECT_EQ(app.focusId, 107u);
    for (int i = 0; i < 3; ++i) SendMessageW(window, WM_KEYDOWN, VK_DOWN, 0);
    EXPECT_EQ(app.focusId, 104u);
    const std::uint32_t ring = kltest::Rendered(app, 1080, 680).At(244, 454);
    app.focusRingShown = false;  // as for someone who never used the keyboard
    EXPECT_EQ(kltest::Rendered(app, 1080, 680).At(244, 454), 0xFFFFFFu) << "no ring, the card";
    EXPECT_LT((ring & 0xFF) + (ring >> 8 & 0xFF) + (ring >> 16 & 0xFF), 3u * 0x80) << "a ring";
    app.focusRingShown = true;
    SendMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_EQ(app.focusId, 0u);
    EXPECT_EQ(GetFocus(), app.idEdit);

    // High contrast on and off again, each followed at WM_SETTINGCHANGE: the system colours
    // replace the design's.
    HKEY key = nullptr;
    ASSERT_EQ(RegCreateKeyExW(HKEY_CURRENT_USER, L"Control Panel\\Accessibility\\HighContrast", 0,
                              nullptr, 0, KEY_SET_VALUE, nullptr, &key, nullptr),
              ERROR_SUCCESS);
    const wchar_t on[] = L"127";
    RegSetValueExW(key, L"Flags", 0, REG_SZ, reinterpret_cast<const BYTE*>(on), sizeof on);
    SendMessageW(window, WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
    EXPECT_TRUE(app.highContrast);
    const COLORREF surface = GetSysColor(COLOR_WINDOW), face = GetSysColor(COLOR_BTNFACE);
    auto rgb = [](COLORREF c) {
        return (GetRValue(c) << 16u) | (GetGValue(c) << 8u) | GetBValue(c);
    };
    const kltest::Rendered contrast(app, 1080, 680);
    EXPECT_EQ(contrast.At(90, 400), rgb(surface)) << "the sidebar";
    EXPECT_EQ(contrast.At(530, 440), rgb(face)) << "a button";
    RegDeleteValueW(key, L"Flags");
    RegCloseKey(key);
    SendMessageW(window, WM_SETTINGCHANGE, SPI_SETHIGHCONTRAST, 0);
    EXPECT_FALSE(app.highContrast);
    EXPECT_EQ(kltest::Rendered(app, 1080, 680).At(90, 400), 0x172821u);
}
