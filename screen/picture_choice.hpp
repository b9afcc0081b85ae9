#pragma once
// The picture follows the link. The host's sender worker tells a LinkMeter how long each frame
// took to leave and when a queued frame was replaced; from that the meter estimates what the
// path carries and what it still holds. The capture worker asks a PictureChooser, each period,
// whether to grab now and at what JPEG quality and width: the best (quality 72, 1920 wide)
// whenever the path carries it, less while a slow link is busy, and the best again once the
// screen has stood still. Times are milliseconds of a steady clock.
#include <cstddef>

namespace kl {

inline constexpr int kBestQuality = 72;
inline constexpr int kBestWidth = 1920;

struct PictureSettings {
    int quality = kBestQuality;
    int maxWidth = kBestWidth;
    // On a limited link every frame is made by our own encoder, with Huffman tables fitted to
    // the picture: fewer bytes at the same quality, and the quality exactly the one asked. An
    // unlimited link keeps the platform's encoder, and so today's frames.
    bool compact = false;
    bool Best() const { return quality >= kBestQuality && maxWidth >= kBestWidth; }
    friend bool operator==(const PictureSettings&, const PictureSettings&) = default;
};

struct LinkView {
    double rate = 0;     // bytes a second the path carries; 0: no limit seen
    double backlog = 0;  // bytes believed still on their way
};

class LinkMeter {
  public:
    // A send taking this long was held back by the path, not by the sender.
    static constexpr double kHeldMs = 25;
    // Without a held send for this long, the estimate grows (the path may carry more now).
    // Only a full path holds a send back, so a probe that finds no more than before has
    // filled the path's buffers for nothing: the next waits twice as long, up to kMaxQuietMs,
    // and a rate found to have changed brings the wait back to kQuietMs.
    static constexpr double kQuietMs = 4000;
    static constexpr double kMaxQuietMs = 16000;
    static constexpr double kGrowthPerSecond = 1.2;
    // Above this (8 Mbit/s) a path never seen limited stays unlimited: it carries the best frames
    // at about the capture's own pace, and a loaded machine's loopback, whose sends stall for the
    // CPU rather than the link, reads above it.
    static constexpr double kNoLimit = 1e6;
    // A path that has shown a limit counts as unlimited again only above this (20 Mbit/s): an
    // estimate grown on a quiet path, or read high through deep buffers, passes through every
    // smaller frame on its way up, so a probe of a path still limited is caught on frames
    // little larger than the last, not on the largest ones.
    static constexpr double kLimitedNoLimit = 2.5e6;

    void SendStarted(double nowMs, std::size_t bytes);
    void SendEnded(double nowMs);
    // A queued frame was replaced by a newer one before it was sent: the send under way is
    // being held back, however short it has been so far.
    void FrameReplaced(double nowMs);
    LinkView View(double nowMs) const;

  private:
    double RateAt(double nowMs) const;  // the estimate grown over a quiet spell, 0 = none
    double BacklogAt(double nowMs) const;

    static constexpr double kSampleWindowMs = 1500;
    // Held sends in a row it takes to believe a limit on a path that had none...
    static constexpr int kLimitVotes = 3;
    // ...or a send still held this long.
    static constexpr double kLongHeldMs = 500;
    // Between two held sends on a path that stayed full, what went in between is what it
    // carried: the one reading that neither a send's own time nor deep buffers inflate. It
    // stayed full unless the sends are further apart than this, or the last measured rate
    // (not grown) would have emptied it meanwhile.
    static constexpr double kExactWindowMs = 15000;
    double rate_ = 0;  // from the last held sends; 0 = none yet
    double samples_[8] = {}, sampleAtMs_[8] = {};
    int nextSample_ = 0;
    double heldAtMs_ = 0;                           // when a send was last held back
    double quietMs_ = kQuietMs;                     // the wait before the estimate grows
    double fullAtMs_ = -1e9, bytesSinceFull_ = 0;   // the last held send's end, bytes sent since
    double fullBacklog_ = 0, fullBacklogAtMs_ = 0;  // since then, what rate_ alone leaves
    double backlog_ = 0, backlogAtMs_ = 0;
    double capacity_ = 0;  // what the path holds when full, learnt at held sends
    double busySinceMs_ = -1, busyBytes_ = 0;  // since the path was last believed empty
    bool sending_ = false, replaced_ = false;
    int votes_ = 0;  // held sends in a row while no limit is believed
    double sendStartMs_ = 0;
    std::size_t sendBytes_ = 0;
};

class PictureChooser {
  public:
    // Once the screen has not changed for this long, it is sent once more at the best settings.
    static constexpr double kStillMs = 300;
    // A frame is sized to leave in this long at the estimated rate...
    static constexpr double kFrameSeconds = 0.1;
    // ...and grabbed only once the path holds no more than this long's worth: about what a
    // grab and its encoding take, so the path is not left idle meanwhile.
    static constexpr double kLeadSeconds = 0.12;
    // The wait for the path ends after this long whatever the estimate says: an estimate
    // gone wrong costs frames for a moment, never the stream.
    static constexpr double kMaxWaitMs = 800;

    struct Plan {
        bool grab = true;      // false: the path is still busy; look again shortly
        bool sharpen = false;  // send this grab even if the screen has not changed
        PictureSettings settings;
    };

    // The plan for this period on a screen of the given size (pixels).
    Plan Next(double nowMs, const LinkView& link, int screenWidth, int screenHeight);
    // This period's grab differed from the frame last sent. True when the plan was the still
    // screen's best settings and the moving screen's differ: grab again with a fresh plan.
    bool Changed(double nowMs);
    // This period's grab equalled the frame last sent.
    void Unchanged(double nowMs);
    // A frame was pushed: its settings, its size in pixels and in bytes.
    void Sent(const PictureSettings& settings, int width, int height, std::size_t bytes);

    // Bytes a frame at these settings is expected to take, from the frames sent so far.
    double Expected(const PictureSettings& settings, int screenWidth, int screenHeight) const;
    // The best settings expected to leave in kFrameSeconds at `rate` (0: unlimited).
    PictureSettings Fit(double rate, int screenWidth, int screenHeight) const;

  private:
    double complexity_ = 0.1;  // bytes a pixel at the best quality (a busy screen)
    double lastChangeMs_ = 0;
    bool still_ = false;  // the latest grab showed the screen unchanged for kStillMs
    double waitingSinceMs_ = -1;
    bool sentAny_ = false, sentBest_ = false, planStill_ = false, fitIsBest_ = true;
};

}  // namespace kl
