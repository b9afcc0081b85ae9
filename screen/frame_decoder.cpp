#include "screen/frame_decoder.hpp"

#include <gdiplus.h>
#include <objbase.h>

#include <utility>

#include "base/thread_guard.hpp"
#include "screen/frame_stages.hpp"
#include "screen/remote_frame.hpp"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace kl {
namespace {

// The decoded picture scaled for its place into `out`; false when its pixels cannot be read.
// The codec's 24-bit pixels are read as they are: converting them to 32 bits first would cost
// more than the whole scale.
bool ScalePicture(AreaScaler& scaler, const unique_gdip_bitmap& picture, int width, int height,
                  std::vector<std::uint32_t>& out) {
    if (width < 1 || height < 1) return false;
    auto* bitmap = picture.get();
    const INT w = static_cast<INT>(ImageWidth(picture)), h = static_cast<INT>(ImageHeight(picture));
    PixelFormat format = PixelFormat32bppRGB;
    if (GdipGetImagePixelFormat(bitmap, &format) != Ok || format != PixelFormat24bppRGB)
        format = PixelFormat32bppRGB;
    const GpRect all(0, 0, w, h);
    BitmapData data{};
    if (w < 1 || h < 1 || GdipBitmapLockBits(bitmap, &all, ImageLockModeRead, format, &data) != Ok)
        return false;
    out.resize(static_cast<std::size_t>(width) * height);
    scaler.Scale(static_cast<const std::uint8_t*>(data.Scan0), data.Stride,
                 format == PixelFormat24bppRGB ? 3 : 4, w, h, out.data(), width, height);
    GdipBitmapUnlockBits(bitmap, &data);
    return true;
}

}  // namespace

FrameDecoder::FrameDecoder(HWND window, UINT message) : window_(window), message_(message) {
    thread_ = std::thread([this] { Run(); });
}

FrameDecoder::~FrameDecoder() {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        pending_.reset();
    }
    wake_.notify_all();
    thread_.join();
}

void FrameDecoder::Submit(HeldFrame frame, int width, int height) {
    auto job = std::make_unique<Job>(Job{std::move(frame), width, height});
    std::unique_ptr<Job> replaced;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        replaced = std::exchange(pending_, std::move(job));
    }
    if (replaced) MarkFrameStage(FrameStage::Superseded, 0, replaced->frame.sequence);
    wake_.notify_one();
}

bool FrameDecoder::Take(DecodedFrame& out) {
    std::unique_ptr<DecodedFrame> done;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        posted_ = false;
        done = std::move(done_);
    }
    if (!done) return false;
    out = std::move(*done);
    return true;
}

void FrameDecoder::Discard() {
    std::unique_ptr<Job> job;
    std::unique_ptr<DecodedFrame> done;
    std::lock_guard<std::mutex> lock(mutex_);
    job = std::move(pending_);
    done = std::move(done_);
}

void FrameDecoder::Run() noexcept {
    CoInitializeEx(nullptr, COINIT_MULTITHREADED);
    AreaScaler scaler;  // its weights and row buffer serve every picture of the same size
    for (;;) {
        std::unique_ptr<Job> job;
        {
            std::unique_lock<std::mutex> lock(mutex_);
            wake_.wait(lock, [&] { return stopping_ || pending_; });
            if (stopping_) break;
            job = std::move(pending_);
        }
        std::unique_ptr<DecodedFrame> done;
        // Without memory even for the result this picture is lost; the next one follows soon.
        GuardThreadBody([&] { done = Decode(*job, scaler); }, [](const char*) {});
        job.reset();
        if (!done) continue;
        bool post = false;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            if (stopping_) break;
            done_ = std::move(done);
            post = !posted_;
            posted_ = true;
        }
        if (post && !PostMessageW(window_, message_, 0, 0)) {
            std::lock_guard<std::mutex> lock(mutex_);
            posted_ = false;  // the next frame tries again
        }
    }
    CoUninitialize();
}

std::unique_ptr<DecodedFrame> FrameDecoder::Decode(const Job& job, AreaScaler& scaler) {
    auto done = std::make_unique<DecodedFrame>();
    done->sequence = job.frame.sequence;
    done->generation = job.frame.generation;
    try {
        done->picture = DecodeJpegPicture(job.frame.jpeg.data(), job.frame.jpeg.size());
    } catch (const std::exception&) {
        return done;  // reported as a frame that did not decode, as on the window's thread
    }
    if (!done->picture) return done;
    MarkFrameStage(FrameStage::Decoded, 0, done->sequence);
    try {
        if (ScalePicture(scaler, done->picture, job.width, job.height, done->scaled)) {
            MarkFrameStage(FrameStage::Scaled, 0, done->sequence);
            done->scaledWidth = job.width;
            done->scaledHeight = job.height;
            return done;
        }
    } catch (const std::exception&) {
    }
    done->scaled = {};  // the window scales the picture itself when it paints
    return done;
}

}  // namespace kl
