// The window as assistive technology reads it: AccessibleObjectFromWindow in this process (the
// window's own, as in the program), every page's children against what the paint drew, the
// default actions, and the WinEvents that announce changes.
#include <windows.h>
#include <oleacc.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <utility>
#include <vector>

#include "app/client.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"
#include "program_process.hpp"
#include "window_fixture.hpp"

namespace {

struct Child {
    std::wstring name, value;
    long role = 0, state = 0;
};

std::vector<std::pair<DWORD, LONG>> g_events;  // (event, child) raised for the test window
HWND g_watched = nullptr;

void CALLBACK RecordEvent(HWINEVENTHOOK, DWORD event, HWND window, LONG object, LONG child, DWORD,
                          DWORD) {
    if (window == g_watched && object == OBJID_CLIENT) g_events.emplace_back(event, child);
}

class Accessible : public kltest::ProgramWindow {
  protected:
    void SetUp() override {
        CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
        ProgramWindow::SetUp();
        app.connectionId = "482915037";
        app.connectionKey = "ABCDEFGHIJKLMNOPQRSTUVWXY4";
        app.hostReady = true;
        app.statusText = L"Bağlantıya hazır";
        g_watched = window;
        g_events.clear();
        hook = SetWinEventHook(EVENT_MIN, EVENT_MAX, nullptr, RecordEvent, GetCurrentProcessId(), 0,
                               WINEVENT_OUTOFCONTEXT);
    }
    void TearDown() override {
        if (object != nullptr) object->Release();
        UnhookWinEvent(hook);
        StopSession(app);
        ProgramWindow::TearDown();
        CoUninitialize();
    }
    void Pump() {
        MSG msg;
        for (int i = 0; i < 5; ++i) {
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
            Sleep(10);
        }
    }
    // Lays out and paints the state set, then reads every child through the client object.
    std::vector<Child> Read() {
        LayoutControls(app);
        HDC dc = GetDC(window);
        PaintWindow(app, dc);
        ReleaseDC(window, dc);
        Pump();
        if (object == nullptr) {
            EXPECT_EQ(AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT),
                                                 __uuidof(IAccessible),
                                                 reinterpret_cast<void**>(&object)),
                      S_OK);
        }
        std::vector<Child> children;
        long count = 0;
        if (object == nullptr || object->get_accChildCount(&count) != S_OK) return children;
        for (long i = 1; i <= count; ++i) {
            Child c;
            const VARIANT id = Id(i);
            BSTR text = nullptr;
            if (object->get_accName(id, &text) == S_OK) c.name = text;
            SysFreeString(text);
            text = nullptr;
            if (object->get_accValue(id, &text) == S_OK) c.value = text;
            SysFreeString(text);
            VARIANT v{};
            if (object->get_accRole(id, &v) == S_OK) c.role = v.lVal;
            if (object->get_accState(id, &v) == S_OK) c.state = v.lVal;
            children.push_back(c);
        }
        return children;
    }
    static VARIANT Id(long child) {
        VARIANT v{};
        v.vt = VT_I4;
        v.lVal = child;
        return v;
    }
    // The children after the texts: one push button per drawn region, named by its label
    // (the window buttons' glyphs by the names Windows gives them), in drawing order.
    void ExpectButtonsAsDrawn(const std::vector<Child>& children, std::size_t texts) {
        ASSERT_EQ(children.size(), texts + app.buttons.size());
        for (std::size_t i = 0; i < app.buttons.size(); ++i) {
            const ClickRegion& r = app.buttons[i];
            const Child& c = children[texts + i];
            const std::wstring name = r.id == kCmdMinimise   ? L"Simge durumuna küçült"
                                      : r.id == kCmdMaximise ? L"Ekranı kapla"
                                      : r.id == kCmdClose    ? L"Kapat"
                                                             : r.label;
            EXPECT_EQ(c.name, name);
            EXPECT_EQ(c.role, ROLE_SYSTEM_PUSHBUTTON) << testing::PrintToString(name);
        }
        for (std::size_t i = 0; i < texts; ++i)
            EXPECT_EQ(children[i].role, ROLE_SYSTEM_STATICTEXT) << i;
    }
    long ChildOf(unsigned id) {
        for (std::size_t i = 0; i < app.buttons.size(); ++i)
            if (app.buttons[i].id == id)
                return static_cast<long>(i + 1 + (children.size() - app.buttons.size()));
        return -1;
    }
    bool Raised(DWORD event, LONG child) {
        Pump();
        for (const auto& e : g_events)
            if (e.first == event && e.second == child) return true;
        return false;
    }
    IAccessible* object = nullptr;
    HWINEVENTHOOK hook = nullptr;
    std::vector<Child> children;
};

}  // namespace

TEST_F(Accessible, EveryPageReadsAsDrawnAndTheDefaultActionsPressAsAClickWould) {
    // Start: the ID, the key hidden, the status line, then the buttons.
    children = Read();
    ASSERT_GE(children.size(), 3u);
    EXPECT_EQ(children[0].name, L"Bağlantı ID’niz: 482 915 037");
    EXPECT_EQ(children[0].value, L"482 915 037");
    EXPECT_EQ(children[1].value, L"gizli");
    EXPECT_EQ(children[2].name, L"Bağlantıya hazır");
    ExpectButtonsAsDrawn(children, 3);
    ASSERT_EQ(object->accDoDefaultAction(Id(ChildOf(kCmdToggleKey))), S_OK);
    children = Read();
    EXPECT_EQ(children[1].value, L"ABCDEFGHIJKLMNOPQRSTUVWXY4") << "shown when \"Göster\" is";
    EXPECT_EQ(children[ChildOf(kCmdToggleKey) - 1].name, L"Gizle");

    // A status change is announced on the status line's child.
    SetStatus(app, L"ID ve bağlantı anahtarı kopyalandı.");
    EXPECT_TRUE(Raised(EVENT_OBJECT_NAMECHANGE, 3));

    // The viewer's form after a request went out, and the security page.
    app.viewerMode = true;
    children = Read();
    ExpectButtonsAsDrawn(children, 3);
    app.viewerMode = false;
    app.page = 1;
    children = Read();
    EXPECT_EQ(children[0].name, L"ID ve bağlantı anahtarı kopyalandı.");
    ExpectButtonsAsDrawn(children, 1);
    app.page = 0;

    // Consent: announced as an alert, its title and text, then its two buttons; the default
    // action of "Paylaşıma izin ver" only brings the focus there.
    app.consentPending = true;
    app.consentShownTick = GetTickCount64() - 5000;
    app.consentDeadline = GetTickCount64() + 35000;
    children = Read();
    EXPECT_TRUE(Raised(EVENT_SYSTEM_ALERT, 1));
    ASSERT_EQ(children.size(), 4u);
    EXPECT_EQ(children[0].name, L"Ekranınızı paylaşmak istiyor musunuz?");
    EXPECT_EQ(children[2].name, L"Reddet");
    EXPECT_EQ(children[3].name, L"Paylaşıma izin ver");
    ExpectButtonsAsDrawn(children, 2);
    SetFocus(window);
    EXPECT_EQ(Read()[2].state & STATE_SYSTEM_FOCUSED, STATE_SYSTEM_FOCUSED) << "starts on Reddet";
    EXPECT_EQ(object->accDoDefaultAction(Id(4)), S_OK);
    Pump();
    EXPECT_TRUE(app.consentPending) << "the default action accepted";
    VARIANT focus{};
    EXPECT_EQ(object->get_accFocus(&focus), S_OK);
    EXPECT_EQ(focus.lVal, 4) << "the focus went to \"Paylaşıma izin ver\"";
    EXPECT_EQ(object->accDoDefaultAction(Id(3)), S_OK);
    Pump();
    EXPECT_FALSE(app.consentPending || app.consentGiven) << "\"Reddet\" refuses as a click does";

    // Sharing: the stop button joins the page.
    app.sessionActive = true;
    children = Read();
    ExpectButtonsAsDrawn(children, 3);
    EXPECT_NE(ChildOf(kCmdDisconnect), -1);
    EXPECT_EQ(children[ChildOf(kCmdDisconnect) - 1].name, L"Paylaşımı durdur");

    // The remote view: its header, the waiting text and "Bağlantıyı kes" only.
    app.viewerMode = true;
    children = Read();
    ASSERT_EQ(children.size(), 4u);
    EXPECT_EQ(children[0].name, L"Kestrelink / Uzak ekran");
    EXPECT_EQ(children[2].name, L"İlk görüntü bekleniyor…");
    ExpectButtonsAsDrawn(children, 3);
    app.viewerMode = app.sessionActive = false;

    // "Yenile" renews the ID, as its click does.
    app.relayUrl = L"ws://127.0.0.1:9/ws";
    children = Read();
    ASSERT_EQ(object->accDoDefaultAction(Id(ChildOf(kCmdRenew))), S_OK);
    Pump();
    EXPECT_NE(app.connectionId, "482915037");
    EXPECT_EQ(app.connectionId.size(), 9u);

    // After the window is gone the object answers nothing about the record.
    DestroyWindow(window);
    long count = 0;
    EXPECT_EQ(object->get_accChildCount(&count), RPC_E_DISCONNECTED);
}

// The real program read from this process, as a screen reader reads it: the object crosses
// processes (MinGW's import library resolves IID_IAccessible to a stub's address, which makes
// this call fail with E_NOINTERFACE; __uuidof names the interface).
TEST(AccessibleProgram, AnotherProcessReadsTheIdAndTheButtons) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        kltest::Program program({});
        HWND window = program.WaitVisibleWindow();
        ASSERT_NE(window, nullptr);
        IAccessible* object = nullptr;
        ASSERT_EQ(
            AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT),
                                       __uuidof(IAccessible), reinterpret_cast<void**>(&object)),
            S_OK);
        long count = 0;
        EXPECT_EQ(object->get_accChildCount(&count), S_OK);
        std::vector<std::wstring> names;
        for (long i = 1; i <= count; ++i) {
            VARIANT id{};
            id.vt = VT_I4;
            id.lVal = i;
            BSTR name = nullptr;
            if (object->get_accName(id, &name) == S_OK) names.emplace_back(name);
            SysFreeString(name);
        }
        object->Release();
        ASSERT_FALSE(names.empty());
        EXPECT_EQ(names[0].rfind(L"Bağlantı ID’niz: ", 0), 0u) << testing::PrintToString(names);
        EXPECT_NE(std::find(names.begin(), names.end(), L"Bağlantı bilgilerini kopyala"),
                  names.end());
    }
    CoUninitialize();
}
