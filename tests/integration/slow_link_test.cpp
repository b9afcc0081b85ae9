// Slow links: the relay and klpeer as real processes, one side behind a throttling proxy.
// A host sends 300 KB frames at 12.5 a second, several times what 5 Mbit/s carries; the
// relay and the host must push back and replace stale frames rather than queue them.
#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <map>

#include "harness.hpp"

using namespace kltest;
using namespace std::chrono_literals;

namespace {

constexpr auto kStream = 40s;

// A link of limited rate between its clients and the relay.
struct Proxy {
    Proxy(const Relay& relay, long upKbit, long downKbit)
        : process({KL_PROXY_PATH, "--target", RelayPort(relay), "--up-kbit", std::to_string(upKbit),
                   "--down-kbit", std::to_string(downKbit)}) {
        const auto line = process.ReadLine();
        if (!line) throw std::runtime_error("the proxy did not start: " + process.Stderr());
        url =
            "ws://127.0.0.1:" + std::to_string(nlohmann::json::parse(*line).at("port").get<int>()) +
            "/ws";
    }
    static std::string RelayPort(const Relay& relay) {
        const auto colon = relay.url.rfind(':');
        return relay.url.substr(colon + 1, relay.url.find('/', colon) - colon - 1);
    }
    Process process;
    std::string url;
};

double Median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

// What a viewer saw over a stream, and what its host saw of the viewer's input.
struct Watched {
    std::vector<std::pair<double, double>> frames;   // viewer's arrival time (ms), latency (ms)
    std::map<long, double> inputSent, inputArrived;  // by position: monotonic ms
    long replaced = 0;
    bool ended = false;  // the viewer was closed, told its host left, or exited

    std::vector<double> Latencies(double from, double to) const {
        std::vector<double> out;
        for (const auto& [t, latency] : frames)
            if (t >= from && t < to) out.push_back(latency);
        return out;
    }
};

long Position(const nlohmann::json& e) {
    return e.value("x", 0L) * 65536 + e.value("y", 0L);
}

// Reads both peers' lines for `duration` after the viewer's Ready.
Watched Watch(Process& viewer, Process& host, std::chrono::seconds duration) {
    Watched w;
    const auto ready = NextEvent(viewer, "ready", 20s);
    if (ready.empty()) {
        w.ended = true;
        return w;
    }
    const double start = ready.value("t", 0.0);
    const auto deadline = std::chrono::steady_clock::now() + duration;
    while (std::chrono::steady_clock::now() < deadline && !w.ended) {
        for (Process* p : {&viewer, &host}) {
            const auto line = p->ReadLine(20ms);
            if (!line) continue;
            const auto e = nlohmann::json::parse(*line, nullptr, false);
            if (!e.is_object()) continue;
            const std::string event = e.value("event", "");
            if (event == "frame" && e.contains("latencyMs"))
                w.frames.emplace_back(e.value("t", 0.0) - start, e.value("latencyMs", 0.0));
            else if (event == "inputSent" && e.contains("x"))
                w.inputSent[Position(e)] = e.value("atMs", 0.0);
            else if (event == "input")
                w.inputArrived[Position(e)] = e.value("atMs", 0.0);
            else if (event == "frameReplaced")
                w.replaced = e.value("replaced", 0L);
            else if (p == &viewer && (event == "closed" || event == "peerDisconnected"))
                w.ended = true;
        }
    }
    if (viewer.Wait(0ms) != -1) w.ended = true;
    return w;
}

// The stream stays up, keeps delivering, does not fall behind, and input keeps flowing.
void ExpectFreshAndConnected(const Watched& w, const std::string& relayLog) {
    const double total = std::chrono::duration<double, std::milli>(kStream).count();
    EXPECT_FALSE(w.ended) << "the viewer was dropped or ended; relay log:\n" << relayLog;
    for (double from = 0; from + 10000 <= total; from += 10000)
        EXPECT_GE(w.Latencies(from, from + 10000).size(), 5u)
            << "frames stopped arriving in the window from " << from << " ms";
    const double first = Median(w.Latencies(0, 10000)),
                 last = Median(w.Latencies(total - 10000, total));
    EXPECT_GT(first, 0);
    EXPECT_LE(last, first * 1.5) << "the picture fell behind: median latency " << first
                                 << " ms in the first 10 s, " << last << " ms in the last";
    ASSERT_GE(w.inputSent.size(), 30u);
    std::size_t late = 0, lost = 0;
    double worst = 0;
    const double lastSent = w.inputSent.rbegin()->second;
    for (const auto& [x, sent] : w.inputSent) {
        const auto arrived = w.inputArrived.find(x);
        if (arrived == w.inputArrived.end()) {
            if (lastSent - sent > 1000) ++lost;
            continue;
        }
        worst = std::max(worst, arrived->second - sent);
        if (arrived->second - sent > 1000) ++late;
    }
    EXPECT_EQ(lost, 0u) << "input sent during the stream never reached the host";
    EXPECT_EQ(late, 0u) << "input waited behind frames; worst " << worst << " ms";
}

std::vector<std::string> StreamingHost(const std::string& url) {
    return Peer({"host", "--relay", url, "--timeout", "120", "--fps", "12.5", "--frame-bytes",
                 "300000", "--pattern", "640x360"});
}

std::vector<std::string> Viewer(const std::string& url, const std::string& id,
                                const std::string& key, const std::vector<std::string>& more = {}) {
    return Peer(
        With({"viewer", "--relay", url, "--id", id, "--key", key, "--timeout", "120"}, more));
}

std::string Credential(Process& host, std::string& key) {
    const auto credentials = NextEvent(host, "credentials");
    key = credentials.value("key", "");
    EXPECT_FALSE(NextEvent(host, "registered").empty()) << host.Stderr();
    return credentials.value("id", "");
}

long RelayMemoryKb(Process& relay, const char* field) {
    std::ifstream status("/proc/" + std::to_string(relay.pid()) + "/status");
    std::string name;
    long kb = 0;
    while (status >> name) {
        if (name == std::string(field) + ":") {
            status >> kb;
            return kb;
        }
        status.ignore(1 << 12, '\n');
    }
    return -1;
}

}  // namespace

// A streaming host and a viewer sending input, one of them behind a 5 Mbit/s link: either way
// the picture stays fresh, the session stays up and the host replaces frames that cannot leave.
void StreamThroughSlowLink(bool hostBehindLink) {
    Relay relay;
    Proxy link(relay, hostBehindLink ? 5000 : 0, hostBehindLink ? 0 : 5000);
    Process host(StreamingHost(hostBehindLink ? link.url : relay.url));
    std::string key;
    const std::string id = Credential(host, key);
    Process viewer(
        Viewer(hostBehindLink ? relay.url : link.url, id, key, {"--input-every", "0.25"}));
    const Watched w = Watch(viewer, host, kStream);
    ExpectFreshAndConnected(w, relay.process.Stderr());
    EXPECT_GT(w.replaced, 0)
        << "pushed back (by the relay, or by the host's own link), the host replaced unsent frames";
}

TEST(SlowLink, ViewerOnSlowDownlinkGetsFreshFramesAndStaysConnected) {
    StreamThroughSlowLink(false);
}

TEST(SlowLink, HostOnSlowUplinkReplacesFramesAndStaysConnected) {
    StreamThroughSlowLink(true);
}

TEST(SlowLink, ViewerThatStopsReadingIsDroppedByTimeAndOthersGoOn) {
    Relay relay({"--stalled-reader-ms", "3000"});
    Process stuckHost(StreamingHost(relay.url));
    std::string stuckKey, key;
    const std::string stuckId = Credential(stuckHost, stuckKey);
    Process calmHost(Peer(
        {"host", "--relay", relay.url, "--timeout", "60", "--fps", "12.5", "--frames", "200"}));
    const std::string id = Credential(calmHost, key);
    Process stuck(Viewer(relay.url, stuckId, stuckKey, {"--stop-reading-after", "3"}));
    Process calm(Viewer(relay.url, id, key));
    ASSERT_FALSE(NextEvent(stuck, "stoppedReading", 20s).empty()) << stuck.Stderr();

    // The stalled viewer's host is told, and leaves; the other pair streams on throughout.
    EXPECT_FALSE(NextEvent(stuckHost, "peerDisconnected", 30s).empty()) << relay.process.Stderr();
    EXPECT_EQ(stuckHost.Wait(), 0);
    const long peakKb = RelayMemoryKb(relay.process, "VmHWM");
    EXPECT_GT(peakKb, 0);
    EXPECT_LT(peakKb, 24 * 1024)
        << "flow control keeps the relay far below the old 24 MiB queue per connection";
    const std::string metrics = relay.Metrics();
    EXPECT_NE(metrics.find("reason=\"slow_reader\"} 1"), std::string::npos) << metrics;

    double worst = 0;
    long frames = 0;
    for (;;) {
        const auto frame = NextEvent(calm, "frame", 10s);
        if (frame.empty()) break;
        ++frames;
        worst = std::max(worst, frame.value("latencyMs", 0.0));
    }
    EXPECT_EQ(frames, 200) << calm.Stderr();
    EXPECT_LT(worst, 1000) << "the other pair was held up";
    EXPECT_EQ(calm.Wait(), 0) << calm.Stderr();
}
