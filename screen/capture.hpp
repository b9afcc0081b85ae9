#pragma once
// Host side: the primary screen photographed, scaled, marked with the cursor and encoded as
// JPEG, about 12.5 times a second while the session shares.
#include <windows.h>

#include <cstdint>
#include <memory>
#include <vector>

#include "screen/capture_counts.hpp"
#include "screen/picture_choice.hpp"

struct Client;

namespace kl {

// The best settings, sent whenever the link carries them (see PictureChooser).
inline constexpr int kCaptureMaxWidth = kBestWidth;
inline constexpr int kCaptureQuality = kBestQuality;
inline constexpr int kCapturePeriodMs = 80;

// Empty on any failure.
std::vector<std::uint8_t> CaptureScreenJpeg(int maxWidth, int quality);
void DrawCursor(HDC target, double scale);
// `bitmap` is a GpBitmap*; quality is clamped to 20..95. Empty on failure.
std::vector<std::uint8_t> EncodeJpeg(void* bitmap, int quality);

// Where the capture worker's pictures come from: grabbed into a buffer, compared with the
// picture last sent, encoded only when needed. May throw (allocation); the worker catches.
class FrameSource {
  public:
    virtual ~FrameSource() = default;
    virtual bool Grab() = 0;                         // false: no picture this period
    virtual bool SameAsSent() const = 0;             // the grabbed pixels equal those last sent
    virtual std::vector<std::uint8_t> Encode() = 0;  // the grabbed picture; empty on failure
    virtual void MarkSent() = 0;                     // the grabbed picture is now the one last sent
    virtual void Use(const PictureSettings&) {}      // width and quality of the next grabs
};

// The screen through GDI, with its contexts and two pixel buffers kept from period to period:
// one receives each grab, the other holds the picture last sent.
class ScreenGrabber final : public FrameSource {
  public:
    ScreenGrabber(int maxWidth, int quality);
    ~ScreenGrabber() override;
    ScreenGrabber(const ScreenGrabber&) = delete;
    ScreenGrabber& operator=(const ScreenGrabber&) = delete;
    bool Grab() override;
    bool SameAsSent() const override;
    std::vector<std::uint8_t> Encode() override;
    void MarkSent() override;
    // Compact settings are encoded by EncodeBaselineJpeg, whose quality is exact on every
    // platform; the others stay with the platform's encoder.
    void Use(const PictureSettings& settings) override;

  private:
    struct State;
    std::unique_ptr<State> state_;
};

// The capture worker's memory between periods.
struct CaptureState {
    CaptureCounts counts;
    std::vector<std::uint8_t> sent;  // the JPEG last pushed
    std::uint64_t period = 0;
    PictureChooser chooser;
};

// One period's picture: encoded only when its pixels differ from those last sent, and judged
// "unchanged" exactly when its JPEG would equal the one last sent. On Send, `state.sent`
// holds the frame to push. Its width and quality follow `link` (the chooser's plan); with no
// limit seen on the link, every frame is at the best settings and nothing waits.
FrameAction CaptureStep(FrameSource& source, CaptureState& state, const LinkView& link = {},
                        double nowMs = 0, int screenWidth = kBestWidth, int screenHeight = 1080);

// The capture worker: one step a period while app.streamRunning is set. A failure, thrown or
// counted, ends the stream with an error event of `generation`. Never throws.
void RunCapture(Client& app, std::uint32_t generation, FrameSource& source) noexcept;
// The capture thread's body; runs while app.streamRunning is set.
void CaptureThread(Client* app, std::uint32_t generation) noexcept;
// Stops a capture thread still running and starts a fresh one (UI thread).
void StartCapture(Client& app);

}  // namespace kl
