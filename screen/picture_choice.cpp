#include "screen/picture_choice.hpp"

#include <algorithm>
#include <cmath>
#include <iterator>

#include "screen/capture_size.hpp"

namespace kl {
namespace {

// Quality first, then width, each step about four fifths of the bytes of the one before;
// below the last, the frame rate gives way (the capture waits for the path).
constexpr PictureSettings kLadder[] = {
    {72, 1920}, {62, 1920}, {52, 1920}, {44, 1920}, {40, 1760}, {40, 1600},
    {40, 1440}, {40, 1280}, {40, 1120}, {40, 960},  {35, 960},  {30, 960},
};

// A JPEG's bytes at a quality, relative to quality 72 (measured on a busy 1920 x 1080 screen
// with the standard tables; the shape is what matters, the level is learnt from each frame).
double QualityFactor(int quality) {
    static constexpr double kPoints[][2] = {
        {30, 0.365}, {40, 0.478}, {50, 0.597}, {60, 0.733}, {72, 1.0}};
    if (quality <= kPoints[0][0]) return kPoints[0][1];
    for (std::size_t i = 1; i < std::size(kPoints); ++i)
        if (quality <= kPoints[i][0]) {
            const double t = (quality - kPoints[i - 1][0]) / (kPoints[i][0] - kPoints[i - 1][0]);
            return kPoints[i - 1][1] + t * (kPoints[i][1] - kPoints[i - 1][1]);
        }
    return 1.0;
}

}  // namespace

double LinkMeter::RateAt(double nowMs) const {
    if (rate_ <= 0) return 0;
    const double quiet = nowMs - heldAtMs_ - quietMs_;
    const double rate = quiet > 0 ? rate_ * std::pow(kGrowthPerSecond, quiet / 1000) : rate_;
    return rate >= kLimitedNoLimit ? 0 : rate;
}

double LinkMeter::BacklogAt(double nowMs) const {
    const double rate = RateAt(nowMs);
    if (rate <= 0) return 0;
    return std::max(0.0, backlog_ - rate * (nowMs - backlogAtMs_) / 1000);
}

void LinkMeter::SendStarted(double nowMs, std::size_t bytes) {
    backlog_ = BacklogAt(nowMs);
    backlogAtMs_ = nowMs;
    // Until a send has been held back, nothing says the path ever emptied: count from the start.
    if (busySinceMs_ < 0 || (RateAt(nowMs) > 0 && backlog_ <= 0)) {
        busySinceMs_ = nowMs;
        busyBytes_ = 0;
    }
    if (rate_ > 0) {
        fullBacklog_ -= rate_ * (nowMs - fullBacklogAtMs_) / 1000;
        if (fullBacklog_ <= 0) fullAtMs_ = -1e9;  // the path may have emptied
    }
    fullBacklog_ = std::max(fullBacklog_, 0.0) + static_cast<double>(bytes);
    fullBacklogAtMs_ = nowMs;
    backlog_ += static_cast<double>(bytes);
    busyBytes_ += static_cast<double>(bytes);
    sending_ = true;
    replaced_ = false;
    sendStartMs_ = nowMs;
    sendBytes_ = bytes;
}

void LinkMeter::SendEnded(double nowMs) {
    if (!sending_) return;
    sending_ = false;
    const double took = nowMs - sendStartMs_;
    if (took < kHeldMs) {
        // The path took it at once: it says nothing of the rate by itself.
        bytesSinceFull_ += static_cast<double>(sendBytes_);
        votes_ = 0;
        return;
    }
    const double current = RateAt(nowMs);
    const double sinceFull = nowMs - fullAtMs_;
    const double carried = bytesSinceFull_ + static_cast<double>(sendBytes_);
    fullAtMs_ = nowMs;
    bytesSinceFull_ = 0;
    // Full at the end of a held send not long before and full again now, the path carried
    // exactly what went in since. Otherwise it may have had room when this send began, and
    // the send's time only bounds the rate from above.
    const bool exact = sinceFull <= kExactWindowMs;
    const double sample = (exact ? carried / sinceFull : sendBytes_ / took) * 1000;
    if (rate_ <= 0) {
        // A loaded machine stalls a send now and then on any path: on one never seen limited,
        // a limit is believed only from several held sends in a row.
        if (sample >= kNoLimit) {
            votes_ = 0;
            return;
        }
        // A send held this long is the path's doing, not a stall: believed at once, so a slow
        // link's first seconds do not go by at frames it cannot carry.
        if (++votes_ < kLimitVotes && took < kLongHeldMs) return;
    }
    const double previous = rate_;
    const bool probing = nowMs - heldAtMs_ > quietMs_;
    if (exact) {
        // The least of the recent exact readings holds.
        samples_[nextSample_] = sample;
        sampleAtMs_[nextSample_] = nowMs;
        nextSample_ = (nextSample_ + 1) % static_cast<int>(std::size(samples_));
        rate_ = 0;
        for (std::size_t i = 0; i < std::size(samples_); ++i)
            if (samples_[i] > 0 && nowMs - sampleAtMs_[i] <= kSampleWindowMs)
                rate_ = rate_ <= 0 ? samples_[i] : std::min(rate_, samples_[i]);
    } else {
        rate_ = current <= 0 ? sample : std::min(current, sample);
    }
    if (previous > 0) {
        const bool changed = rate_ > previous * 1.25 || rate_ < previous * 0.8;
        quietMs_ = changed ? kQuietMs : probing ? std::min(quietMs_ * 2, kMaxQuietMs) : quietMs_;
    }
    heldAtMs_ = nowMs;
    // A held send ends with the path full: what it holds is what went in since it was last
    // empty less what the rate carried away meanwhile.
    const double full = std::max(busyBytes_ - rate_ * (nowMs - busySinceMs_) / 1000,
                                 static_cast<double>(sendBytes_));
    // What a path holds does not shrink; a rate believed too high meanwhile only hides part
    // of it.
    capacity_ = std::max(capacity_, full);
    fullBacklog_ = capacity_;
    fullBacklogAtMs_ = nowMs;
    backlog_ = capacity_;
    backlogAtMs_ = nowMs;
    busySinceMs_ = nowMs;
    busyBytes_ = capacity_;
}

void LinkMeter::FrameReplaced(double) {
    if (sending_) replaced_ = true;
}

LinkView LinkMeter::View(double nowMs) const {
    LinkView view{RateAt(nowMs), BacklogAt(nowMs)};
    const double elapsed = nowMs - sendStartMs_;
    const bool limited = rate_ > 0;  // ever seen limited
    if (sending_ && (limited ? elapsed >= kHeldMs || replaced_ : elapsed >= kLongHeldMs)) {
        // A send held back this long bounds the rate before it ends: a drop shows within the
        // frame, not after it.
        const double bound = static_cast<double>(sendBytes_) / std::max(elapsed, 1.0) * 1000;
        if (bound < (limited ? kLimitedNoLimit : kNoLimit)) {
            if (view.rate <= 0 || bound < view.rate) view.rate = bound;
            view.backlog =
                std::max(view.backlog, std::max(capacity_, static_cast<double>(sendBytes_)));
        }
    }
    return view;
}

double PictureChooser::Expected(const PictureSettings& settings, int screenWidth,
                                int screenHeight) const {
    const CaptureSize size = ScaledCaptureSize(screenWidth, screenHeight, settings.maxWidth);
    return complexity_ * size.width * size.height * QualityFactor(settings.quality);
}

PictureSettings PictureChooser::Fit(double rate, int screenWidth, int screenHeight) const {
    if (rate <= 0) return {};
    const double budget = rate * kFrameSeconds;
    PictureSettings fit = kLadder[std::size(kLadder) - 1];
    for (const PictureSettings& step : kLadder)
        if (Expected(step, screenWidth, screenHeight) <= budget) {
            fit = step;
            break;
        }
    fit.compact = true;
    return fit;
}

PictureChooser::Plan PictureChooser::Next(double nowMs, const LinkView& link, int screenWidth,
                                          int screenHeight) {
    Plan plan;
    // The still screen's sharp frame does not wait: it is due within moments, and the path
    // drains as fast before it as behind it.
    const bool sharpen = sentAny_ && still_ && !sentBest_;
    if (!sharpen && link.rate > 0 && link.backlog > link.rate * kLeadSeconds) {
        if (waitingSinceMs_ < 0) waitingSinceMs_ = nowMs;
        if (nowMs - waitingSinceMs_ < kMaxWaitMs) {
            plan.grab = false;
            return plan;
        }
    }
    waitingSinceMs_ = -1;
    const PictureSettings fit = Fit(link.rate, screenWidth, screenHeight);
    fitIsBest_ = fit.Best();
    planStill_ = sentAny_ && still_;
    if (planStill_) {
        // Compared at the best settings from now on, so the still screen's resends stay sharp.
        plan.sharpen = !sentBest_;
        plan.settings.compact = link.rate > 0;
    } else {
        plan.settings = fit;
    }
    return plan;
}

void PictureChooser::Unchanged(double nowMs) {
    // Judged from grabs alone: a spell without grabs (waiting for the path) proves nothing.
    if (nowMs - lastChangeMs_ >= kStillMs) still_ = true;
}

bool PictureChooser::Changed(double nowMs) {
    lastChangeMs_ = nowMs;
    still_ = false;
    const bool regrab = planStill_ && !fitIsBest_;
    planStill_ = false;
    return regrab;
}

void PictureChooser::Sent(const PictureSettings& settings, int width, int height,
                          std::size_t bytes) {
    if (width > 0 && height > 0)
        complexity_ = static_cast<double>(bytes) /
                      (static_cast<double>(width) * height * QualityFactor(settings.quality));
    sentAny_ = true;
    sentBest_ = settings.Best();
}

}  // namespace kl
