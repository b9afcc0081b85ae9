#pragma once
// Host side: the primary screen photographed, scaled, marked with the cursor and encoded as
// JPEG, about 12.5 times a second while the session shares.
#include <windows.h>

#include <cstdint>
#include <vector>

struct Client;

namespace kl {

inline constexpr int kCaptureMaxWidth = 1920;
inline constexpr int kCaptureQuality = 72;
inline constexpr int kCapturePeriodMs = 80;
inline constexpr int kUnchangedResend = 15;
inline constexpr int kCaptureFailureLimit = 15;

// Empty on any failure.
std::vector<std::uint8_t> CaptureScreenJpeg(int maxWidth, int quality);
void DrawCursor(HDC target, double scale);
// `bitmap` is a GpBitmap*; quality is clamped to 20..95. Empty on failure.
std::vector<std::uint8_t> EncodeJpeg(void* bitmap, int quality);

// The capture thread's body; runs while app.streamRunning is set.
void CaptureThread(Client* app, std::uint32_t generation);
// Stops a capture thread still running and starts a fresh one (UI thread).
void StartCapture(Client& app);

}  // namespace kl
