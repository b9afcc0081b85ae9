// The chooser and the meter in a closed loop with a simulated path: a link of a given rate
// behind buffers that hold 220 KB (the slow-uplink scenario's host socket, proxy and queue),
// a sender that hands one frame at a time to it, and a capture that asks the chooser every
// 80 ms. All times are the simulation's own.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <functional>
#include <utility>
#include <vector>

#include "screen/capture_size.hpp"
#include "screen/picture_choice.hpp"

namespace {

struct Frame {
    double capturedMs, bytes, endsAt;  // endsAt: the path's byte count once it has left
    kl::PictureSettings settings;
};

struct PathSim {
    explicit PathSim(std::function<double(double)> r) : rate(std::move(r)) {}
    std::function<double(double)> rate;  // bytes a second at a time
    double held = 220000, inPath = 0, drained = 0, written = 0, now = 0, nextPeriod = 0;
    kl::LinkMeter meter;
    kl::PictureChooser chooser;
    std::vector<Frame> frames;             // in the order pushed
    std::size_t sending = 0, pending = 0;  // index + 1; 0: none
    double sendingLeft = 0;
    std::vector<std::pair<double, double>> delivered;  // (arrival, latency) per frame

    // A busy screen: about 0.1 byte a pixel at quality 72, less at lower qualities.
    static double TrueBytes(const kl::PictureSettings& s) {
        const kl::CaptureSize size = kl::ScaledCaptureSize(1920, 1080, s.maxWidth);
        return 0.1 * size.width * size.height * std::pow(s.quality / 72.0, 0.9);
    }

    void Push(const Frame& f) {
        frames.push_back(f);
        if (pending != 0) {
            frames[pending - 1].bytes = 0;  // replaced before it was sent
            meter.FrameReplaced(now);
        }
        pending = frames.size();
    }

    // moving(t): whether the screen changes this period.
    void Run(double untilMs, const std::function<bool(double)>& moving) {
        for (; now < untilMs; now += 1) {
            const double drain = std::min(inPath, rate(now) / 1000);
            inPath -= drain;
            drained += drain;
            for (std::size_t i = 0; i < frames.size(); ++i)
                if (frames[i].endsAt > 0 && frames[i].endsAt <= drained && frames[i].bytes > 0) {
                    delivered.push_back({now, now - frames[i].capturedMs});
                    frames[i].bytes = 0;
                }
            if (sending == 0 && pending != 0) {
                sending = pending;
                pending = 0;
                sendingLeft = frames[sending - 1].bytes;
                meter.SendStarted(now, static_cast<std::size_t>(sendingLeft));
            }
            if (sending != 0) {
                const double room = std::min(sendingLeft, held - inPath);
                inPath += room;
                written += room;
                sendingLeft -= room;
                if (sendingLeft <= 0) {
                    frames[sending - 1].endsAt = written;
                    meter.SendEnded(now);
                    sending = 0;
                }
            }
            if (now < nextPeriod) continue;
            const kl::PictureChooser::Plan plan = chooser.Next(now, meter.View(now), 1920, 1080);
            if (!plan.grab) {
                nextPeriod = now + 10;
                continue;
            }
            nextPeriod = now + 80;
            kl::PictureSettings settings = plan.settings;
            if (!plan.sharpen) {
                if (!moving(now)) {
                    chooser.Unchanged(now);
                    continue;
                }
                if (chooser.Changed(now)) settings = chooser.Fit(meter.View(now).rate, 1920, 1080);
            }
            const kl::CaptureSize size = kl::ScaledCaptureSize(1920, 1080, settings.maxWidth);
            Push({now, TrueBytes(settings), 0, settings});
            chooser.Sent(settings, size.width, size.height,
                         static_cast<std::size_t>(TrueBytes(settings)));
        }
    }

    // Frames a second and median latency (ms) of the frames that arrived in [from, to).
    std::pair<double, double> Stream(double from, double to) const {
        std::vector<double> latencies;
        for (const auto& [at, latency] : delivered)
            if (at >= from && at < to) latencies.push_back(latency);
        if (latencies.empty()) return {0, 1e9};
        std::sort(latencies.begin(), latencies.end());
        return {latencies.size() * 1000.0 / (to - from), latencies[latencies.size() / 2]};
    }
};

constexpr double kMbit = 125000;  // bytes a second
auto Always = [](double) { return true; };

TEST(PictureChoice, AnUnlimitedLinkGetsEveryFrameAtTheBestSettings) {
    PathSim sim{[](double) { return 1e9; }};
    sim.Run(10000, Always);
    ASSERT_GE(sim.frames.size(), 120u) << "a frame every 80 ms, none held back";
    for (const Frame& f : sim.frames) EXPECT_TRUE(f.settings.Best() && !f.settings.compact);
}

TEST(PictureChoice, AProbedPathOnceLimitedClimbsThroughOurFramesBeforeCountingAsUnlimited) {
    // Held sends say 600 KB/s; then nothing is held for a long while, as on a deep buffer.
    kl::LinkMeter meter;
    double t = 0;
    for (int i = 0; i < 5; ++i, t += 100) {
        meter.SendStarted(t, 60000);
        meter.SendEnded(t + 100);
    }
    for (; t < 12000; t += 80) {
        meter.SendStarted(t, 60000);
        meter.SendEnded(t + 1);
    }
    // Grown past 8 Mbit/s, still a rate: frames one step larger, not the largest of all.
    const double probed = meter.View(t).rate;
    EXPECT_GT(probed, 1e6);
    kl::PictureChooser chooser;
    EXPECT_TRUE(chooser.Fit(probed, 1920, 1080).compact);
    for (; t < 20000; t += 80) {
        meter.SendStarted(t, 60000);
        meter.SendEnded(t + 1);
    }
    EXPECT_EQ(meter.View(t).rate, 0) << "unlimited again, and today's frames with it";
}

TEST(PictureChoice, FollowsASteadyLinkADropARecoveryAndABurstAfterIdle) {
    // Steady at 1 Mbit/s: smaller frames, at least 3 a second, well under a second behind:
    // probes for more fill the path's buffer, and the rate read when they end must not keep
    // it full (read from one send's time it did: 0.95 s).
    PathSim steady{[](double) { return 1 * kMbit; }};
    steady.Run(30000, Always);
    const auto [fps, latency] = steady.Stream(10000, 30000);
    EXPECT_GE(fps, 3);
    EXPECT_LE(latency, 650);
    EXPECT_FALSE(steady.frames.back().settings.Best());

    // 5 Mbit/s falling to 1: within a second the estimate falls, within two it is near the
    // new rate.
    PathSim drop{[](double t) { return t < 15000 ? 5 * kMbit : 1 * kMbit; }};
    drop.Run(15000, Always);
    const double before = drop.meter.View(drop.now).rate;
    EXPECT_GT(before, 3 * kMbit);
    drop.Run(16000, Always);
    EXPECT_LE(drop.meter.View(drop.now).rate, 0.6 * before);
    drop.Run(17000, Always);
    EXPECT_LE(drop.meter.View(drop.now).rate, 1.6 * kMbit);
    drop.Run(30000, Always);
    EXPECT_LE(drop.Stream(20000, 30000).second, 1000) << "not left behind after the drop";

    // 1 Mbit/s rising to 5: a quiet link is probed after a few seconds (up to 16 after probes
    // that found nothing more), and frames grow.
    PathSim rise{[](double t) { return t < 15000 ? 1 * kMbit : 5 * kMbit; }};
    rise.Run(15000, Always);
    const double small = PathSim::TrueBytes(rise.frames.back().settings);
    rise.Run(26000, Always);
    EXPECT_GE(rise.meter.View(rise.now).rate, 2.5 * kMbit);
    EXPECT_GT(PathSim::TrueBytes(rise.frames.back().settings), 1.5 * small);

    // 2 Mbit/s: moving, then still for 10 s (one sharp frame within 1.5 s, then nothing but
    // the path's estimate growing on a quiet link), then moving again: the burst settles
    // within a second and does not fall behind.
    PathSim idle{[](double) { return 2 * kMbit; }};
    idle.Run(10000, Always);
    idle.Run(20000, [](double) { return false; });
    const auto sharp = std::find_if(idle.frames.begin(), idle.frames.end(), [](const Frame& f) {
        return f.capturedMs >= 10000 && f.settings.Best();
    });
    ASSERT_NE(sharp, idle.frames.end()) << "the still screen was sent sharp";
    EXPECT_TRUE(sharp->settings.compact) << "in the fewest bytes the best quality allows";
    const auto arrived =
        std::find_if(idle.delivered.begin(), idle.delivered.end(), [](const auto& d) {
            return d.first >= 10000 && d.second > 0 && d.first - d.second >= 10000;
        });
    ASSERT_NE(arrived, idle.delivered.end());
    // 0.3 s to see it still, 0.83 s for the frame, the rest queued before it.
    EXPECT_LE(arrived->first - 10000, 1600) << "sharp soon after the screen stopped";
    EXPECT_EQ(std::count_if(idle.frames.begin(), idle.frames.end(),
                            [](const Frame& f) { return f.capturedMs >= 10000; }),
              1);
    idle.Run(21000, Always);
    EXPECT_LE(idle.meter.View(idle.now).rate, 3 * kMbit);
    idle.Run(30000, Always);
    const auto [burstFps, burstLatency] = idle.Stream(22000, 30000);
    EXPECT_GE(burstFps, 5);
    EXPECT_LE(burstLatency, 600);
}

}  // namespace
