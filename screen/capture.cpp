#include "screen/capture.hpp"

#include <gdiplus.h>
#include <objbase.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "app/client.hpp"
#include "net/workers.hpp"
#include "screen/capture_size.hpp"
#include "session/messages.hpp"
#include "ui/gdiplus_handles.hpp"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace kl {
namespace {

void ReleaseScreenDc(HDC dc) noexcept { ReleaseDC(nullptr, dc); }
using unique_screen_dc = unique_any<HDC, ReleaseScreenDc, nullptr>;
void DeleteMemoryDc(HDC dc) noexcept { DeleteDC(dc); }
using unique_memory_dc = unique_any<HDC, DeleteMemoryDc, nullptr>;
void DeleteGdiObject(HGDIOBJ object) noexcept { DeleteObject(object); }
using unique_gdi_object = unique_any<HGDIOBJ, DeleteGdiObject, nullptr>;

// Selects an object into a context for one scope and puts the old one back.
class ScopedSelect {
public:
    ScopedSelect(HDC dc, HGDIOBJ object) : dc_(dc), old_(SelectObject(dc, object)) {}
    ~ScopedSelect() {
        if (old_ != nullptr && old_ != HGDI_ERROR) SelectObject(dc_, old_);
    }
    ScopedSelect(const ScopedSelect&) = delete;
    ScopedSelect& operator=(const ScopedSelect&) = delete;
    bool ok() const { return old_ != nullptr && old_ != HGDI_ERROR; }

private:
    HDC dc_;
    HGDIOBJ old_;
};

int RoundHalfAway(double v) { return static_cast<int>(std::lround(v)); }

}  // namespace

std::vector<std::uint8_t> EncodeJpeg(void* bitmap, int quality) {
    static const CLSID kJpegEncoder = {0x557CF401, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
    static const GUID kQuality = {0x1D5BE4B5, 0xFA4A, 0x452D, {0x9C, 0xDD, 0x5D, 0xB3, 0x51, 0x05, 0xE7, 0xEB}};
    unique_stream stream;
    if (bitmap == nullptr || FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) return {};
    LONG value = ClampJpegQuality(quality);
    EncoderParameters parameters{};
    parameters.Count = 1;
    parameters.Parameter[0].Guid = kQuality;
    parameters.Parameter[0].Type = EncoderParameterValueTypeLong;
    parameters.Parameter[0].NumberOfValues = 1;
    parameters.Parameter[0].Value = &value;
    if (GdipSaveImageToStream(static_cast<GpImage*>(bitmap), stream.get(), &kJpegEncoder, &parameters) != Ok) return {};
    STATSTG stat{};
    if (FAILED(stream.get()->Stat(&stat, STATFLAG_NONAME))) return {};
    const ULONGLONG size = stat.cbSize.QuadPart;
    if (size < 4 || size > 8388607) return {};
    HGLOBAL memory = nullptr;
    if (FAILED(GetHGlobalFromStream(stream.get(), &memory))) return {};
    const void* bytes = GlobalLock(memory);
    if (bytes == nullptr) return {};
    std::vector<std::uint8_t> result(static_cast<const std::uint8_t*>(bytes),
                                     static_cast<const std::uint8_t*>(bytes) + size);
    GlobalUnlock(memory);
    return result;
}

void DrawCursor(HDC target, double scale) {
    CURSORINFO cursor{};
    cursor.cbSize = sizeof cursor;
    if (!GetCursorInfo(&cursor) || !(cursor.flags & CURSOR_SHOWING)) return;
    ICONINFO icon{};
    if (!GetIconInfo(cursor.hCursor, &icon)) return;
    unique_gdi_object colour(icon.hbmColor), mask(icon.hbmMask);
    int width = GetSystemMetrics(SM_CXCURSOR), height = GetSystemMetrics(SM_CYCURSOR);
    BITMAP info{};
    if (icon.hbmColor != nullptr && GetObjectW(icon.hbmColor, sizeof info, &info) != 0) {
        width = info.bmWidth;
        height = info.bmHeight;
    } else if (icon.hbmMask != nullptr && GetObjectW(icon.hbmMask, sizeof info, &info) != 0) {
        width = info.bmWidth;
        height = info.bmHeight / 2;  // a monochrome mask holds the AND and XOR images
    }
    const int x = RoundHalfAway((cursor.ptScreenPos.x - static_cast<double>(icon.xHotspot)) * scale);
    const int y = RoundHalfAway((cursor.ptScreenPos.y - static_cast<double>(icon.yHotspot)) * scale);
    const int w = std::max(RoundHalfAway(width * scale), 1), h = std::max(RoundHalfAway(height * scale), 1);
    DrawIconEx(target, x, y, cursor.hCursor, w, h, 0, nullptr, DI_NORMAL);
}

std::vector<std::uint8_t> CaptureScreenJpeg(int maxWidth, int quality) {
    const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    const CaptureSize size = ScaledCaptureSize(w, h, maxWidth);
    if (size.width == 0) return {};
    unique_screen_dc screen(GetDC(nullptr));
    if (!screen) return {};
    unique_memory_dc memory(CreateCompatibleDC(screen.get()));
    if (!memory) return {};
    BITMAPINFO bmi{};
    bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
    bmi.bmiHeader.biWidth = size.width;
    bmi.bmiHeader.biHeight = -size.height;  // top-down rows
    bmi.bmiHeader.biPlanes = 1;
    bmi.bmiHeader.biBitCount = 32;
    bmi.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    unique_gdi_object dib(CreateDIBSection(screen.get(), &bmi, DIB_RGB_COLORS, &bits, nullptr, 0));
    if (!dib || bits == nullptr) return {};
    ScopedSelect select(memory.get(), dib.get());
    if (!select.ok()) return {};
    SetStretchBltMode(memory.get(), HALFTONE);
    SetBrushOrgEx(memory.get(), 0, 0, nullptr);
    if (!StretchBlt(memory.get(), 0, 0, size.width, size.height, screen.get(), 0, 0, w, h, SRCCOPY | CAPTUREBLT))
        return {};
    DrawCursor(memory.get(), size.scale);
    GdiFlush();
    unique_gdip_bitmap wrapped;
    if (GdipCreateBitmapFromScan0(size.width, size.height, size.width * 4, PixelFormat32bppRGB,
                                  static_cast<BYTE*>(bits), wrapped.put()) != Ok)
        return {};
    return EncodeJpeg(wrapped.get(), quality);
}

void CaptureThread(Client* app, std::uint32_t generation) {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    std::vector<std::uint8_t> previous;
    int failures = 0, unchanged = 0;
    const char* failure = nullptr;
    while (app->streamRunning) {
        const auto start = std::chrono::steady_clock::now();
        std::vector<std::uint8_t> frame = CaptureScreenJpeg(kCaptureMaxWidth, kCaptureQuality);
        if (frame.empty()) {
            if (++failures >= kCaptureFailureLimit) {
                failure = "Screen capture unavailable";
                break;
            }
        } else {
            failures = 0;
            // A still screen costs a capture each period but a frame only every fifteenth.
            const bool send = frame != previous || ++unchanged >= kUnchangedResend;
            if (send) {
                if (!QueueEncrypted(*app, ScreenFrame, frame)) {
                    failure = "Screen stream stopped";
                    break;
                }
                previous = std::move(frame);
                unchanged = 0;
            }
        }
        const auto deadline = start + std::chrono::milliseconds(kCapturePeriodMs);
        for (auto now = std::chrono::steady_clock::now(); now < deadline; now = std::chrono::steady_clock::now()) {
            const auto left = std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
            Sleep(static_cast<DWORD>((left + 999999) / 1000000));
        }
    }
    if (failure != nullptr) {
        NetEvent event;
        event.kind = NetEvent::Error;
        event.text = failure;
        PostEvent(*app, generation, std::move(event));
    }
    app->streamRunning = false;
    CoUninitialize();
}

void StartCapture(Client& app) {  // UI thread only
    if (app.captureThread.joinable()) {
        app.streamRunning = false;
        app.captureThread.join();
    }
    app.streamRunning = true;
    app.captureThread = std::thread(CaptureThread, &app, app.sessionGeneration);
}

}  // namespace kl
