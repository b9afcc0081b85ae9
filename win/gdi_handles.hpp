#pragma once
// One owner per GDI and GDI+ object, and for the in-memory COM stream the codecs read and
// write: every Windows-side folder (screen, ui, app, tests) takes its owners from here.
#include <windows.h>
#include <gdiplus.h>
#include <objbase.h>

#include "base/unique_any.hpp"

namespace kl {

namespace gdi_detail {
inline void ReleaseScreenDc(HDC dc) noexcept {
    ReleaseDC(nullptr, dc);
}
inline void DeleteMemoryDc(HDC dc) noexcept {
    DeleteDC(dc);
}
template <typename Object>
void DeleteGdiObject(Object object) noexcept {
    DeleteObject(object);
}
}  // namespace gdi_detail

using unique_screen_dc = unique_any<HDC, gdi_detail::ReleaseScreenDc, nullptr>;  // GetDC(nullptr)
using unique_memory_dc =
    unique_any<HDC, gdi_detail::DeleteMemoryDc, nullptr>;  // CreateCompatibleDC
using unique_gdi_object = unique_any<HGDIOBJ, gdi_detail::DeleteGdiObject<HGDIOBJ>, nullptr>;
using unique_hbitmap = unique_any<HBITMAP, gdi_detail::DeleteGdiObject<HBITMAP>, nullptr>;
using unique_hfont = unique_any<HFONT, gdi_detail::DeleteGdiObject<HFONT>, nullptr>;
using unique_hbrush = unique_any<HBRUSH, gdi_detail::DeleteGdiObject<HBRUSH>, nullptr>;

// Selects an object into a DC for a scope and puts the previous one back.
class ScopedSelect {
  public:
    ScopedSelect(HDC dc, HGDIOBJ object) noexcept : dc_(dc), previous_(SelectObject(dc, object)) {}
    ~ScopedSelect() {
        if (previous_ != nullptr && previous_ != HGDI_ERROR) SelectObject(dc_, previous_);
    }
    ScopedSelect(const ScopedSelect&) = delete;
    ScopedSelect& operator=(const ScopedSelect&) = delete;

  private:
    HDC dc_;
    HGDIOBJ previous_;
};

namespace gdip_detail {
inline void DeleteGraphics(Gdiplus::GpGraphics* g) noexcept {
    Gdiplus::DllExports::GdipDeleteGraphics(g);
}
inline void DisposeImage(Gdiplus::GpBitmap* b) noexcept {
    Gdiplus::DllExports::GdipDisposeImage(b);
}
inline void DeleteGdipBrush(Gdiplus::GpSolidFill* b) noexcept {
    Gdiplus::DllExports::GdipDeleteBrush(b);
}
inline void DeleteGdipFont(Gdiplus::GpFont* f) noexcept {
    Gdiplus::DllExports::GdipDeleteFont(f);
}
inline void DeleteFamily(Gdiplus::GpFontFamily* f) noexcept {
    Gdiplus::DllExports::GdipDeleteFontFamily(f);
}
inline void DeleteFormat(Gdiplus::GpStringFormat* f) noexcept {
    Gdiplus::DllExports::GdipDeleteStringFormat(f);
}
inline void DeletePath(Gdiplus::GpPath* p) noexcept {
    Gdiplus::DllExports::GdipDeletePath(p);
}
inline void DeleteGdipPen(Gdiplus::GpPen* p) noexcept {
    Gdiplus::DllExports::GdipDeletePen(p);
}
inline void ReleaseStream(IStream* s) noexcept {
    s->Release();
}
}  // namespace gdip_detail

using unique_gdip_graphics = unique_any<Gdiplus::GpGraphics*, gdip_detail::DeleteGraphics, nullptr>;
using unique_gdip_bitmap = unique_any<Gdiplus::GpBitmap*, gdip_detail::DisposeImage, nullptr>;
using unique_gdip_brush = unique_any<Gdiplus::GpSolidFill*, gdip_detail::DeleteGdipBrush, nullptr>;
using unique_gdip_font = unique_any<Gdiplus::GpFont*, gdip_detail::DeleteGdipFont, nullptr>;
using unique_gdip_family = unique_any<Gdiplus::GpFontFamily*, gdip_detail::DeleteFamily, nullptr>;
using unique_gdip_format = unique_any<Gdiplus::GpStringFormat*, gdip_detail::DeleteFormat, nullptr>;
using unique_gdip_path = unique_any<Gdiplus::GpPath*, gdip_detail::DeletePath, nullptr>;
using unique_gdip_pen = unique_any<Gdiplus::GpPen*, gdip_detail::DeleteGdipPen, nullptr>;
using unique_stream = unique_any<IStream*, gdip_detail::ReleaseStream, nullptr>;

}  // namespace kl
