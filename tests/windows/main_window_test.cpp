// The main window procedure in this process: messages sent to a real window of the program's
// class, with the record inspected directly.
#include <windows.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include "app/client.hpp"
#include "ui/ui.hpp"

namespace {

class MainWindow : public ::testing::Test {
protected:
    void SetUp() override {
        WNDCLASSEXW wc{};
        wc.cbSize = sizeof wc;
        wc.lpfnWndProc = MainWindowProc;
        wc.hInstance = GetModuleHandleW(nullptr);
        wc.lpszClassName = L"KestrelinkNativeTest";
        RegisterClassExW(&wc);
        g_app = &app_;
        window_ = CreateWindowExW(0, L"KestrelinkNativeTest", L"Kestrelink Native", WS_POPUP | WS_VISIBLE, 0, 0, 1080, 680, nullptr,
                                  nullptr, wc.hInstance, nullptr);
        LayoutControls(app_);
        // Record the click regions the way a paint would.
        HDC dc = GetDC(window_);
        PaintWindow(app_, dc);
        ReleaseDC(window_, dc);
    }
    void TearDown() override {
        DestroyWindow(window_);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
        g_app = nullptr;
    }
    bool Invalidated() {
        RECT r{};
        const bool dirty = GetUpdateRect(window_, &r, FALSE) != FALSE;
        ValidateRect(window_, nullptr);
        return dirty;
    }
    Client app_;
    HWND window_ = nullptr;
};

}  // namespace

TEST_F(MainWindow, CreatesBothEditsWithTheirLimitsAndAMinimumSize) {
    ASSERT_NE(app_.idEdit, nullptr);
    ASSERT_NE(app_.keyEdit, nullptr);
    EXPECT_EQ(GetDlgCtrlID(app_.idEdit), 101);
    EXPECT_EQ(GetDlgCtrlID(app_.keyEdit), 102);
    EXPECT_EQ(SendMessageW(app_.idEdit, EM_GETLIMITTEXT, 0, 0), 11);
    EXPECT_EQ(SendMessageW(app_.keyEdit, EM_GETLIMITTEXT, 0, 0), 52);
    EXPECT_TRUE(GetWindowLongW(app_.keyEdit, GWL_STYLE) & ES_PASSWORD);
    MINMAXINFO info{};
    SendMessageW(window_, WM_GETMINMAXINFO, 0, reinterpret_cast<LPARAM>(&info));
    EXPECT_EQ(info.ptMinTrackSize.x, 1000);
    EXPECT_EQ(info.ptMinTrackSize.y, 660);
    EXPECT_EQ(SendMessageW(window_, WM_ERASEBKGND, 0, 0), 1);
}

TEST_F(MainWindow, HoverRepaintsOnlyWhenTheHoveredRegionChanges) {
    Invalidated();
    SendMessageW(window_, WM_MOUSEMOVE, 0, MAKELPARAM(300, 450));  // on the copy button
    EXPECT_EQ(app_.hoverId, 104u);
    EXPECT_TRUE(Invalidated());
    SendMessageW(window_, WM_MOUSEMOVE, 0, MAKELPARAM(301, 450));
    EXPECT_FALSE(Invalidated()) << "one pixel further on the same button";
    SendMessageW(window_, WM_MOUSEMOVE, 0, MAKELPARAM(1060, 300));
    EXPECT_EQ(app_.hoverId, 0u);
    EXPECT_TRUE(Invalidated());
}

TEST_F(MainWindow, ClicksActOnReleaseAndEscapeOnlyRejectsAPendingRequest) {
    SendMessageW(window_, WM_LBUTTONDOWN, MK_LBUTTON, MAKELPARAM(100, 200));  // "Güvenlik"
    EXPECT_EQ(app_.page, 0u) << "nothing happens on the press";
    SendMessageW(window_, WM_LBUTTONUP, 0, MAKELPARAM(100, 200));
    EXPECT_EQ(app_.page, 1u);
    EXPECT_FALSE(IsWindowVisible(app_.idEdit)) << "the edits belong to the first page";
    SendMessageW(window_, WM_COMMAND, MAKEWPARAM(107, EN_CHANGE), 0);
    EXPECT_EQ(app_.page, 1u) << "notifications are not commands";
    SendMessageW(window_, WM_COMMAND, MAKEWPARAM(107, 0), 0);
    EXPECT_EQ(app_.page, 0u);

    SendMessageW(window_, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_FALSE(app_.consentPending);
    app_.consentPending = true;
    app_.consentDeadline = GetTickCount64() + 35000;
    SendMessageW(window_, WM_KEYDOWN, 'A', 0);
    EXPECT_TRUE(app_.consentPending) << "other keys do nothing";
    SendMessageW(window_, WM_KEYDOWN, VK_ESCAPE, 0);
    EXPECT_FALSE(app_.consentPending) << "Escape rejects the request";
    EXPECT_FALSE(app_.consentGiven);
}

TEST_F(MainWindow, CopyBeforeRegistrationOnlyExplains) {
    SendMessageW(window_, WM_COMMAND, 104, 0);
    EXPECT_EQ(app_.statusText, L"Önce yeni bağlantı ID’si oluştur.");
}

TEST_F(MainWindow, CopyAfterRegistrationPutsIdCrLfKeyOnTheClipboard) {
    app_.connectionId = "482915037";
    app_.connectionKey = "ABCDEFGHIJKLMNOPQRSTUVWXY4";
    app_.hostReady = true;
    SendMessageW(window_, WM_COMMAND, 104, 0);
    EXPECT_EQ(app_.statusText, L"ID ve bağlantı anahtarı kopyalandı.");
    ASSERT_TRUE(OpenClipboard(window_));
    HANDLE data = GetClipboardData(CF_UNICODETEXT);
    std::wstring text;
    if (data != nullptr) {
        text = static_cast<const wchar_t*>(GlobalLock(data));
        GlobalUnlock(data);
    }
    CloseClipboard();
    EXPECT_EQ(text, L"482915037\r\nABCDEFGHIJKLMNOPQRSTUVWXY4");

    app_.viewerMode = true;  // a viewer has no credentials of its own to hand out
    SendMessageW(window_, WM_COMMAND, 104, 0);
    EXPECT_EQ(app_.statusText, L"Önce yeni bağlantı ID’si oluştur.");
}
