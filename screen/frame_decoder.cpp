#include "screen/frame_decoder.hpp"

#include <gdiplus.h>
#include <objbase.h>

#include <atomic>
#include <utility>

#include "base/thread_guard.hpp"
#include "crypto/secure_wipe.hpp"
#include "screen/frame_stages.hpp"
#include "screen/remote_frame.hpp"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace kl {
namespace {

std::atomic<int> g_runningDecoders{0};

// Reads every pixel of the decoded picture, which is when a codec that decodes lazily (GDI+ on
// Windows) really decodes it, and scales it for its place into `out` when it has one (`out`
// stays empty when it cannot be scaled). False when the pixels cannot be read: the picture did
// not decode. The codec's 24-bit pixels are read as they are: converting them to 32 bits first
// would cost more than the whole scale.
bool ReadPicture(AreaScaler& scaler, const unique_gdip_bitmap& picture, int width, int height,
                 std::uint64_t sequence, std::vector<std::uint32_t>& out) {
    auto* bitmap = picture.get();
    const INT w = static_cast<INT>(ImageWidth(picture)), h = static_cast<INT>(ImageHeight(picture));
    PixelFormat format = PixelFormat32bppRGB;
    if (GdipGetImagePixelFormat(bitmap, &format) != Ok || format != PixelFormat24bppRGB)
        format = PixelFormat32bppRGB;
    const bool scale = width > 0 && height > 0;
    try {
        if (scale) out.resize(static_cast<std::size_t>(width) * height);
    } catch (const std::exception&) {
        out = {};  // the window scales the picture itself when it paints
    }
    const GpRect all(0, 0, w, h);
    BitmapData data{};
    if (w < 1 || h < 1 || GdipBitmapLockBits(bitmap, &all, ImageLockModeRead, format, &data) != Ok)
        return false;
    MarkFrameStage(FrameStage::Decoded, 0, sequence);
    try {
        if (!out.empty())
            scaler.Scale(static_cast<const std::uint8_t*>(data.Scan0), data.Stride,
                         format == PixelFormat24bppRGB ? 3 : 4, w, h, out.data(), width, height);
    } catch (const std::exception&) {
        out = {};
    }
    GdipBitmapUnlockBits(bitmap, &data);
    return true;
}

void Wipe(std::unique_ptr<DecodedFrame>& frame) noexcept {
    if (!frame) return;
    WipePicture(frame->picture);
    SecureWipe(frame->scaled);
    frame.reset();
}

void Wipe(std::unique_ptr<FrameDecoder::Job>& job) noexcept {
    if (!job) return;
    SecureWipe(job->frame.jpeg);
    job.reset();
}

}  // namespace

int RunningFrameDecoders() noexcept {
    return g_runningDecoders.load();
}

FrameDecoder::FrameDecoder(HWND window, UINT message) : shared_(std::make_shared<Shared>()) {
    shared_->window = window;
    shared_->message = message;
    ++g_runningDecoders;
    try {
        std::thread(Run, shared_).detach();
    } catch (...) {
        --g_runningDecoders;
        throw;
    }
}

FrameDecoder::~FrameDecoder() {
    std::unique_ptr<Job> pending;
    std::unique_ptr<DecodedFrame> done;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->stopping = true;
        pending = std::move(shared_->pending);
        done = std::move(shared_->done);
    }
    shared_->wake.notify_all();
    Wipe(pending);
    Wipe(done);
}

void FrameDecoder::Submit(HeldFrame frame, int width, int height) {
    auto job = std::make_unique<Job>(Job{std::move(frame), width, height});
    std::unique_ptr<Job> replaced;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        replaced = std::exchange(shared_->pending, std::move(job));
    }
    if (replaced) MarkFrameStage(FrameStage::Superseded, 0, replaced->frame.sequence);
    Wipe(replaced);
    shared_->wake.notify_one();
}

bool FrameDecoder::Take(DecodedFrame& out) {
    std::unique_ptr<DecodedFrame> done;
    {
        std::lock_guard<std::mutex> lock(shared_->mutex);
        shared_->posted = false;
        done = std::move(shared_->done);
    }
    if (!done) return false;
    out = std::move(*done);
    return true;
}

void FrameDecoder::Run(std::shared_ptr<Shared> shared) noexcept {
    Shared& s = *shared;
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    {
        AreaScaler scaler;  // its weights and row buffer serve every picture of the same size
        for (;;) {
            std::unique_ptr<Job> job;
            {
                std::unique_lock<std::mutex> lock(s.mutex);
                s.wake.wait(lock, [&] { return s.stopping || s.pending; });
                if (s.stopping) break;
                job = std::move(s.pending);
            }
            std::unique_ptr<DecodedFrame> done;
            // Without memory even for the result this picture is lost; the next one follows soon.
            GuardThreadBody([&] { done = Decode(*job, scaler); }, [](const char*) {});
            Wipe(job);
            if (!done) continue;
            std::unique_ptr<DecodedFrame> replaced;
            bool post = false, stopping = false;
            {
                std::lock_guard<std::mutex> lock(s.mutex);
                stopping = s.stopping;
                if (!stopping) {
                    replaced = std::exchange(s.done, std::move(done));
                    post = !s.posted;
                    s.posted = true;
                }
            }
            Wipe(replaced);
            if (stopping) {
                Wipe(done);  // the session it belongs to has ended
                break;
            }
            if (post && !PostMessageW(s.window, s.message, 0, 0)) {
                std::lock_guard<std::mutex> lock(s.mutex);
                s.posted = false;  // the next frame tries again
            }
        }
    }
    CoUninitialize();
    shared.reset();
    --g_runningDecoders;
}

std::unique_ptr<DecodedFrame> FrameDecoder::Decode(Job& job, AreaScaler& scaler) {
    auto done = std::make_unique<DecodedFrame>();
    done->sequence = job.frame.sequence;
    done->generation = job.frame.generation;
    try {
        done->picture = DecodeJpegPicture(job.frame.jpeg.data(), job.frame.jpeg.size());
    } catch (const std::exception&) {
        return done;  // reported as a frame that did not decode, as on the window's thread
    }
    if (!done->picture) return done;
    if (!ReadPicture(scaler, done->picture, job.width, job.height, done->sequence, done->scaled)) {
        done->picture.reset();  // its pixels could not be read: it did not decode
        return done;
    }
    if (!done->scaled.empty()) {
        MarkFrameStage(FrameStage::Scaled, 0, done->sequence);
        done->scaledWidth = job.width;
        done->scaledHeight = job.height;
    }
    return done;
}

}  // namespace kl
