#include "screen/capture.hpp"

#include <gdiplus.h>
#include <objbase.h>

#include <chrono>
#include <cmath>
#include <cstring>
#include <thread>

#include "app/client.hpp"
#include "base/thread_guard.hpp"
#include "net/workers.hpp"
#include "screen/capture_size.hpp"
#include "screen/frame_stages.hpp"
#include "screen/jpeg_check.hpp"
#include "screen/jpeg_encoder.hpp"
#include "session/messages.hpp"
#include "win/gdi_handles.hpp"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace kl {
namespace {

// How often a capture waiting for the path looks again.
constexpr DWORD kLinkPollMs = 10;

int RoundHalfAway(double v) {
    return static_cast<int>(std::lround(v));
}

}  // namespace

std::vector<std::uint8_t> EncodeJpeg(void* bitmap, int quality) {
    static const CLSID kJpegEncoder = {
        0x557CF401, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
    static const GUID kQuality = {
        0x1D5BE4B5, 0xFA4A, 0x452D, {0x9C, 0xDD, 0x5D, 0xB3, 0x51, 0x05, 0xE7, 0xEB}};
    unique_stream stream;
    if (bitmap == nullptr || FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put()))) return {};
    LONG value = ClampJpegQuality(quality);
    EncoderParameters parameters{};
    parameters.Count = 1;
    parameters.Parameter[0].Guid = kQuality;
    parameters.Parameter[0].Type = EncoderParameterValueTypeLong;
    parameters.Parameter[0].NumberOfValues = 1;
    parameters.Parameter[0].Value = &value;
    if (GdipSaveImageToStream(static_cast<GpImage*>(bitmap), stream.get(), &kJpegEncoder,
                              &parameters) != Ok)
        return {};
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
    const int x =
        RoundHalfAway((cursor.ptScreenPos.x - static_cast<double>(icon.xHotspot)) * scale);
    const int y =
        RoundHalfAway((cursor.ptScreenPos.y - static_cast<double>(icon.yHotspot)) * scale);
    const int w = std::max(RoundHalfAway(width * scale), 1),
              h = std::max(RoundHalfAway(height * scale), 1);
    DrawIconEx(target, x, y, cursor.hCursor, w, h, 0, nullptr, DI_NORMAL);
}

struct ScreenGrabber::State {
    // One DIB section the screen is drawn into, kept while the screen keeps its size. 24-bit
    // pixels: the JPEG encoder takes them as they are, where 32-bit ones cost it a conversion
    // of the whole picture (about 4 ms under Wine), and the comparison reads a quarter less.
    struct Surface {
        unique_gdi_object dib;
        void* bits = nullptr;
        int width = 0, height = 0;
        int stride = 0;  // bytes a row, padded to four as DIB rows are
    };

    ~State() {
        // A DIB still selected into the context cannot be deleted.
        if (memory && original != nullptr) SelectObject(memory.get(), original);
    }

    // Makes `s` a top-down 24-bit DIB of the given size unless it already is one.
    bool Prepare(Surface& s, int width, int height) {
        if (s.dib && s.width == width && s.height == height) return true;
        if (original != nullptr) SelectObject(memory.get(), original);
        s = Surface{};
        BITMAPINFO bmi{};
        bmi.bmiHeader.biSize = sizeof(BITMAPINFOHEADER);
        bmi.bmiHeader.biWidth = width;
        bmi.bmiHeader.biHeight = -height;  // top-down rows
        bmi.bmiHeader.biPlanes = 1;
        bmi.bmiHeader.biBitCount = 24;
        bmi.bmiHeader.biCompression = BI_RGB;
        void* bits = nullptr;
        unique_gdi_object dib(
            CreateDIBSection(screen.get(), &bmi, DIB_RGB_COLORS, &bits, nullptr, 0));
        if (!dib || bits == nullptr) return false;
        s.dib = std::move(dib);
        s.bits = bits;
        s.width = width;
        s.height = height;
        s.stride = (width * 3 + 3) / 4 * 4;
        return true;
    }

    int maxWidth;
    int quality;
    bool compact = false;
    unique_screen_dc screen;
    unique_memory_dc memory;
    HGDIOBJ original = nullptr;  // the memory context's own bitmap
    Surface surfaces[2];
    int back = 0;  // the surface the next grab goes into; the other holds the picture last sent
    bool grabbed = false;  // the back surface holds this period's picture
    bool sent = false;     // the other surface holds a sent picture
};

ScreenGrabber::ScreenGrabber(int maxWidth, int quality) : state_(std::make_unique<State>()) {
    state_->maxWidth = maxWidth;
    state_->quality = quality;
}

ScreenGrabber::~ScreenGrabber() = default;

bool ScreenGrabber::Grab() {
    State& st = *state_;
    st.grabbed = false;
    const int w = GetSystemMetrics(SM_CXSCREEN), h = GetSystemMetrics(SM_CYSCREEN);
    const CaptureSize size = ScaledCaptureSize(w, h, st.maxWidth);
    if (size.width == 0) return false;
    if (!st.screen) st.screen.reset(GetDC(nullptr));
    if (!st.screen) return false;
    if (!st.memory) st.memory.reset(CreateCompatibleDC(st.screen.get()));
    if (!st.memory) return false;
    State::Surface& s = st.surfaces[st.back];
    if (!st.Prepare(s, size.width, size.height)) return false;
    const HGDIOBJ previous = SelectObject(st.memory.get(), s.dib.get());
    if (previous == nullptr || previous == HGDI_ERROR) return false;
    if (st.original == nullptr) st.original = previous;
    SetStretchBltMode(st.memory.get(), HALFTONE);
    SetBrushOrgEx(st.memory.get(), 0, 0, nullptr);
    if (!StretchBlt(st.memory.get(), 0, 0, size.width, size.height, st.screen.get(), 0, 0, w, h,
                    SRCCOPY | CAPTUREBLT))
        return false;
    DrawCursor(st.memory.get(), size.scale);
    GdiFlush();
    st.grabbed = true;
    return true;
}

bool ScreenGrabber::SameAsSent() const {
    const State& st = *state_;
    const State::Surface &now = st.surfaces[st.back], &sent = st.surfaces[1 - st.back];
    return st.grabbed && st.sent && now.width == sent.width && now.height == sent.height &&
           std::memcmp(now.bits, sent.bits, static_cast<std::size_t>(now.stride) * now.height) == 0;
}

std::vector<std::uint8_t> ScreenGrabber::Encode() {
    const State& st = *state_;
    const State::Surface& s = st.surfaces[st.back];
    if (!st.grabbed) return {};
    // Wraps the DIB's pixels without copying them.
    unique_gdip_bitmap wrapped;
    if (st.compact)
        return EncodeBaselineJpeg(static_cast<const std::uint8_t*>(s.bits), s.stride, s.width,
                                  s.height, st.quality, JpegTables::Optimal);
    if (GdipCreateBitmapFromScan0(s.width, s.height, s.stride, PixelFormat24bppRGB,
                                  static_cast<BYTE*>(s.bits), wrapped.put()) != Ok)
        return {};
    return EncodeJpeg(wrapped.get(), st.quality);
}

void ScreenGrabber::MarkSent() {
    State& st = *state_;
    if (!st.grabbed) return;
    st.back = 1 - st.back;
    st.grabbed = false;
    st.sent = true;
}

void ScreenGrabber::Use(const PictureSettings& settings) {
    state_->maxWidth = settings.maxWidth;
    state_->quality = settings.quality;
    state_->compact = settings.compact;
}

std::vector<std::uint8_t> CaptureScreenJpeg(int maxWidth, int quality) {
    ScreenGrabber grabber(maxWidth, quality);
    if (!grabber.Grab()) return {};
    return grabber.Encode();
}

FrameAction CaptureStep(FrameSource& source, CaptureState& state, const LinkView& link,
                        double nowMs, int screenWidth, int screenHeight) {
    PictureChooser::Plan plan = state.chooser.Next(nowMs, link, screenWidth, screenHeight);
    if (!plan.grab) return FrameAction::Wait;
    source.Use(plan.settings);
    bool captured = source.Grab();
    MarkFrameStage(FrameStage::Grabbed, state.period);
    bool unchanged = false;
    std::vector<std::uint8_t> encoded;
    if (captured) {
        // Equal pixels encode to equal bytes: a still screen costs a grab, not an encoding.
        unchanged = !plan.sharpen && source.SameAsSent();
        MarkFrameStage(FrameStage::Compared, state.period, unchanged);
        if (unchanged) state.chooser.Unchanged(nowMs);
        if (!unchanged && !plan.sharpen && state.chooser.Changed(nowMs)) {
            // Grabbed at the still screen's best settings, but it moves again: grab anew at
            // what the link carries.
            plan.settings = state.chooser.Fit(link.rate, screenWidth, screenHeight);
            source.Use(plan.settings);
            captured = source.Grab();
        }
        if (captured && !unchanged) {
            encoded = source.Encode();
            MarkFrameStage(FrameStage::Encoded, state.period);
            captured = !encoded.empty();
            unchanged = captured && !plan.sharpen && encoded == state.sent;
        }
    }
    const FrameAction action = CountFrame(state.counts, captured, unchanged);
    if (action == FrameAction::Send) {
        if (!encoded.empty()) state.sent = std::move(encoded);
        source.MarkSent();
        JpegFrameInfo info;
        if (CheckJpegStructure(state.sent.data(), state.sent.size(), info))
            state.chooser.Sent(plan.settings, info.width, info.height, state.sent.size());
    }
    return action;
}

namespace {

void PostCaptureFailure(Client& app, std::uint32_t generation, const char* text) noexcept {
    NetEvent event;
    event.kind = NetEvent::Error;
    try {
        event.text = text;
    } catch (...) {
        // Without memory for its words the event still goes: the stop is what matters.
    }
    PostEvent(app, generation, std::move(event));
}

}  // namespace

void RunCapture(Client& app, std::uint32_t generation, FrameSource& source) noexcept {
    const char* failure = nullptr;
    try {
        CaptureState state;
        while (app.streamRunning) {
            const auto start = std::chrono::steady_clock::now();
            const double nowMs =
                std::chrono::duration<double, std::milli>(start.time_since_epoch()).count();
            LinkView link;
            {
                std::lock_guard<std::mutex> lock(app.sendMutex);
                link = app.linkMeter.View(nowMs);
            }
            MarkFrameStage(FrameStage::PeriodStart, state.period);
            failure = "Screen capture unavailable";  // what an exception from here on means
            const FrameAction action =
                CaptureStep(source, state, link, nowMs, GetSystemMetrics(SM_CXSCREEN),
                            GetSystemMetrics(SM_CYSCREEN));
            if (action == FrameAction::Fail) break;
            if (action == FrameAction::Wait) {
                // Not a period: the grab follows as soon as the path has room.
                failure = nullptr;
                Sleep(kLinkPollMs);
                continue;
            }
            if (action == FrameAction::Send) {
                failure = "Screen stream stopped";
                if (!QueueEncrypted(app, ScreenFrame, state.sent)) break;
            }
            failure = nullptr;
            ++state.period;
            const auto deadline = start + std::chrono::milliseconds(kCapturePeriodMs);
            for (auto now = std::chrono::steady_clock::now(); now < deadline;
                 now = std::chrono::steady_clock::now()) {
                const auto left =
                    std::chrono::duration_cast<std::chrono::nanoseconds>(deadline - now).count();
                Sleep(static_cast<DWORD>((left + 999999) / 1000000));
            }
        }
    } catch (...) {
        // `failure` names the step that threw; the session ends as for a counted failure.
    }
    if (failure != nullptr) PostCaptureFailure(app, generation, failure);
    app.streamRunning = false;
}

void CaptureThread(Client* app, std::uint32_t generation) noexcept {
    // Injecting the viewer's input on the UI thread goes before the next picture.
    SetThreadPriority(GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL);
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    GuardThreadBody(
        [&] {
            ScreenGrabber grabber(kCaptureMaxWidth, kCaptureQuality);
            RunCapture(*app, generation, grabber);
        },
        [&](const char*) { PostCaptureFailure(*app, generation, "Screen capture unavailable"); });
    app->streamRunning = false;
    CoUninitialize();
}

void StartCapture(Client& app) {
    ExpectUiThread(app);
    if (app.captureThread.joinable()) {
        app.streamRunning = false;
        app.captureThread.join();
    }
    app.streamRunning = true;
    app.captureThread = std::thread(CaptureThread, &app, app.sessionGeneration);
}

}  // namespace kl
