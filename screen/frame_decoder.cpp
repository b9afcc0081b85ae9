#include "screen/frame_decoder.hpp"

#include <gdiplus.h>
#include <objbase.h>

#include <algorithm>
#include <cmath>
#include <utility>

#include "base/thread_guard.hpp"
#include "screen/frame_stages.hpp"
#include "screen/remote_frame.hpp"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace kl {
namespace {

// For each target column (or row): the first source index it covers and its weights, in
// 1/unity-ths that add up to exactly `unity`.
struct Taps {
    std::vector<int> first, count;
    std::vector<std::uint32_t> weights;  // count[i] weights for target i, in order
};

Taps AreaTaps(int source, int target, std::uint32_t unity) {
    Taps taps;
    taps.first.resize(target);
    taps.count.resize(target);
    const double step = static_cast<double>(source) / target;
    for (int i = 0; i < target; ++i) {
        const double from = i * step, to = std::min((i + 1) * step, static_cast<double>(source));
        const int first = std::min(static_cast<int>(from), source - 1);
        const int last = std::max(first, std::min(static_cast<int>(std::ceil(to)) - 1, source - 1));
        taps.first[i] = first;
        taps.count[i] = last - first + 1;
        std::uint32_t total = 0, largest = 0;
        std::size_t largestAt = taps.weights.size();
        for (int s = first; s <= last; ++s) {
            const double cover = std::min(to, s + 1.0) - std::max(from, static_cast<double>(s));
            const auto w = static_cast<std::uint32_t>(std::max(cover, 0.0) / (to - from) * unity);
            if (w >= largest) {
                largest = w;
                largestAt = taps.weights.size();
            }
            taps.weights.push_back(w);
            total += w;
        }
        taps.weights[largestAt] += unity - total;  // rounding left over goes to the widest share
    }
    return taps;
}

// The decoded picture scaled for its place into `out`; false when its pixels cannot be read.
bool ScalePicture(const unique_gdip_bitmap& picture, int width, int height,
                  std::vector<std::uint32_t>& out) {
    if (width < 1 || height < 1) return false;
    auto* bitmap = static_cast<GpBitmap*>(picture.get());
    const INT w = static_cast<INT>(ImageWidth(picture)), h = static_cast<INT>(ImageHeight(picture));
    const GpRect all(0, 0, w, h);
    BitmapData data{};
    if (w < 1 || h < 1 ||
        GdipBitmapLockBits(bitmap, &all, ImageLockModeRead, PixelFormat32bppRGB, &data) != Ok)
        return false;
    out.resize(static_cast<std::size_t>(width) * height);
    ScalePixels(static_cast<const std::uint8_t*>(data.Scan0), data.Stride, w, h, out.data(), width,
                height);
    GdipBitmapUnlockBits(bitmap, &data);
    return true;
}

}  // namespace

void ScalePixels(const std::uint8_t* source, int sourceStride, int sourceWidth, int sourceHeight,
                 std::uint32_t* target, int width, int height) {
    if (source == nullptr || target == nullptr || sourceWidth < 1 || sourceHeight < 1 ||
        width < 1 || height < 1)
        return;
    const Taps across = AreaTaps(sourceWidth, width, 65536),
               down = AreaTaps(sourceHeight, height, 256);
    // Rows scaled across first, kept with 8 more bits (channel × 256) for the second pass.
    std::vector<std::uint16_t> rows(static_cast<std::size_t>(sourceHeight) * width * 3);
    for (int y = 0; y < sourceHeight; ++y) {
        const std::uint8_t* in = source + static_cast<std::ptrdiff_t>(y) * sourceStride;
        std::uint16_t* row = rows.data() + static_cast<std::size_t>(y) * width * 3;
        const std::uint32_t* w = across.weights.data();
        for (int x = 0; x < width; ++x) {
            std::uint32_t b = 0, g = 0, r = 0;
            const std::uint8_t* p = in + static_cast<std::ptrdiff_t>(across.first[x]) * 4;
            for (int k = 0; k < across.count[x]; ++k, p += 4, ++w) {
                b += p[0] * *w;
                g += p[1] * *w;
                r += p[2] * *w;
            }
            row[x * 3] = static_cast<std::uint16_t>((b + 128) >> 8);
            row[x * 3 + 1] = static_cast<std::uint16_t>((g + 128) >> 8);
            row[x * 3 + 2] = static_cast<std::uint16_t>((r + 128) >> 8);
        }
    }
    std::vector<std::uint32_t> sums(static_cast<std::size_t>(width) * 3);
    const std::uint32_t* w = down.weights.data();
    for (int y = 0; y < height; ++y) {
        std::fill(sums.begin(), sums.end(), 0u);
        for (int k = 0; k < down.count[y]; ++k, ++w) {
            // (channel × 256) × weights adding up to 256 stays below 2^24.
            const std::uint16_t* row =
                rows.data() + static_cast<std::size_t>(down.first[y] + k) * width * 3;
            const std::uint32_t weight = *w;
            for (std::size_t i = 0; i < sums.size(); ++i) sums[i] += row[i] * weight;
        }
        std::uint32_t* out = target + static_cast<std::size_t>(y) * width;
        for (int x = 0; x < width; ++x) {
            const auto channel = [&](int c) {
                return std::min<std::uint32_t>((sums[x * 3 + c] + 32768) >> 16, 255);
            };
            out[x] = channel(0) | channel(1) << 8 | channel(2) << 16;
        }
    }
}

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
        GuardThreadBody([&] { done = Decode(*job); }, [](const char*) {});
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

std::unique_ptr<DecodedFrame> FrameDecoder::Decode(const Job& job) {
    auto done = std::make_unique<DecodedFrame>();
    done->sequence = job.frame.sequence;
    done->generation = job.frame.generation;
    try {
        done->picture = DecodeJpegFrame(job.frame.jpeg.data(), job.frame.jpeg.size());
    } catch (const std::exception&) {
        return done;  // reported as a frame that did not decode, as on the window's thread
    }
    if (!done->picture) return done;
    MarkFrameStage(FrameStage::Decoded, 0, done->sequence);
    try {
        if (ScalePicture(done->picture, job.width, job.height, done->scaled)) {
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
