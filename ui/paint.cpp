#include <string>

#include "app/client.hpp"
#include "ui/gdiplus_handles.hpp"
#include "ui/ui.hpp"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace {

constexpr ARGB Rgb(unsigned rgb) { return 0xFF000000u | rgb; }

struct Canvas {
    GpGraphics* g;

    void Fill(float x, float y, float w, float h, ARGB colour) {
        kl::unique_gdip_brush brush;
        GdipCreateSolidFill(colour, brush.put());
        GdipFillRectangle(g, brush.get(), x, y, w, h);
    }

    void Label(const std::wstring& text, float x, float y, float size, ARGB colour, float width,
               bool bold, const wchar_t* face = L"Segoe UI") {
        kl::unique_gdip_family family;
        if (GdipCreateFontFamilyFromName(face, nullptr, family.put()) != Ok) {
            // A family the system lacks falls back to a generic one rather than drawing nothing.
            GpFontFamily* generic = nullptr;
            if (std::wstring(face) == L"Consolas") GdipGetGenericFontFamilyMonospace(&generic);
            else GdipGetGenericFontFamilySansSerif(&generic);
            if (generic == nullptr) return;
            GdipCloneFontFamily(generic, family.put());
        }
        kl::unique_gdip_font font;
        GdipCreateFont(family.get(), size, bold ? FontStyleBold : FontStyleRegular, UnitPixel, font.put());
        kl::unique_gdip_brush brush;
        GdipCreateSolidFill(colour, brush.put());
        kl::unique_gdip_format format;
        GdipCreateStringFormat(0, LANG_NEUTRAL, format.put());
        GdipSetStringFormatTrimming(format.get(), StringTrimmingEllipsisCharacter);
        RectF rect(x, y, width, size * 2.9f);
        GdipDrawString(g, text.c_str(), -1, font.get(), &rect, format.get(), brush.get());
    }
};

std::wstring GroupedId(const std::string& id) {
    std::wstring wide = Utf8ToWide(id);
    if (wide.size() == 9) return wide.substr(0, 3) + L" " + wide.substr(3, 3) + L" " + wide.substr(6);
    return wide;
}

}  // namespace

void PaintWindow(Client& app, HDC dc) {  // UI thread only
    const int width = app.clientWidth > 0 ? app.clientWidth : 1;
    const int height = app.clientHeight > 0 ? app.clientHeight : 1;
    kl::unique_gdip_bitmap frame;
    if (GdipCreateBitmapFromScan0(width, height, 0, PixelFormat32bppPARGB, nullptr, frame.put()) != Ok)
        return;
    kl::unique_gdip_graphics graphics;
    GdipGetImageGraphicsContext(frame.get(), graphics.put());
    GdipSetSmoothingMode(graphics.get(), SmoothingModeAntiAlias);
    GdipSetTextRenderingHint(graphics.get(), TextRenderingHintClearTypeGridFit);
    GdipGraphicsClear(graphics.get(), Rgb(0xF5F6F3));
    app.buttons.clear();

    Canvas c{graphics.get()};
    GdipScaleWorldTransform(graphics.get(), app.scale, app.scale, MatrixOrderPrepend);
    c.Fill(0, 0, 184, 680, Rgb(0x172821));
    c.Label(L"Kestrelink", 63, 29, 17, Rgb(0xFFFFFF), 116, true);
    c.Label(L"Native / 0.2.0", 24, 597, 12, Rgb(0x769884), 150, false);
    c.Label(app.page == 1 ? L"Güvenlik merkezi" : L"Uzak bağlantı", 224, 30, 24, Rgb(0x1F2E28), 550, true);
    c.Fill(224, 146, 414, 350, Rgb(0xFFFFFF));
    c.Label(GroupedId(app.connectionId), 250, 230, 34, Rgb(0x1F2E28), 360, true, L"Consolas");
    std::wstring key = app.keyVisible ? Utf8ToWide(app.connectionKey) : std::wstring(12, L'•');
    c.Label(key, 250, 320, 16, Rgb(0x1F2E28), 360, false, L"Consolas");
    c.Label(app.hostReady ? L"●  Hazır" : L"●  Bekliyor", 540, 170, 12, Rgb(0x67756E), 90, true);
    c.Label(app.statusText, 224, 640, 13, Rgb(0x67756E), 816, false);

    kl::unique_gdip_graphics target;
    if (GdipCreateFromHDC(dc, target.put()) == Ok)
        GdipDrawImageRectI(target.get(), frame.get(), 0, 0, width, height);
}
