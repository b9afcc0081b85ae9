// The window as assistive technology reads it through AccessibleObjectFromWindow: in this
// process, every page's children against what the paint drew, the default actions and the
// WinEvents; from another process, the running program.
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

std::vector<std::pair<DWORD, LONG>> g_events;  // (event, child) raised for the client area

void CALLBACK RecordEvent(HWINEVENTHOOK, DWORD event, HWND, LONG object, LONG child, DWORD, DWORD) {
    if (object == OBJID_CLIENT) g_events.emplace_back(event, child);
}

VARIANT Id(long child) {
    VARIANT v{};
    v.vt = VT_I4;
    v.lVal = child;
    return v;
}

struct Child {
    std::wstring name, value;
    long role = 0, state = 0;
};

// Every child of a window's client object (MinGW's IID_IAccessible with -loleacc is an import
// stub's address, not the GUID: __uuidof names the interface).
std::vector<Child> ReadChildren(HWND window, IAccessible** keep = nullptr) {
    IAccessible* object = nullptr;
    EXPECT_EQ(AccessibleObjectFromWindow(window, static_cast<DWORD>(OBJID_CLIENT),
                                         __uuidof(IAccessible), reinterpret_cast<void**>(&object)),
              S_OK);
    std::vector<Child> children;
    long count = 0;
    if (object == nullptr || object->get_accChildCount(&count) != S_OK) return children;
    for (long i = 1; i <= count; ++i) {
        Child c;
        BSTR text = nullptr;
        if (object->get_accName(Id(i), &text) == S_OK) c.name = text;
        SysFreeString(text);
        text = nullptr;
        if (object->get_accValue(Id(i), &text) == S_OK) c.value = text;
        SysFreeString(text);
        VARIANT v{};
        if (object->get_accRole(Id(i), &v) == S_OK) c.role = v.lVal;
        if (object->get_accState(Id(i), &v) == S_OK) c.state = v.lVal;
        children.push_back(c);
    }
    if (keep != nullptr)
        *keep = object;
    else
        object->Release();
    return children;
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
    static void Pump() {
        MSG msg;
        for (int i = 0; i < 5; ++i, Sleep(10))
            while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    }
    // Lays out and paints the state set, reads the children, and checks that those after the
    // first `texts` are one push button per drawn region, named by its label (the window
    // buttons' glyphs by the names Windows gives them), and the texts static text.
    void ReadAsDrawn(std::size_t texts) {
        LayoutControls(app);
        HDC dc = GetDC(window);
        PaintWindow(app, dc);
        ReleaseDC(window, dc);
        Pump();
        if (object != nullptr) object->Release();
        children = ReadChildren(window, &object);
        ASSERT_EQ(children.size(), texts + app.buttons.size());
        for (std::size_t i = 0; i < children.size(); ++i) {
            const bool text = i < texts;
            EXPECT_EQ(children[i].role, text ? ROLE_SYSTEM_STATICTEXT : ROLE_SYSTEM_PUSHBUTTON);
            if (text) continue;
            const ClickRegion& r = app.buttons[i - texts];
            EXPECT_EQ(children[i].name, r.id == kCmdMinimise   ? L"Simge durumuna küçült"
                                        : r.id == kCmdMaximise ? L"Ekranı kapla"
                                        : r.id == kCmdClose    ? L"Kapat"
                                                               : r.label);
        }
    }
    long ChildOf(unsigned id) const {
        for (std::size_t i = 0; i < app.buttons.size(); ++i)
            if (app.buttons[i].id == id)
                return static_cast<long>(children.size() - app.buttons.size() + i + 1);
        return 0;
    }
    static bool Raised(DWORD event, LONG child) {
        Pump();
        return std::find(g_events.begin(), g_events.end(), std::make_pair(event, child)) !=
               g_events.end();
    }
    IAccessible* object = nullptr;
    HWINEVENTHOOK hook = nullptr;
    std::vector<Child> children;
};

}  // namespace

TEST_F(Accessible, EveryPageReadsAsDrawnAndTheDefaultActionsPressAsAClickWould) {
    // Start: the ID, the key hidden, the status line, then the buttons.
    ReadAsDrawn(3);
    EXPECT_EQ(children[0].name, L"Bağlantı ID’niz: 482 915 037");
    EXPECT_EQ(children[0].value, L"482 915 037");
    EXPECT_EQ(children[1].value, L"gizli");
    EXPECT_EQ(children[2].name, L"Bağlantıya hazır");
    ASSERT_EQ(object->accDoDefaultAction(Id(ChildOf(kCmdToggleKey))), S_OK);
    ReadAsDrawn(3);
    EXPECT_EQ(children[1].value, L"ABCDEFGHIJKLMNOPQRSTUVWXY4") << "shown with \"Göster\"";
    SetStatus(app, L"ID ve bağlantı anahtarı kopyalandı.");
    EXPECT_TRUE(Raised(EVENT_OBJECT_NAMECHANGE, 3)) << "a new status line is announced";

    // The viewer's form after a request went out, and the security page.
    app.viewerMode = true;
    ReadAsDrawn(3);
    app.viewerMode = false;
    app.page = 1;
    ReadAsDrawn(1);
    EXPECT_EQ(children[0].name, L"ID ve bağlantı anahtarı kopyalandı.");
    app.page = 0;

    // Consent: an alert, its title and text, then "Reddet" (focused) and "Paylaşıma izin ver",
    // whose default action only brings the focus there.
    app.consentPending = true;
    app.consentShownTick = GetTickCount64() - 5000;
    app.consentDeadline = GetTickCount64() + 35000;
    SetFocus(window);
    ReadAsDrawn(2);
    EXPECT_TRUE(Raised(EVENT_SYSTEM_ALERT, 1));
    EXPECT_EQ(children[0].name, L"Ekranınızı paylaşmak istiyor musunuz?");
    EXPECT_EQ(children[2].state & STATE_SYSTEM_FOCUSED, STATE_SYSTEM_FOCUSED);
    EXPECT_EQ(object->accDoDefaultAction(Id(ChildOf(kCmdAllow))), S_OK);
    Pump();
    EXPECT_TRUE(app.consentPending) << "the default action accepted";
    VARIANT focus{};
    EXPECT_EQ(object->get_accFocus(&focus), S_OK);
    EXPECT_EQ(focus.lVal, ChildOf(kCmdAllow));
    EXPECT_EQ(object->accDoDefaultAction(Id(ChildOf(kCmdRefuse))), S_OK);
    Pump();
    EXPECT_FALSE(app.consentPending || app.consentGiven) << "\"Reddet\" refuses as a click does";

    // Sharing adds "Paylaşımı durdur"; the remote view has its header, the waiting text and
    // "Bağlantıyı kes" only.
    app.sessionActive = true;
    ReadAsDrawn(3);
    EXPECT_NE(ChildOf(kCmdDisconnect), 0);
    app.viewerMode = true;
    ReadAsDrawn(3);
    EXPECT_EQ(children[0].name, L"Kestrelink / Uzak ekran");
    EXPECT_EQ(children[2].name, L"İlk görüntü bekleniyor…");
    app.viewerMode = app.sessionActive = false;

    // "Yenile" renews the ID, as its click does.
    app.relayUrl = L"ws://127.0.0.1:9/ws";
    ReadAsDrawn(3);
    ASSERT_EQ(object->accDoDefaultAction(Id(ChildOf(kCmdRenew))), S_OK);
    Pump();
    EXPECT_NE(app.connectionId, "482915037");

    // Once the window is gone the object answers nothing about the record.
    DestroyWindow(window);
    long count = 0;
    EXPECT_EQ(object->get_accChildCount(&count), RPC_E_DISCONNECTED);
}

TEST(AccessibleProgram, AnotherProcessReadsTheRunningProgram) {
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    {
        kltest::Program program({});
        HWND window = program.WaitVisibleWindow();
        ASSERT_NE(window, nullptr);
        const std::vector<Child> children = ReadChildren(window);
        ASSERT_FALSE(children.empty());
        EXPECT_EQ(children[0].value.size(), 11u) << "the ID, grouped";
        EXPECT_TRUE(std::any_of(children.begin(), children.end(), [](const Child& c) {
            return c.name == L"Bağlantı bilgilerini kopyala";
        }));
    }
    CoUninitialize();
}
