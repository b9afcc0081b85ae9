#pragma once
// One owner per GDI+ flat-API object, and for the in-memory COM stream the codecs read and write.
#include <windows.h>
#include <gdiplus.h>
#include <objbase.h>

#include "app/unique_any.hpp"

namespace kl {

namespace gdip_detail {
inline void DeleteGraphics(Gdiplus::GpGraphics* g) noexcept { Gdiplus::DllExports::GdipDeleteGraphics(g); }
inline void DisposeImage(Gdiplus::GpBitmap* b) noexcept { Gdiplus::DllExports::GdipDisposeImage(b); }
inline void DeleteBrush(Gdiplus::GpSolidFill* b) noexcept { Gdiplus::DllExports::GdipDeleteBrush(b); }
inline void DeleteFont(Gdiplus::GpFont* f) noexcept { Gdiplus::DllExports::GdipDeleteFont(f); }
inline void DeleteFamily(Gdiplus::GpFontFamily* f) noexcept { Gdiplus::DllExports::GdipDeleteFontFamily(f); }
inline void DeleteFormat(Gdiplus::GpStringFormat* f) noexcept { Gdiplus::DllExports::GdipDeleteStringFormat(f); }
inline void DeletePath(Gdiplus::GpPath* p) noexcept { Gdiplus::DllExports::GdipDeletePath(p); }
inline void DeletePen(Gdiplus::GpPen* p) noexcept { Gdiplus::DllExports::GdipDeletePen(p); }
inline void ReleaseStream(IStream* s) noexcept { s->Release(); }
}  // namespace gdip_detail

using unique_gdip_graphics = unique_any<Gdiplus::GpGraphics*, gdip_detail::DeleteGraphics, nullptr>;
using unique_gdip_bitmap = unique_any<Gdiplus::GpBitmap*, gdip_detail::DisposeImage, nullptr>;
using unique_gdip_brush = unique_any<Gdiplus::GpSolidFill*, gdip_detail::DeleteBrush, nullptr>;
using unique_gdip_font = unique_any<Gdiplus::GpFont*, gdip_detail::DeleteFont, nullptr>;
using unique_gdip_family = unique_any<Gdiplus::GpFontFamily*, gdip_detail::DeleteFamily, nullptr>;
using unique_gdip_format = unique_any<Gdiplus::GpStringFormat*, gdip_detail::DeleteFormat, nullptr>;
using unique_gdip_path = unique_any<Gdiplus::GpPath*, gdip_detail::DeletePath, nullptr>;
using unique_gdip_pen = unique_any<Gdiplus::GpPen*, gdip_detail::DeletePen, nullptr>;
using unique_stream = unique_any<IStream*, gdip_detail::ReleaseStream, nullptr>;

}  // namespace kl
