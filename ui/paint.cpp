#include <cmath>
#include <string>

#include "app/client.hpp"
#include "crypto/secure_wipe.hpp"
#include "screen/frame_stages.hpp"
#include "screen/remote_frame.hpp"
#include "session/session.hpp"
#include "win/gdi_handles.hpp"
#include "ui/ui.hpp"
#include "base/utf8.hpp"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {

constexpr ARGB Rgb(unsigned rgb) {
    return 0xFF000000u | rgb;
}
constexpr ARGB kTitle = Rgb(0x1F2E28), kMuted = Rgb(0x67756E), kWhite = Rgb(0xFFFFFF),
               kBorder = Rgb(0xE0E6E1);

ARGB SystemColour(int index) {
    const COLORREF c = GetSysColor(index);
    return Rgb((static_cast<unsigned>(GetRValue(c)) << 16) |
               (static_cast<unsigned>(GetGValue(c)) << 8) | GetBValue(c));
}

// The drawing primitives of the window, all in layout units through the world transform. In
// high contrast every design colour gives way to the system's: surfaces take the window colour,
// text and outlines the window text colour, buttons the button and highlight colours.
struct Canvas {
    Client& app;
    GpGraphics* g;
    const bool hc = app.highContrast;
    const ARGB window = hc ? SystemColour(COLOR_WINDOW) : 0,
               windowText = hc ? SystemColour(COLOR_WINDOWTEXT) : 0,
               buttonFace = hc ? SystemColour(COLOR_BTNFACE) : 0,
               buttonText = hc ? SystemColour(COLOR_BTNTEXT) : 0,
               highlight = hc ? SystemColour(COLOR_HIGHLIGHT) : 0,
               highlightText = hc ? SystemColour(COLOR_HIGHLIGHTTEXT) : 0;

    void Fill(float x, float y, float w, float h, ARGB colour) {
        FillExact(x, y, w, h, hc ? window : colour);
    }

    void FillExact(float x, float y, float w, float h, ARGB colour) {
        kl::unique_gdip_brush brush;
        GdipCreateSolidFill(colour, brush.put());
        GdipFillRectangle(g, brush.get(), x, y, w, h);
    }

    void FillRoundedRect(float x, float y, float w, float h, float r, ARGB fill, ARGB border) {
        if (hc) {
            fill = window;
            border = windowText;  // every card, box and band outlined
        }
        Shape(x, y, w, h, r, fill, border);
    }

    void Shape(float x, float y, float w, float h, float r, ARGB fill, ARGB border,
               float borderWidth = 1) {
        kl::unique_gdip_path path;
        if (GdipCreatePath(FillModeAlternate, path.put()) != Ok) return;
        const float d = 2 * r;
        GdipAddPathArc(path.get(), x, y, d, d, 180, 90);
        GdipAddPathArc(path.get(), x + w - d, y, d, d, 270, 90);
        GdipAddPathArc(path.get(), x + w - d, y + h - d, d, d, 0, 90);
        GdipAddPathArc(path.get(), x, y + h - d, d, d, 90, 90);
        GdipClosePathFigure(path.get());
        if ((fill >> 24) != 0) {
            kl::unique_gdip_brush brush;
            GdipCreateSolidFill(fill, brush.put());
            GdipFillPath(g, brush.get(), path.get());
        }
        if ((border >> 24) != 0) {
            kl::unique_gdip_pen pen;
            GdipCreatePen1(border, borderWidth, UnitWorld, pen.put());
            GdipDrawPath(g, pen.get(), path.get());
        }
    }

    static kl::unique_gdip_family Family(const wchar_t* face) {
        kl::unique_gdip_family family;
        if (GdipCreateFontFamilyFromName(face, nullptr, family.put()) == Ok) return family;
        // A family the system lacks falls back to a generic one rather than drawing nothing.
        GpFontFamily* generic = nullptr;
        if (std::wstring(face) == L"Consolas")
            GdipGetGenericFontFamilyMonospace(&generic);
        else
            GdipGetGenericFontFamilySansSerif(&generic);
        if (generic != nullptr) GdipCloneFontFamily(generic, family.put());
        return family;
    }

    void Text(const std::wstring& text, RectF rect, float size, ARGB colour, bool bold,
              const wchar_t* face, bool centred, bool wrap, bool exact = false) {
        if (hc && !exact) colour = windowText;
        kl::unique_gdip_family family = Family(face);
        if (!family) return;
        kl::unique_gdip_font font;
        GdipCreateFont(family.get(), size, bold ? FontStyleBold : FontStyleRegular, UnitPixel,
                       font.put());
        kl::unique_gdip_brush brush;
        GdipCreateSolidFill(colour, brush.put());
        kl::unique_gdip_format format;
        GdipCreateStringFormat(wrap ? 0 : StringFormatFlagsNoWrap, LANG_NEUTRAL, format.put());
        GdipSetStringFormatTrimming(format.get(), StringTrimmingEllipsisCharacter);
        if (centred) {
            GdipSetStringFormatAlign(format.get(), StringAlignmentCenter);
            GdipSetStringFormatLineAlign(format.get(), StringAlignmentCenter);
        }
        if (GdipDrawString(g, text.c_str(), -1, font.get(), &rect, format.get(), brush.get()) != Ok)
            failed = true;
    }

    void DrawLabel(const std::wstring& text, float x, float y, float size, ARGB colour, float width,
                   bool bold, const wchar_t* face = L"Segoe UI") {
        Text(text, RectF(x, y, width, size * 2.9f), size, colour, bold, face, false, true);
    }

    void DrawNavItem(unsigned id, const wchar_t* label, float y, bool selected) {
        if (selected) Shape(14, y, 156, 43, 8, hc ? highlight : Rgb(0x31483A), 0);
        const ARGB ink =
            hc ? (selected ? highlightText : windowText) : (selected ? kWhite : Rgb(0xA9C0B2));
        Text(label, RectF(28, y + 11, 145, 14 * 2.9f), 14, ink, selected, L"Segoe UI", false, true,
             true);
        app.buttons.push_back({id, label, 14, y, 156, 43});
    }

    void DrawButton(unsigned id, const wchar_t* label, float x, float y, float w, float h,
                    bool primary, bool danger = false) {
        primary = primary || danger;
        const bool hover = app.hoverId == id;
        ARGB fill = danger ? Rgb(0xA12232) : primary ? Rgb(0x16664F) : Rgb(0xF5F7F7);
        if (hover) fill = primary ? Rgb(0x1E7B60) : Rgb(0xE6ECEA);
        ARGB border = primary ? 0 : Rgb(0xDAE0DF);
        ARGB ink = primary ? kWhite : Rgb(0x2D3F39);
        if (hc) {
            fill = hover ? highlight : buttonFace;
            border = buttonText;
            ink = hover ? highlightText : buttonText;
        }
        Shape(x, y, w, h, 8, fill, border);
        Text(label, RectF(x, y, w, h), 14, ink, true, L"Segoe UI", true, false, true);
        app.buttons.push_back({id, label, x, y, w, h});
    }

    // The keyboard focus: a ring around the focused button, apart from it so that it shows
    // on every fill (white on the dark sidebar).
    void DrawFocusRing() {
        if (!app.focusRingShown || app.focusId == 0) return;
        for (const ClickRegion& r : app.buttons) {
            if (r.id != app.focusId) continue;
            const bool sidebar = r.x + r.width <= 184;
            const ARGB ink = hc ? highlight : sidebar ? kWhite : kTitle;
            Shape(r.x - 4, r.y - 4, r.width + 8, r.height + 8, 11, 0, ink, 2.5f);
            return;
        }
    }

    bool failed = false;  // a drawing failure is remembered and otherwise ignored
};

// The picture's rectangle in whole client pixels.
RECT RemoteFrameRect(const Client& app) {
    return kl::FramePixels(kl::FitRemoteFrame(app));
}

// The remote picture as the decoding thread scaled it, when its place still has that size;
// otherwise straight onto the target with GDI's halftone stretch: an area-averaging filter,
// and under Wine about a fifth of the time GDI+ takes to draw the scaled image.
void DrawRemoteFrame(Client& app, HDC dc, const RECT& r) {
    const int placeWidth = r.right - r.left, placeHeight = r.bottom - r.top;
    if (!app.remoteScaled.empty() && app.remoteScaledWidth == placeWidth &&
        app.remoteScaledHeight == placeHeight) {
        BITMAPINFO bmi{};
        bmi.bmiHeader = {
            sizeof(BITMAPINFOHEADER), placeWidth, -placeHeight, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        if (SetDIBitsToDevice(dc, r.left, r.top, placeWidth, placeHeight, 0, 0, 0, placeHeight,
                              app.remoteScaled.data(), &bmi, DIB_RGB_COLORS) > 0)
            return;
    }
    auto* bitmap = static_cast<GpBitmap*>(app.remoteFrame.get());
    const INT w = static_cast<INT>(kl::ImageWidth(app.remoteFrame)),
              h = static_cast<INT>(kl::ImageHeight(app.remoteFrame));
    const GpRect all(0, 0, w, h);
    BitmapData data{};
    if (GdipBitmapLockBits(bitmap, &all, ImageLockModeRead, PixelFormat32bppRGB, &data) == Ok) {
        BITMAPINFO bmi{};
        bmi.bmiHeader = {
            sizeof(BITMAPINFOHEADER), data.Stride / 4, -h, 1, 32, BI_RGB, 0, 0, 0, 0, 0};
        const int oldMode = SetStretchBltMode(dc, HALFTONE);
        POINT oldOrigin{};
        SetBrushOrgEx(dc, 0, 0, &oldOrigin);
        const int rows = StretchDIBits(dc, r.left, r.top, r.right - r.left, r.bottom - r.top, 0, 0,
                                       w, h, data.Scan0, &bmi, DIB_RGB_COLORS, SRCCOPY);
        SetBrushOrgEx(dc, oldOrigin.x, oldOrigin.y, nullptr);
        SetStretchBltMode(dc, oldMode);
        GdipBitmapUnlockBits(bitmap, &data);
        if (rows > 0) return;  // 0 or GDI_ERROR: draw it with GDI+ instead
    }
    kl::unique_gdip_graphics target;
    if (GdipCreateFromHDC(dc, target.put()) == Ok)
        GdipDrawImageRectI(target.get(), static_cast<GpImage*>(app.remoteFrame.get()), r.left,
                           r.top, r.right - r.left, r.bottom - r.top);
}

// Everything of the remote view but the picture, which DrawRemoteFrame adds.
void DrawRemoteView(Client& app, Canvas& c) {
    c.Fill(0, 0, static_cast<float>(app.clientWidth), static_cast<float>(app.clientHeight),
           Rgb(0x0D1418));
    // The picture (DrawRemoteFrame) lies in its band below the header at every scale
    // (FitRemoteFrame), so the header drawn here never covers it.
    GdipScaleWorldTransform(c.g, app.scale, app.scale, MatrixOrderPrepend);
    if (!app.remoteFrame) c.DrawLabel(L"İlk görüntü bekleniyor…", 50, 170, 24, kWhite, 800, false);
    c.DrawLabel(L"Kestrelink / Uzak ekran", 25, 24, 20, kWhite, 600, true);
    c.DrawLabel(L"Uçtan uca şifreli · Ctrl+Alt+Shift+F12: bağlantıyı kes", 25, 65, 13,
                Rgb(0x88AD9F), 800, false);
    c.DrawButton(kCmdDisconnect, L"Bağlantıyı kes", 866, 18, 185, 44, true, true);
}

void DrawSidebarAndHeader(Client& app, Canvas& c) {
    c.Fill(0, 0, 184, 680, Rgb(0x172821));
    if (c.hc) c.FillExact(184, 0, 1, 680, c.windowText);  // the sidebar's edge
    c.FillRoundedRect(22, 25, 32, 32, 8, Rgb(0xCCEADA), 0);
    c.DrawLabel(L"K", 29, 27, 22, kTitle, 28, true);
    c.DrawLabel(L"Kestrelink", 63, 29, 17, kWhite, 116, true);
    c.DrawLabel(L"ÇALIŞMA ALANI", 24, 105, 10, Rgb(0x779784), 150, true);
    c.DrawNavItem(kCmdPageRemote, L"Uzak bağlantı", 132, app.page == 0);
    c.DrawNavItem(kCmdPageSecurity, L"Güvenlik", 181, app.page == 1);
    c.DrawLabel(L"MIRROWEN LABS", 24, 576, 10, Rgb(0xAAC3B4), 150, true);
    c.DrawLabel(L"Native / 0.2.0", 24, 597, 12, Rgb(0x769884), 150, false);
    c.DrawLabel(L"Windows 10 / 11", 24, 620, 11, Rgb(0x769884), 150, false);
    const bool security = app.page == 1;
    c.DrawLabel(security ? L"Güvenlik merkezi" : L"Uzak bağlantı", 224, 30, 24, kTitle, 550, true);
    c.DrawLabel(security ? L"Bu sürümdeki korumalar ve sınırlar."
                         : L"Bağlanmak için iki cihazda da Kestrelink’u aç.",
                224, 70, 14, kMuted, 750, false);
    c.FillRoundedRect(224, 114, 816, 1, 0.4f, kBorder, 0);
}

void DrawConnectionPage(Client& app, Canvas& c) {
    const bool ready = app.hostReady && !app.viewerMode;
    c.FillRoundedRect(224, 146, 414, 350, 14, kWhite, kBorder);
    c.DrawLabel(L"01  /  BU BİLGİSAYAR", 248, 170, 11, kMuted, 260, true);
    c.FillRoundedRect(506, 165, 108, 24, 12, ready ? Rgb(0xE7F5EB) : Rgb(0xF4EEDF), 0);
    c.DrawLabel(ready ? L"●  Hazır" : L"●  Bekliyor", 519, 169, 11,
                ready ? Rgb(0x17674F) : Rgb(0x87692C), 100, true);
    c.DrawLabel(L"Bağlantı ID’niz", 248, 219, 13, kMuted, 800, false);
    c.DrawLabel(DisplayedId(app.connectionId), 245, 242, 39, kTitle, 374, true, L"Consolas");
    c.DrawLabel(L"BAĞLANTI ANAHTARI", 248, 310, 10, kMuted, 250, true);
    if (app.keyVisible) {
        // The key on two lines of 13, built in one buffer (the insert stays within the reserved
        // room) that is wiped after drawing.
        std::wstring key;
        key.reserve(app.connectionKey.size() + 1);
        kl::AppendAsciiWide(key, app.connectionKey);
        if (key.size() == 26) key.insert(13, 1, L'\n');
        c.DrawLabel(key, 248, 332, 17, kTitle, 268, false, L"Consolas");
        kl::SecureWipe(key);
    } else {
        c.DrawLabel(std::wstring(13, L'\u2022'), 248, 332, 23, kTitle, 268, false, L"Consolas");
    }
    c.DrawButton(kCmdToggleKey, app.keyVisible ? L"Gizle" : L"Göster", 545, 330, 69, 36, false);
    c.DrawLabel(L"Her açılışta yenilenir. Yalnızca güvendiğiniz kişiyle paylaşın.", 248, 386, 12,
                kMuted, 350, false);
    c.DrawButton(kCmdCopy, L"Bağlantı bilgilerini kopyala", 248, 435, 257, 39, true);
    c.DrawButton(kCmdRenew, L"Yenile", 519, 435, 95, 39, false);

    c.FillRoundedRect(662, 146, 378, 350, 14, kWhite, kBorder);
    c.DrawLabel(L"02  /  UZAK BİLGİSAYAR", 686, 170, 11, kMuted, 315, true);
    c.DrawLabel(L"Bağlantı oluştur", 686, 198, 23, kTitle, 315, true);
    c.DrawLabel(L"Karşı bilgisayarın ID’si", 686, 240, 12, kMuted, 300, false);
    c.FillRoundedRect(686, 263, 330, 45, 7, Rgb(0xF7F8F9), kBorder);
    c.DrawLabel(L"Bağlantı anahtarı", 686, 334, 12, kMuted, 300, false);
    c.FillRoundedRect(686, 356, 330, 45, 7, Rgb(0xF7F8F9), kBorder);
    if (app.previewMode) {
        c.DrawLabel(L"123 456 789", 693, 272, 18, kMuted, 290, false);
        c.DrawLabel(L"Bağlantı anahtarını yapıştır", 693, 365, 17, kMuted, 290, false);
    }
    c.DrawButton(kCmdConnect, L"Bağlantı isteği gönder  →", 686, 435, 330, 39, true);

    c.FillRoundedRect(224, 517, 816, 85, 12, Rgb(0xEAF0E9), 0);
    c.DrawLabel(L"Kontrol sizde.", 248, 537, 16, kTitle, 250, true);
    c.DrawLabel(L"İzin olmadan paylaşım başlamaz. Bağlantıyı tek tıkla kesebilirsiniz.", 248, 565,
                13, kMuted, 730, false);
    c.DrawLabel(L"UÇTAN UCA ŞİFRELİ", 847, 541, 10, Rgb(0x17674F), 170, true);
}

void DrawSecurityPage(Canvas& c) {
    static const wchar_t* const kItems[4][2] = {
        {L"Uçtan uca şifreleme",
         L"AES-256-GCM · Her yön için ayrı anahtar · Değiştirilmiş ve tekrar gönderilmiş paketleri "
         L"reddetme"},
        {L"Güçlü bağlantı anahtarı",
         L"128 bit rastgele anahtar. Anahtarın kendisi sunucuya gönderilmez, diske kaydedilmez."},
        {L"Yerel onay ve görünür oturum",
         L"Ekran ancak onayınızla paylaşılır. Oturum boyunca üstte duran bağlantıyı kes penceresi "
         L"vardır."},
        {L"Sunucu koruması",
         L"TLS, istek ve bağlantı limitleri, süreli onay istekleri, sınırlandırılmış mesaj "
         L"boyutları."},
    };
    c.FillRoundedRect(224, 146, 816, 418, 14, kWhite, kBorder);
    for (int i = 0; i < 4; ++i) {
        c.DrawLabel(kItems[i][0], 252, 168.0f + 90 * i, 17, kTitle, 730, true);
        c.DrawLabel(kItems[i][1], 252, 195.0f + 90 * i, 13, kMuted, 740, false);
    }
    c.Text(
        L"Bu beta bağımsız güvenlik denetiminden geçmedi. Kod imzası ve ileri gizlilik henüz yok.",
        RectF(248, 588, 760, 34.8f), 12, kMuted, false, L"Segoe UI", false, true);
}

void DrawConsentPanel(Client& app, Canvas& c) {
    c.Fill(0, 0, 1080, 680, 0xCD101D17);
    app.buttons.clear();  // only the panel's own buttons can be clicked
    c.FillRoundedRect(304, 172, 560, 322, 18, kWhite, 0);
    c.Text(L"Bağlantı anahtarı doğrulandı", RectF(340, 205, 480, 34.8f), 12, Rgb(0x17674F), true,
           L"Segoe UI", false, true);
    c.Text(L"Ekranınızı paylaşmak istiyor musunuz?", RectF(340, 242, 480, 66.7f), 23, kTitle, true,
           L"Segoe UI", false, true);
    c.Text(
        L"Bağlanan kişi ekranınızı görebilir, fare ve klavyeyi kontrol edebilir. İsteği yalnızca "
        L"tanıdığınız "
        L"kişiden bekliyorsanız kabul edin.",
        RectF(340, 310, 476, 43.5f), 15, kMuted, false, L"Segoe UI", false, true);
    c.DrawButton(kCmdRefuse, L"Reddet", 340, 421, 225, 45, false);
    c.DrawButton(kCmdAllow, L"Paylaşıma izin ver", 579, 421, 248, 45, true);
}

}  // namespace

std::wstring DisplayedId(const std::string& id) {
    if (id.size() != 9) return L"--- --- ---";
    const std::wstring wide = kl::Utf8ToWide(id);
    if (wide.size() != 9) return L"--- --- ---";
    return wide.substr(0, 3) + L" " + wide.substr(3, 3) + L" " + wide.substr(6);
}

void PaintWindow(Client& app, HDC dc) {
    ExpectUiThread(app);
    ShowHeldFrame(
        app);  // a picture still held is decoded here; the decoding thread takes it otherwise
    const int width = app.clientWidth > 0 ? app.clientWidth : 1;
    const int height = app.clientHeight > 0 ? app.clientHeight : 1;
    const bool remoteView = app.viewerMode && app.sessionActive;
    // The remote view draws only what was invalidated: for a new picture, its own rectangle.
    RECT area = {0, 0, width, height}, clip{};
    if (remoteView && GetClipBox(dc, &clip) != ERROR && !IntersectRect(&area, &area, &clip)) return;
    const bool picture = remoteView && app.remoteFrame;
    const RECT frameRect = picture ? RemoteFrameRect(app) : RECT{};
    RECT outside{};
    if (picture && !SubtractRect(&outside, &area, &frameRect)) {
        DrawRemoteFrame(app, dc, frameRect);  // nothing else to repaint
        kl::MarkFrameStage(kl::FrameStage::Painted);
        return;
    }
    const int areaWidth = area.right - area.left, areaHeight = area.bottom - area.top;
    kl::unique_gdip_bitmap frame;
    if (GdipCreateBitmapFromScan0(areaWidth, areaHeight, 0, PixelFormat32bppPARGB, nullptr,
                                  frame.put()) != Ok)
        return;
    kl::unique_gdip_graphics graphics;
    if (GdipGetImageGraphicsContext(frame.get(), graphics.put()) != Ok) return;
    GdipTranslateWorldTransform(graphics.get(), static_cast<REAL>(-area.left),
                                static_cast<REAL>(-area.top), MatrixOrderPrepend);
    GdipSetSmoothingMode(graphics.get(), SmoothingModeAntiAlias);
    GdipSetTextRenderingHint(graphics.get(), TextRenderingHintClearTypeGridFit);
    GdipGraphicsClear(graphics.get(),
                      app.highContrast ? SystemColour(COLOR_WINDOW) : Rgb(0xF5F6F3));
    app.buttons.clear();

    Canvas c{app, graphics.get()};
    if (remoteView) {
        DrawRemoteView(app, c);
    } else {
        GdipScaleWorldTransform(graphics.get(), app.scale, app.scale, MatrixOrderPrepend);
        DrawSidebarAndHeader(app, c);
        if (app.page == 1)
            DrawSecurityPage(c);
        else
            DrawConnectionPage(app, c);
        c.DrawButton(kCmdMinimise, L"\u2014", 930, 26, 32, 28, false);
        c.DrawButton(kCmdMaximise, L"\u25A1", 968, 26, 32, 28, false);
        c.DrawButton(kCmdClose, L"\u00D7", 1006, 26, 32, 28, false);
        if (app.sessionActive && !app.viewerMode)
            c.DrawButton(kCmdDisconnect, L"Paylaşımı durdur", 844, 610, 196, 35, true, true);
        c.DrawLabel(app.statusText, 224, 636, 12, app.hostReady ? Rgb(0x17674F) : kMuted, 815,
                    false);
        if (app.consentPending) DrawConsentPanel(app, c);
        c.DrawFocusRing();
    }

    GdipResetWorldTransform(graphics.get());
    const int saved = SaveDC(dc);
    if (picture)
        ExcludeClipRect(dc, frameRect.left, frameRect.top, frameRect.right, frameRect.bottom);
    {
        kl::unique_gdip_graphics target;
        if (GdipCreateFromHDC(dc, target.put()) == Ok)
            GdipDrawImageRectI(target.get(), frame.get(), area.left, area.top, areaWidth,
                               areaHeight);
    }
    RestoreDC(dc, saved);
    if (picture) {
        DrawRemoteFrame(app, dc, frameRect);
        kl::MarkFrameStage(kl::FrameStage::Painted);
    }
}
