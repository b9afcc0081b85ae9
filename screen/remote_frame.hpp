#pragma once
// Viewer side: one received JPEG file becomes a fresh 32-bit bitmap of exactly the size its
// frame header announces, or nothing (the structure check runs before any decoder sees it);
// and where in the main window that picture goes.
#include <windows.h>

#include <cstddef>
#include <cstdint>

#include "app/client.hpp"
#include "screen/fit_frame.hpp"

namespace kl {

kl::unique_gdip_bitmap DecodeJpegFrame(const std::uint8_t* bytes, std::size_t length);
// The same checks and decoding, the picture left in the codec's own pixel format (24-bit under
// GDI+): one conversion less for a reader that takes that format as it is.
kl::unique_gdip_bitmap DecodeJpegPicture(const std::uint8_t* bytes, std::size_t length);
// Overwrites the pixels of a decoded picture (not its size) before it is released.
void WipePicture(const kl::unique_gdip_bitmap& picture) noexcept;
// Wipes and releases every remote picture the record holds: shown, scaled and held.
void ReleaseRemotePicture(Client& app) noexcept;
// 0 on error or without a bitmap.
unsigned ImageWidth(const kl::unique_gdip_bitmap& image);
unsigned ImageHeight(const kl::unique_gdip_bitmap& image);
// The rectangle (client pixels) that shows `remoteFrame`, for the client size and layout scale
// of the last layout; the whole band without one. Painting and input mapping both use it.
FrameRect FitRemoteFrame(const Client& app);
// A frame rectangle in whole client pixels, as it is painted.
RECT FramePixels(const FrameRect& r);

}  // namespace kl
