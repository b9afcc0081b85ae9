// The drawn window as assistive technology sees it: an IAccessible for the client area whose
// children are what the paint routine drew (its click regions, the ID and key, the status line,
// the consent prompt), WinEvents for what changes, and the high-contrast setting.
//
// oleacc and oleaut32 are loaded from System32 on the first WM_GETOBJECT, so the program
// imports no further DLL at start and none is ever taken from its own folder.
#include <windows.h>
#include <oleacc.h>

#include <cwchar>
#include <string>
#include <vector>

#include "app/client.hpp"
#include "base/utf8.hpp"
#include "crypto/secure_wipe.hpp"
#include "ui/ui.hpp"

namespace {

struct Accessibility {
    decltype(&LresultFromObject) lresultFromObject = nullptr;
    decltype(&AccessibleObjectFromWindow) objectFromWindow = nullptr;
    decltype(&SysAllocString) allocString = nullptr;
};

const Accessibility& Api() {
    static const Accessibility api = [] {
        Accessibility a;
        HMODULE oleacc = LoadLibraryExW(L"oleacc.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        HMODULE oleaut = LoadLibraryExW(L"oleaut32.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        if (oleacc == nullptr || oleaut == nullptr) return a;
        a.lresultFromObject = reinterpret_cast<decltype(&LresultFromObject)>(
            reinterpret_cast<void*>(GetProcAddress(oleacc, "LresultFromObject")));
        a.objectFromWindow = reinterpret_cast<decltype(&AccessibleObjectFromWindow)>(
            reinterpret_cast<void*>(GetProcAddress(oleacc, "AccessibleObjectFromWindow")));
        a.allocString = reinterpret_cast<decltype(&SysAllocString)>(
            reinterpret_cast<void*>(GetProcAddress(oleaut, "SysAllocString")));
        return a;
    }();
    return api;
}

// One child of the client area: a drawn button (its command id) or a text (id 0), with its
// place in layout units.
struct Element {
    unsigned id = 0;
    std::wstring name, value;
    float x = 0, y = 0, width = 0, height = 0;
};

bool Viewing(const Client& app) {
    return app.viewerMode && app.sessionActive;
}

bool StatusShown(const Client& app) {
    return !Viewing(app) && !app.consentPending;
}

// The three window buttons are drawn as glyphs; they are read by the names Windows gives them.
std::wstring ButtonName(const Client& app, const ClickRegion& r) {
    switch (r.id) {
        case kCmdMinimise:
            return L"Simge durumuna küçült";
        case kCmdMaximise:
            return app.mainWindow != nullptr && IsZoomed(app.mainWindow) ? L"Önceki boyut"
                                                                         : L"Ekranı kapla";
        case kCmdClose:
            return L"Kapat";
        default:
            return r.label;
    }
}

Element Text(std::wstring name, float x, float y, float width, float height,
             std::wstring value = {}) {
    Element e;
    e.name = std::move(name);
    e.value = std::move(value);
    e.x = x, e.y = y, e.width = width, e.height = height;
    return e;
}

// The children in order: the texts of what is on screen, the status line, then the buttons as
// the last paint drew them.
std::vector<Element> Elements(const Client& app) {
    std::vector<Element> out;
    if (Viewing(app)) {
        out.push_back(Text(L"Kestrelink / Uzak ekran", 25, 24, 600, 58));
        out.push_back(
            Text(L"Uçtan uca şifreli · Ctrl+Alt+Shift+F12: bağlantıyı kes", 25, 65, 800, 38));
        if (!app.remoteFrame) {  // drawn at fixed pixels
            const float s = app.scale > 0 ? app.scale : 1;
            out.push_back(Text(L"İlk görüntü bekleniyor…", 50 / s, 170 / s, 800 / s, 70 / s));
        }
    } else if (app.consentPending) {
        out.push_back(Text(L"Ekranınızı paylaşmak istiyor musunuz?", 340, 242, 480, 66.7f));
        out.push_back(
            Text(L"Bağlanan kişi ekranınızı görebilir, fare ve klavyeyi kontrol "
                 L"edebilir. İsteği yalnızca tanıdığınız kişiden bekliyorsanız kabul "
                 L"edin.",
                 340, 310, 476, 43.5f));
    } else if (app.page == 0) {
        const std::wstring id = DisplayedId(app.connectionId);
        out.push_back(Text(L"Bağlantı ID’niz: " + id, 245, 219, 374, 80, id));
        std::wstring key;
        if (app.keyVisible) {
            key.reserve(app.connectionKey.size());
            kl::AppendAsciiWide(key, app.connectionKey);
        } else {
            key = L"gizli";
        }
        out.push_back(Text(L"Bağlantı anahtarı: " + key, 248, 310, 268, 66, key));
        kl::SecureWipe(key);
    }
    if (StatusShown(app)) out.push_back(Text(app.statusText, 224, 636, 815, 34.8f));
    for (const ClickRegion& r : app.buttons) {
        Element e = Text(ButtonName(app, r), r.x, r.y, r.width, r.height);
        e.id = r.id;
        out.push_back(std::move(e));
    }
    return out;
}

LONG ChildOf(const std::vector<Element>& elements, unsigned id) {
    for (std::size_t i = 0; i < elements.size(); ++i)
        if (elements[i].id == id && id != 0) return static_cast<LONG>(i + 1);
    return CHILDID_SELF;
}

LONG StatusChild(const Client& app) {
    if (!StatusShown(app)) return CHILDID_SELF;
    return app.page == 0 ? 3 : 1;  // after the ID and the key on the first page
}

bool ButtonHasFocus(const Client& app) {
    return app.focusId != 0 && app.mainWindow != nullptr && GetFocus() == app.mainWindow;
}

void Notify(const Client& app, DWORD event, LONG child) {
    if (app.mainWindow != nullptr) NotifyWinEvent(event, app.mainWindow, OBJID_CLIENT, child);
}

}  // namespace

namespace kl {

class AccessibleWindow final : public IAccessible {
  public:
    AccessibleWindow(Client& app, HWND window) : app_(&app), window_(window) {}
    void Disconnect() { app_ = nullptr; }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID iid, void** out) override {
        if (out == nullptr) return E_POINTER;
        if (iid == __uuidof(IUnknown) || iid == __uuidof(IDispatch) ||
            iid == __uuidof(IAccessible)) {
            *out = static_cast<IAccessible*>(this);
            AddRef();
            return S_OK;
        }
        *out = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return InterlockedIncrement(&references_); }
    ULONG STDMETHODCALLTYPE Release() override {
        const LONG left = InterlockedDecrement(&references_);
        if (left == 0) delete this;
        return static_cast<ULONG>(left);
    }

    // IDispatch: clients use the interface's own methods.
    HRESULT STDMETHODCALLTYPE GetTypeInfoCount(UINT* count) override {
        if (count == nullptr) return E_POINTER;
        *count = 0;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE GetTypeInfo(UINT, LCID, ITypeInfo**) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetIDsOfNames(REFIID, LPOLESTR*, UINT, LCID, DISPID*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE Invoke(DISPID, REFIID, LCID, WORD, DISPPARAMS*, VARIANT*, EXCEPINFO*,
                                     UINT*) override {
        return E_NOTIMPL;
    }

    // IAccessible
    HRESULT STDMETHODCALLTYPE get_accParent(IDispatch** parent) override {
        if (parent == nullptr) return E_POINTER;
        *parent = nullptr;
        if (!Live()) return RPC_E_DISCONNECTED;
        if (Api().objectFromWindow == nullptr) return S_FALSE;
        return Api().objectFromWindow(window_, static_cast<DWORD>(OBJID_WINDOW),
                                      __uuidof(IDispatch), reinterpret_cast<void**>(parent));
    }
    HRESULT STDMETHODCALLTYPE get_accChildCount(long* count) override {
        if (count == nullptr) return E_POINTER;
        if (!Live()) return RPC_E_DISCONNECTED;
        *count = static_cast<long>(Elements(*app_).size());
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accChild(VARIANT child, IDispatch** out) override {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        const Element* e = nullptr;
        const HRESULT hr = Find(child, e);
        if (FAILED(hr)) return hr;
        return e == nullptr ? E_INVALIDARG : S_FALSE;  // the children are simple elements
    }
    HRESULT STDMETHODCALLTYPE get_accName(VARIANT child, BSTR* name) override {
        return Answer(child, name, [this](const Element* e) {
            return e == nullptr ? std::wstring(L"Kestrelink Native") : e->name;
        });
    }
    HRESULT STDMETHODCALLTYPE get_accValue(VARIANT child, BSTR* value) override {
        return Answer(child, value,
                      [](const Element* e) { return e == nullptr ? std::wstring() : e->value; });
    }
    HRESULT STDMETHODCALLTYPE get_accDescription(VARIANT child, BSTR* out) override {
        return Answer(child, out, [](const Element*) { return std::wstring(); });
    }
    HRESULT STDMETHODCALLTYPE get_accRole(VARIANT child, VARIANT* role) override {
        if (role == nullptr) return E_POINTER;
        role->vt = VT_EMPTY;
        const Element* e = nullptr;
        const HRESULT hr = Find(child, e);
        if (FAILED(hr)) return hr;
        role->vt = VT_I4;
        role->lVal = e == nullptr ? ROLE_SYSTEM_CLIENT
                     : e->id != 0 ? ROLE_SYSTEM_PUSHBUTTON
                                  : ROLE_SYSTEM_STATICTEXT;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accState(VARIANT child, VARIANT* state) override {
        if (state == nullptr) return E_POINTER;
        state->vt = VT_EMPTY;
        const Element* e = nullptr;
        const HRESULT hr = Find(child, e);
        if (FAILED(hr)) return hr;
        long bits = 0;
        if (e == nullptr) {
            bits = STATE_SYSTEM_FOCUSABLE;
            if (GetFocus() == window_ && !ButtonHasFocus(*app_)) bits |= STATE_SYSTEM_FOCUSED;
        } else if (e->id != 0) {
            bits = STATE_SYSTEM_FOCUSABLE;
            if (ButtonHasFocus(*app_) && app_->focusId == e->id) bits |= STATE_SYSTEM_FOCUSED;
            if (app_->hoverId == e->id) bits |= STATE_SYSTEM_HOTTRACKED;
        } else {
            bits = STATE_SYSTEM_READONLY;
        }
        state->vt = VT_I4;
        state->lVal = bits;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accHelp(VARIANT, BSTR* help) override {
        if (help != nullptr) *help = nullptr;
        return DISP_E_MEMBERNOTFOUND;
    }
    HRESULT STDMETHODCALLTYPE get_accHelpTopic(BSTR* file, VARIANT, long* topic) override {
        if (file != nullptr) *file = nullptr;
        if (topic != nullptr) *topic = 0;
        return DISP_E_MEMBERNOTFOUND;
    }
    HRESULT STDMETHODCALLTYPE get_accKeyboardShortcut(VARIANT child, BSTR* out) override {
        return Answer(child, out, [](const Element*) { return std::wstring(); });
    }
    HRESULT STDMETHODCALLTYPE get_accFocus(VARIANT* focus) override {
        if (focus == nullptr) return E_POINTER;
        focus->vt = VT_EMPTY;
        if (!Live()) return RPC_E_DISCONNECTED;
        if (GetFocus() != window_) return S_FALSE;
        focus->vt = VT_I4;
        focus->lVal =
            ButtonHasFocus(*app_) ? ChildOf(Elements(*app_), app_->focusId) : CHILDID_SELF;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE get_accSelection(VARIANT* selection) override {
        if (selection == nullptr) return E_POINTER;
        selection->vt = VT_EMPTY;
        return S_FALSE;
    }
    HRESULT STDMETHODCALLTYPE get_accDefaultAction(VARIANT child, BSTR* action) override {
        return Answer(child, action, [](const Element* e) {
            return e != nullptr && e->id != 0 ? std::wstring(L"Bas") : std::wstring();
        });
    }
    HRESULT STDMETHODCALLTYPE accSelect(long flags, VARIANT child) override {
        const Element* e = nullptr;
        const HRESULT hr = Find(child, e);
        if (FAILED(hr)) return hr;
        if (e == nullptr || e->id == 0 || flags != SELFLAG_TAKEFOCUS) return E_INVALIDARG;
        FocusButton(*app_, e->id);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accLocation(long* left, long* top, long* width, long* height,
                                          VARIANT child) override {
        if (left == nullptr || top == nullptr || width == nullptr || height == nullptr)
            return E_POINTER;
        const Element* e = nullptr;
        const HRESULT hr = Find(child, e);
        if (FAILED(hr)) return hr;
        RECT r{};
        if (e == nullptr) {
            GetClientRect(window_, &r);
        } else {
            const float s = app_->scale;
            r = {static_cast<LONG>(e->x * s), static_cast<LONG>(e->y * s),
                 static_cast<LONG>((e->x + e->width) * s),
                 static_cast<LONG>((e->y + e->height) * s)};
        }
        MapWindowPoints(window_, nullptr, reinterpret_cast<POINT*>(&r), 2);
        *left = r.left, *top = r.top, *width = r.right - r.left, *height = r.bottom - r.top;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accNavigate(long direction, VARIANT start, VARIANT* end) override {
        if (end == nullptr) return E_POINTER;
        end->vt = VT_EMPTY;
        const Element* e = nullptr;
        const HRESULT hr = Find(start, e);
        if (FAILED(hr)) return hr;
        const long count = static_cast<long>(Elements(*app_).size());
        long to = 0;
        if (e == nullptr && direction == NAVDIR_FIRSTCHILD)
            to = 1;
        else if (e == nullptr && direction == NAVDIR_LASTCHILD)
            to = count;
        else if (e != nullptr && (direction == NAVDIR_NEXT || direction == NAVDIR_DOWN))
            to = start.lVal + 1;
        else if (e != nullptr && (direction == NAVDIR_PREVIOUS || direction == NAVDIR_UP))
            to = start.lVal - 1;
        if (to < 1 || to > count) return S_FALSE;
        end->vt = VT_I4;
        end->lVal = to;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accHitTest(long x, long y, VARIANT* hit) override {
        if (hit == nullptr) return E_POINTER;
        hit->vt = VT_EMPTY;
        if (!Live()) return RPC_E_DISCONNECTED;
        POINT p{x, y};
        ScreenToClient(window_, &p);
        RECT client{};
        GetClientRect(window_, &client);
        if (!PtInRect(&client, p)) return S_FALSE;
        const float lx = static_cast<float>(p.x) / app_->scale,
                    ly = static_cast<float>(p.y) / app_->scale;
        const std::vector<Element> elements = Elements(*app_);
        LONG found = CHILDID_SELF;
        for (std::size_t i = 0; i < elements.size(); ++i) {
            const Element& e = elements[i];
            if (lx >= e.x && lx < e.x + e.width && ly >= e.y && ly < e.y + e.height)
                found = static_cast<LONG>(i + 1);  // the buttons, drawn last, win
        }
        hit->vt = VT_I4;
        hit->lVal = found;
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE accDoDefaultAction(VARIANT child) override {
        const Element* e = nullptr;
        const HRESULT hr = Find(child, e);
        if (FAILED(hr)) return hr;
        if (e == nullptr || e->id == 0) return DISP_E_MEMBERNOTFOUND;
        if (e->id == kCmdAllow) {
            // Sharing is accepted only by the user's own hands: the action brings the keyboard
            // focus there, where Space or Enter answers.
            FocusButton(*app_, e->id);
            return S_OK;
        }
        // As a click: the command runs from the message loop, after this call has returned.
        PostMessageW(window_, WM_COMMAND, MAKEWPARAM(e->id, 0), 0);
        return S_OK;
    }
    HRESULT STDMETHODCALLTYPE put_accName(VARIANT, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE put_accValue(VARIANT, BSTR) override { return E_NOTIMPL; }

  private:
    bool Live() const {
        return app_ != nullptr && IsWindow(window_) && GetCurrentThreadId() == app_->uiThreadId;
    }

    // The element a child id names (null for the window itself); the list lives in `current_`.
    HRESULT Find(const VARIANT& child, const Element*& element) {
        element = nullptr;
        if (!Live()) return RPC_E_DISCONNECTED;
        if (child.vt != VT_I4) return E_INVALIDARG;
        if (child.lVal == CHILDID_SELF) return S_OK;
        current_ = Elements(*app_);
        if (child.lVal < 1 || child.lVal > static_cast<LONG>(current_.size())) return E_INVALIDARG;
        element = &current_[static_cast<std::size_t>(child.lVal - 1)];
        return S_OK;
    }

    template <typename Text>
    HRESULT Answer(const VARIANT& child, BSTR* out, Text text) {
        if (out == nullptr) return E_POINTER;
        *out = nullptr;
        const Element* e = nullptr;
        const HRESULT hr = Find(child, e);
        if (FAILED(hr)) return hr;
        std::wstring s = text(e);
        if (s.empty()) return S_FALSE;
        if (Api().allocString == nullptr) return E_OUTOFMEMORY;
        *out = Api().allocString(s.c_str());
        kl::SecureWipe(s);  // the key may be among the texts
        for (Element& each : current_) kl::SecureWipe(each.value);
        return *out != nullptr ? S_OK : E_OUTOFMEMORY;
    }

    LONG references_ = 1;
    Client* app_;
    HWND window_;
    std::vector<Element> current_;
};

}  // namespace kl

LRESULT AnswerGetObject(Client& app, HWND window, WPARAM wParam, LPARAM lParam) {
    if (static_cast<LONG>(lParam) != OBJID_CLIENT || Api().lresultFromObject == nullptr)
        return DefWindowProcW(window, WM_GETOBJECT, wParam, lParam);
    if (app.accessible == nullptr) app.accessible = new kl::AccessibleWindow(app, window);
    return Api().lresultFromObject(__uuidof(IAccessible), wParam, app.accessible);
}

void ReleaseAccessible(Client& app) {
    if (app.accessible == nullptr) return;
    app.accessible->Disconnect();  // a client may still hold it: it answers "disconnected"
    app.accessible->Release();
    app.accessible = nullptr;
}

void AnnounceStatus(Client& app) {
    const LONG child = StatusChild(app);
    if (child != CHILDID_SELF) Notify(app, EVENT_OBJECT_NAMECHANGE, child);
}

void AnnounceFocus(Client& app) {
    if (!ButtonHasFocus(app)) return;
    const LONG child = ChildOf(Elements(app), app.focusId);
    if (child != CHILDID_SELF) Notify(app, EVENT_OBJECT_FOCUS, child);
}

void AnnounceState(Client& app) {
    if (app.mainWindow == nullptr || g_app != &app) return;
    const bool consent = app.consentPending, session = app.sessionActive;
    if (consent == app.announcedConsent && session == app.announcedSession) return;
    // The children follow the paint: paint first, so that the events name the new ones.
    UpdateWindow(app.mainWindow);
    Notify(app, EVENT_OBJECT_REORDER, CHILDID_SELF);
    if (consent && !app.announcedConsent) {
        // The prompt's title is the first child while it shows.
        Notify(app, EVENT_OBJECT_SHOW, 1);
        Notify(app, EVENT_SYSTEM_ALERT, 1);
        AnnounceFocus(app);
    }
    if (session != app.announcedSession) {
        if (session)
            Notify(app, EVENT_OBJECT_SHOW,
                   Viewing(app) ? 1 : ChildOf(Elements(app), kCmdDisconnect));
        else if (StatusChild(app) != CHILDID_SELF)
            Notify(app, EVENT_OBJECT_SHOW, StatusChild(app));  // it says why
    }
    app.announcedConsent = consent;
    app.announcedSession = session;
}

void ReadHighContrast(Client& app) {
    HIGHCONTRASTW contrast{};
    contrast.cbSize = sizeof contrast;
    app.highContrast = SystemParametersInfoW(SPI_GETHIGHCONTRAST, sizeof contrast, &contrast, 0) &&
                       (contrast.dwFlags & HCF_HIGHCONTRASTON) != 0;
    if (app.highContrast) return;
    // Where Windows keeps the setting: Wine 8 answers "off" above whatever it holds.
    wchar_t flags[16] = {};
    DWORD size = sizeof flags - sizeof(wchar_t);
    if (RegGetValueW(HKEY_CURRENT_USER, L"Control Panel\\Accessibility\\HighContrast", L"Flags",
                     RRF_RT_REG_SZ, nullptr, flags, &size) == ERROR_SUCCESS)
        app.highContrast = (std::wcstoul(flags, nullptr, 10) & HCF_HIGHCONTRASTON) != 0;
}
