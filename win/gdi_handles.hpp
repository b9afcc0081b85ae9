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
}  // namespace gdi_detail

// The system's own delete functions are the deleters wherever one takes the handle alone.
using unique_screen_dc = unique_any<HDC, gdi_detail::ReleaseScreenDc, nullptr>;  // GetDC(nullptr)
using unique_memory_dc = unique_any<HDC, DeleteDC, nullptr>;  // CreateCompatibleDC
using unique_gdi_object = unique_any<HGDIOBJ, DeleteObject, nullptr>;
using unique_hbitmap = unique_any<HBITMAP, DeleteObject, nullptr>;
using unique_hfont = unique_any<HFONT, DeleteObject, nullptr>;
using unique_hbrush = unique_any<HBRUSH, DeleteObject, nullptr>;

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
inline void ReleaseStream(IStream* s) noexcept {
    s->Release();
}
}  // namespace gdip_detail

namespace flat = Gdiplus::DllExports;
using unique_gdip_graphics = unique_any<Gdiplus::GpGraphics*, flat::GdipDeleteGraphics, nullptr>;
using unique_gdip_bitmap = unique_any<Gdiplus::GpBitmap*, flat::GdipDisposeImage, nullptr>;
using unique_gdip_brush = unique_any<Gdiplus::GpSolidFill*, flat::GdipDeleteBrush, nullptr>;
using unique_gdip_font = unique_any<Gdiplus::GpFont*, flat::GdipDeleteFont, nullptr>;
using unique_gdip_family = unique_any<Gdiplus::GpFontFamily*, flat::GdipDeleteFontFamily, nullptr>;
using unique_gdip_format =
    unique_any<Gdiplus::GpStringFormat*, flat::GdipDeleteStringFormat, nullptr>;
using unique_gdip_path = unique_any<Gdiplus::GpPath*, flat::GdipDeletePath, nullptr>;
using unique_gdip_pen = unique_any<Gdiplus::GpPen*, flat::GdipDeletePen, nullptr>;
using unique_stream = unique_any<IStream*, gdip_detail::ReleaseStream, nullptr>;

}  // namespace kl
