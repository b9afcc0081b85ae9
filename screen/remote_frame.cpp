#include "screen/remote_frame.hpp"

#include <cmath>

#include "crypto/secure_wipe.hpp"
#include "screen/jpeg_check.hpp"
#include "win/gdi_handles.hpp"

using namespace Gdiplus;
using namespace Gdiplus::DllExports;

namespace kl {
namespace {

// The decoded pixels converted straight into the new bitmap's own memory: one plain copy,
// without the drawing pipeline. False when the platform cannot, and the caller draws instead.
bool ConvertInto(GpBitmap* decoded, GpBitmap* result, int width, int height) {
    const GpRect all(0, 0, width, height);
    BitmapData target{};
    if (GdipBitmapLockBits(result, &all, ImageLockModeWrite, PixelFormat32bppRGB, &target) != Ok)
        return false;
    BitmapData source = target;  // the decoder writes into the target's rows
    const bool converted =
        GdipBitmapLockBits(decoded, &all, ImageLockModeRead | ImageLockModeUserInputBuf,
                           PixelFormat32bppRGB, &source) == Ok;
    if (converted) GdipBitmapUnlockBits(decoded, &source);
    GdipBitmapUnlockBits(result, &target);
    return converted;
}

}  // namespace

kl::unique_gdip_bitmap DecodeJpegPicture(const std::uint8_t* bytes, std::size_t length) {
    JpegFrameInfo info;
    if (!CheckJpegStructure(bytes, length, info)) return {};
    // The codec gets the picture only: application and comment segments, and the metadata
    // parsers they would feed, stay out of reach of the peer.
    std::vector<ByteRange> parts;
    if (!JpegRangesWithoutMetadata(bytes, length, parts)) return {};
    ULARGE_INTEGER total{};
    for (const ByteRange& part : parts) total.QuadPart += part.length;
    unique_stream stream;
    if (FAILED(CreateStreamOnHGlobal(nullptr, TRUE, stream.put())) ||
        FAILED(stream.get()->SetSize(total)))
        return {};
    for (const ByteRange& part : parts) {
        ULONG written = 0;
        if (FAILED(stream.get()->Write(bytes + part.offset, static_cast<ULONG>(part.length),
                                       &written)) ||
            written != part.length)
            return {};
    }
    LARGE_INTEGER start{};
    if (FAILED(stream.get()->Seek(start, STREAM_SEEK_SET, nullptr))) return {};

    unique_gdip_bitmap decoded;
    if (GdipCreateBitmapFromStream(stream.get(), decoded.put()) != Ok) return {};
    UINT width = 0, height = 0;
    if (GdipGetImageWidth(decoded.get(), &width) != Ok ||
        GdipGetImageHeight(decoded.get(), &height) != Ok ||
        width != static_cast<UINT>(info.width) || height != static_cast<UINT>(info.height))
        return {};
    return decoded;
}

kl::unique_gdip_bitmap DecodeJpegFrame(const std::uint8_t* bytes, std::size_t length) {
    const unique_gdip_bitmap decoded = DecodeJpegPicture(bytes, length);
    const int width = static_cast<int>(ImageWidth(decoded)),
              height = static_cast<int>(ImageHeight(decoded));
    if (width < 1 || height < 1) return {};
    unique_gdip_bitmap result;
    if (GdipCreateBitmapFromScan0(width, height, 0, PixelFormat32bppRGB, nullptr, result.put()) !=
        Ok)
        return {};
    GpBitmap* source = decoded.get();
    if (!ConvertInto(source, result.get(), width, height)) {
        unique_gdip_graphics graphics;
        if (GdipGetImageGraphicsContext(result.get(), graphics.put()) != Ok) return {};
        if (GdipDrawImageRectI(graphics.get(), source, 0, 0, width, height) != Ok) return {};
    }
    return kl::unique_gdip_bitmap(result.release());
}

void WipePicture(const kl::unique_gdip_bitmap& picture) noexcept {
    auto* bitmap = picture.get();
    const INT w = static_cast<INT>(ImageWidth(picture)), h = static_cast<INT>(ImageHeight(picture));
    PixelFormat format = PixelFormat32bppRGB;
    if (w < 1 || h < 1 || GdipGetImagePixelFormat(bitmap, &format) != Ok) return;
    const GpRect all(0, 0, w, h);
    BitmapData data{};
    if (GdipBitmapLockBits(bitmap, &all, ImageLockModeWrite, format, &data) != Ok) return;
    const std::size_t row = (static_cast<std::size_t>(GetPixelFormatSize(format)) * w + 7) / 8;
    for (INT y = 0; y < h; ++y)
        SecureWipe(
            static_cast<std::uint8_t*>(data.Scan0) + static_cast<std::ptrdiff_t>(y) * data.Stride,
            row);
    GdipBitmapUnlockBits(bitmap, &data);
}

void ReleaseRemotePicture(Client& app) noexcept {
    WipePicture(app.remoteFrame);
    app.remoteFrame.reset();
    SecureWipe(app.remoteScaled);
    app.remoteScaled = {};
    app.remoteScaledWidth = app.remoteScaledHeight = 0;
    SecureWipe(app.heldFrame.jpeg);
    app.heldFrame = {};
}

unsigned ImageWidth(const kl::unique_gdip_bitmap& image) {
    UINT width = 0;
    if (!image || GdipGetImageWidth(static_cast<GpImage*>(image.get()), &width) != Ok) return 0;
    return width;
}

unsigned ImageHeight(const kl::unique_gdip_bitmap& image) {
    UINT height = 0;
    if (!image || GdipGetImageHeight(static_cast<GpImage*>(image.get()), &height) != Ok) return 0;
    return height;
}

RECT FramePixels(const FrameRect& r) {
    return {std::lround(r.left), std::lround(r.top), std::lround(r.left + r.width),
            std::lround(r.top + r.height)};
}

FrameRect FitRemoteFrame(const Client& app) {
    return FitFrame(app.clientWidth, app.clientHeight, app.scale, ImageWidth(app.remoteFrame),
                    ImageHeight(app.remoteFrame));
}

}  // namespace kl
