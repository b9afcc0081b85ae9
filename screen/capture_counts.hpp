#pragma once
// What the capture worker does with one period's picture, from its two counts alone: a run
// of failed captures ends the stream, and a still screen is re-sent only every fifteenth period.
namespace kl {

inline constexpr int kUnchangedResend = 15;
inline constexpr int kCaptureFailureLimit = 15;

enum class FrameAction {
    Retry,  // no picture this period; try again on the next
    Fail,   // too many failed captures in a row: "Screen capture unavailable"
    Skip,   // same as the frame last sent; nothing goes out
    Send,   // push the frame
    Wait,   // the path still holds frames: nothing grabbed, look again shortly
};

struct CaptureCounts {
    int failures = 0;   // consecutive failed captures
    int unchanged = 0;  // consecutive pictures equal to the one last sent
};

// `captured` false: the capture or its encoding failed. `unchanged`: the picture equals the
// frame last sent. A Send resets the unchanged count (a refused push ends the stream anyway).
inline FrameAction CountFrame(CaptureCounts& counts, bool captured, bool unchanged) {
    if (!captured)
        return ++counts.failures >= kCaptureFailureLimit ? FrameAction::Fail : FrameAction::Retry;
    counts.failures = 0;
    if (unchanged && ++counts.unchanged < kUnchangedResend) return FrameAction::Skip;
    counts.unchanged = 0;
    return FrameAction::Send;
}

}  // namespace kl
