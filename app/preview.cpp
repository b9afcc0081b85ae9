#include "app/preview.hpp"

#include "app/client.hpp"
#include "win/gdi_handles.hpp"
#include "ui/ui.hpp"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

void ExportPreview(Client& app, const std::wstring& path) {  // UI thread only
    static const CLSID kPngEncoder = {
        0x557CF406, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
    kl::unique_gdip_bitmap bitmap;
    if (GdipCreateBitmapFromScan0(app.clientWidth, app.clientHeight, 0, PixelFormat32bppPARGB,
                                  nullptr, bitmap.put()) == Ok) {
        kl::unique_gdip_graphics graphics;
        if (GdipGetImageGraphicsContext(bitmap.get(), graphics.put()) == Ok) {
            HDC dc = nullptr;
            if (GdipGetDC(graphics.get(), &dc) == Ok && dc != nullptr) {
                PaintWindow(app, dc);
                GdipReleaseDC(graphics.get(), dc);
            }
        }
        graphics.reset();
        GdipSaveImageToFile(bitmap.get(), path.c_str(), &kPngEncoder, nullptr);
    }
    DestroyWindow(app.mainWindow);
}
