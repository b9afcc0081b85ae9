// The relay and the headless peer as real processes on loopback.
#include <gtest/gtest.h>

#include "crypto/credentials.hpp"
#include "harness.hpp"

using namespace kltest;
using namespace std::chrono_literals;

namespace {

const char kMove[] = R"({"action":"move","x":640,"y":360,"button":0,"key":0})";
const char kClick[] = R"({"action":"down","x":10,"y":20,"button":1,"key":0})";

std::vector<std::string> Viewer(const Relay& relay, const std::string& id, const std::string& key,
                                const std::vector<std::string>& more = {}) {
    return Peer(
        With({"viewer", "--relay", relay.url, "--id", id, "--key", key, "--timeout", "60"}, more));
}

std::vector<std::string> Raw(const Relay& relay, const std::vector<std::string>& more) {
    return Peer(With({"raw", "--relay", relay.url, "--timeout", "20"}, more));
}

}  // namespace

TEST(RelayWithPeers, PairsForwardsFramesAndInputAndReportsTheLeavingSide) {
    Relay relay;
    Host host(relay, {"--frames", "4", "--fps", "25", "--pattern", "320x200"});
    ASSERT_TRUE(host.registered) << host.process.Stderr();
    Process viewer(Viewer(relay, host.id, host.key, {"--input", kMove, "--input", kClick}));

    const auto request = NextEvent(host.process, "request");
    EXPECT_EQ(request.value("proofValid", false), true);
    const auto connected = NextEvent(viewer, "connected");
    EXPECT_EQ(connected.value("requestId", ""), request.value("requestId", "x"));
    EXPECT_FALSE(NextEvent(viewer, "ready").empty());
    for (int seq = 1; seq <= 4; ++seq) {
        const auto frame = NextEvent(viewer, "frame");
        EXPECT_EQ(frame.value("seq", 0), seq);
        EXPECT_EQ(frame.value("width", 0), 320);
        EXPECT_EQ(frame.value("height", 0), 200);
    }
    const auto move = NextEvent(host.process, "input");
    EXPECT_EQ(move.value("action", ""), "move");
    EXPECT_EQ(move.value("x", 0), 640);
    const auto click = NextEvent(host.process, "input");
    EXPECT_EQ(click.value("action", ""), "down");
    EXPECT_EQ(click.value("button", 0), 1);
    // The host leaves after its frames; the viewer is told and leaves too.
    EXPECT_EQ(NextEvent(viewer, "peerDisconnected").value("requestId", ""),
              request.value("requestId", "x"));
    EXPECT_EQ(host.process.Wait(), 0) << host.process.Stderr();
    EXPECT_EQ(viewer.Wait(), 0) << viewer.Stderr();
    const std::string metrics = relay.Metrics();
    EXPECT_NE(metrics.find("kestrelink_relay_paired_sessions 0"), std::string::npos) << metrics;
    EXPECT_NE(metrics.find("kestrelink_relay_forwarded_messages_total 7"), std::string::npos)
        << "Ready, four frames and two input events: " << metrics;
}

TEST(RelayWithPeers, RefusalAndWrongProofLeaveTheHostRegistered) {
    Relay relay;
    Host refusing(relay, {"--answer", "refuse"});
    Process refused(Viewer(relay, refusing.id, refusing.key));
    EXPECT_EQ(NextEvent(refusing.process, "answered").value("accepted", true), false);
    EXPECT_EQ(refused.Wait(), 3);
    EXPECT_NE(refused.Stderr().find("Bağlantı isteği reddedildi."), std::string::npos)
        << refused.Stderr();

    Host host(relay);
    Process wrongKey(Viewer(relay, host.id, kl::GenerateConnectionKey()));
    const auto request = NextEvent(host.process, "request");
    EXPECT_EQ(request.value("proofValid", true), false);
    EXPECT_EQ(wrongKey.Wait(), 3) << wrongKey.Stderr();
    // Still registered: the right key gets through afterwards.
    Process right(Viewer(relay, host.id, host.key, {"--frames", "1"}));
    EXPECT_EQ(NextEvent(host.process, "request").value("proofValid", false), true);
    EXPECT_EQ(right.Wait(), 0) << right.Stderr();
}

TEST(RelayWithPeers, UnansweredRequestTimesOutAndBusyHostRefusesOthers) {
    Relay relay({"--request-timeout-ms", "1500"});
    Host host(relay, {"--answer", "ignore"});
    Process waiting(Viewer(relay, host.id, host.key));
    ASSERT_FALSE(NextEvent(host.process, "request").empty());
    Process second(Viewer(relay, host.id, host.key));
    EXPECT_EQ(second.Wait(), 3);
    EXPECT_NE(second.Stderr().find("meşgul"), std::string::npos) << second.Stderr();
    EXPECT_EQ(waiting.Wait(), 3);
    EXPECT_NE(waiting.Stderr().find("zaman aşımına uğradı"), std::string::npos) << waiting.Stderr();
    EXPECT_FALSE(NextEvent(host.process, "peerDisconnected").empty())
        << "the host learns the request ended";
}

TEST(RelayWithPeers, UnknownAndDuplicateIdsAreRefusedInTurkish) {
    Relay relay;
    Process unknown(Viewer(relay, "123456789", kl::GenerateConnectionKey()));
    EXPECT_EQ(unknown.Wait(), 3);
    EXPECT_NE(unknown.Stderr().find("Bu ID ile bağlı bir bilgisayar bulunamadı."),
              std::string::npos)
        << unknown.Stderr();

    Host first(relay);
    Process second(Peer({"host", "--relay", relay.url, "--id", first.id, "--timeout", "20"}));
    EXPECT_EQ(second.Wait(), 3);
    EXPECT_NE(second.Stderr().find("kullanımda"), std::string::npos) << second.Stderr();
    EXPECT_NE(relay.Metrics().find("kestrelink_relay_refusals_total{reason=\"duplicate_id\"} 1"),
              std::string::npos);
}

TEST(RelayWithPeers, MessageSizeLimitsCloseOnlyAboveTheLimit) {
    Relay relay;
    Process text(Raw(relay, {"--register", "--text-bytes", "16385"}));
    EXPECT_EQ(NextEvent(text, "closed").value("code", 0), 1009);
    Process binary(Raw(relay, {"--register", "--binary-bytes", "8388609"}));
    EXPECT_EQ(NextEvent(binary, "closed", 30s).value("code", 0), 1009);
    // At the limit the text is read (and, not being a known message, ignored).
    Process atLimit(Peer(
        {"raw", "--relay", relay.url, "--register", "--text-bytes", "16384", "--timeout", "1.5"}));
    EXPECT_EQ(atLimit.Wait(), 6) << "still open when the run timed out";
    // Both refused as their frame headers arrived (before pairing only text-sized messages are
    // read).
    EXPECT_NE(relay.Metrics().find("reason=\"message_too_big\"} 2"), std::string::npos)
        << relay.Metrics();
}

TEST(RelayWithPeers, BinaryBeforePairingAndSilenceAreRefused) {
    Relay relay({"--register-timeout-ms", "500"});
    Process early(Raw(relay, {"--register", "--binary-bytes", "100"}));
    EXPECT_EQ(NextEvent(early, "text").value("type", ""), "registered");
    EXPECT_EQ(NextEvent(early, "text").value("type", ""), "error");
    EXPECT_EQ(NextEvent(early, "closed").value("code", 0), 1008);
    Process silent(Raw(relay, {}));
    const auto error = NextEvent(silent, "text");
    EXPECT_EQ(error.value("message", ""), "Kayıt zamanında yapılmadı.");
    EXPECT_EQ(NextEvent(silent, "closed").value("code", 0), 1008);
}

TEST(RelayWithPeers, MisbehavingClientsDoNotDisturbOtherPairs) {
    Relay relay;
    Host a(relay, {"--frames", "6", "--fps", "25", "--pattern", "200x100"});
    Host b(relay, {"--frames", "6", "--fps", "25", "--pattern", "300x150"});
    Process viewerA(Viewer(relay, a.id, a.key));
    Process viewerB(Viewer(relay, b.id, b.key));
    Process noise1(Raw(relay, {"--register", "--binary-bytes", "5000"}));
    Process noise2(Raw(relay, {"--text-bytes", "20000"}));
    Process noise3(Raw(relay, {"--register", "--text-bytes", "{"}));
    // Each viewer decrypts with its own session: a frame of the other pair would fail.
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(NextEvent(viewerA, "frame").value("width", 0), 200);
        EXPECT_EQ(NextEvent(viewerB, "frame").value("width", 0), 300);
    }
    EXPECT_EQ(viewerA.Wait(), 0) << viewerA.Stderr();
    EXPECT_EQ(viewerB.Wait(), 0) << viewerB.Stderr();
}

TEST(RelayWithPeers, ConnectionsOverTheAddressLimitAreClosedAtAcceptAndNeverRouted) {
    Relay relay({"--max-connections-per-address", "2"});
    Host one(relay, {"--stay"});
    Host two(relay, {"--stay"});
    // Closed as it is accepted, before TLS or the upgrade: its registration never arrives.
    Process third(Raw(relay, {"--register"}));
    EXPECT_EQ(third.Wait(), 2) << "a failed connection: " << third.Stderr();
    const std::string metrics = relay.Metrics();
    EXPECT_NE(metrics.find("\nkestrelink_relay_registered_hosts 2\n"), std::string::npos)
        << metrics;
    EXPECT_NE(metrics.find("reason=\"too_many_from_address\"} 1\n"), std::string::npos) << metrics;
    Host again(relay);
    EXPECT_FALSE(again.registered) << "still at the limit";
    one.process.Signal(SIGTERM);
    EXPECT_NE(one.process.Wait(), -1);
    for (int i = 0;
         i < 50 && relay.Metrics().find("kestrelink_relay_connections 1\n") == std::string::npos;
         ++i)
        usleep(20000);
    Host freed(relay);
    EXPECT_TRUE(freed.registered) << "a place freed is free at once";
}

TEST(RelayWithPeers, SignalClosesEveryConnectionWith1001AndExitsZero) {
    Relay relay;
    Host host(relay);
    ASSERT_TRUE(host.registered);
    relay.process.Signal(SIGTERM);
    EXPECT_EQ(relay.process.Wait(10s), 0) << relay.process.Stderr();
    EXPECT_EQ(NextEvent(host.process, "closed").value("code", 0), 1001);
    EXPECT_EQ(host.process.Wait(), 5) << "an unexpected close is a failure for the host";
}

TEST(RelayWithPeers, OnlyTheWebSocketPathIsServed) {
    Relay relay;
    std::string other = relay.url.substr(0, relay.url.rfind('/')) + "/other";
    Process probe(Peer({"probe", other}));
    EXPECT_EQ(probe.Wait(), 2);
    EXPECT_NE(probe.Stderr().find("upgrade"), std::string::npos) << probe.Stderr();
    const std::string http = "http://" + relay.url.substr(5);  // ws://host:port/ws
    EXPECT_NE(HttpGet(http.substr(0, http.rfind('/')) + "/metrics").find("404"), std::string::npos)
        << "metrics live on their own port only";
    Process ok(Peer({"probe", relay.url}));
    EXPECT_EQ(ok.Wait(), 0) << ok.Stderr();
}

TEST(RelayCommandLine, RefusesPlainWebSocketOffLoopbackAndBadOptions) {
    Process open(With({KL_RELAY_PATH, "--listen", "0.0.0.0", "--port", "0"}, {}));
    EXPECT_EQ(open.Wait(), 2);
    EXPECT_NE(open.Stderr().find("loopback"), std::string::npos) << open.Stderr();
    Process bad(With({KL_RELAY_PATH, "--max-connections", "many"}, {}));
    EXPECT_EQ(bad.Wait(), 2);
    EXPECT_NE(bad.Stderr().find("--max-connections"), std::string::npos);
    Process help(With({KL_RELAY_PATH, "--help"}, {}));
    EXPECT_NE(help.ReadLine().value_or("").find("Usage"), std::string::npos);
    EXPECT_EQ(help.Wait(), 0);
    Process peerHelp(Peer({"--help"}));
    EXPECT_NE(peerHelp.ReadLine().value_or("").find("Usage"), std::string::npos);
    EXPECT_EQ(peerHelp.Wait(), 0);
    Process peerBad(
        Peer({"viewer", "--relay", "ws://example.com/ws", "--id", "123456789", "--key", "x"}));
    EXPECT_EQ(peerBad.Wait(), 1) << "plain ws:// off loopback is refused before connecting";
    // A metrics port someone else holds costs the metrics, not the service.
    Relay first;
    const std::string taken = first.metrics.substr(
        first.metrics.rfind(':') + 1, first.metrics.rfind('/') - first.metrics.rfind(':') - 1);
    Process second(With({KL_RELAY_PATH, "--port", "0", "--metrics-port", taken}, {}));
    const auto line = nlohmann::json::parse(second.ReadLine().value_or("{}"), nullptr, false);
    ASSERT_TRUE(line.contains("url")) << second.Stderr();
    EXPECT_FALSE(line.contains("metrics"));
    Process host(Peer({"host", "--relay", line["url"].get<std::string>(), "--timeout", "20"}));
    EXPECT_FALSE(NextEvent(host, "registered").empty()) << second.Stderr();
    EXPECT_NE(second.Stderr().find("warning: cannot serve metrics"), std::string::npos)
        << second.Stderr();
}
