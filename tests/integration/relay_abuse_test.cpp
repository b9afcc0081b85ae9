// The relay under abuse as a real process: floods, slow and silent clients, oversized and
// malformed traffic, and the memory it holds meanwhile.
#include <gtest/gtest.h>
#include <sys/resource.h>

#include <iostream>
#include <memory>
#include <thread>

#include "crypto/credentials.hpp"
#include "harness.hpp"
#include "raw_ws.hpp"
#include "session/messages.hpp"

using namespace kltest;
using namespace std::chrono_literals;

namespace {

using Clients = std::vector<std::unique_ptr<RawWs>>;

// A metric's value by its name with labels; -1 when absent.
long Metric(const Relay& relay, const std::string& name) {
    const std::string text = relay.Metrics();
    const auto at = text.find("\n" + name + " ");
    return at == std::string::npos ? -1 : std::stol(text.substr(at + name.size() + 2));
}
std::string Refusals(const std::string& reason) {
    return "kestrelink_relay_refusals_total{reason=\"" + reason + "\"}";
}

std::string Field(const std::optional<RawWs::Message>& m, const char* key) {
    if (!m || m->opcode != 0x1) return "";
    const auto json = nlohmann::json::parse(m->payload, nullptr, false);
    return json.is_object() && json.contains(key) && json[key].is_string()
               ? json[key].get<std::string>()
               : "";
}

// Upgrades and registers a host; its ID, or empty when the relay would not have it.
std::string RegisterHost(RawWs& ws) {
    const std::string id = kl::GenerateConnectionId();
    if (!ws.Upgrade() || !ws.SendText(kl::BuildHostRegistration(id))) return "";
    return Field(ws.Read(), "type") == "registered" ? id : "";
}

const std::string kProof = "v2:" + std::string(32, 'a') + ":" + std::string(64, 'b');

// A host and a viewer paired through the relay; requestId empty when pairing failed.
struct RawPair {
    RawPair(int port, const char* source) : host(port, source), viewer(port, source) {
        const std::string id = RegisterHost(host);
        if (id.empty() || !viewer.Upgrade() ||
            !viewer.SendText(kl::BuildViewerRegistration(id, kProof)))
            return;
        const std::string request = Field(host.Read(), "requestId");
        if (!host.SendText(kl::BuildConnectResponse(request, true))) return;
        if (Field(host.Read(), "type") == "connected" &&
            Field(viewer.Read(), "type") == "connected")
            requestId = request;
    }
    RawWs host, viewer;
    std::string requestId;
};

long Kb(const Relay& relay, const char* field) {
    return StatusKb(relay.process.pid(), field);
}

}  // namespace

TEST(RelayAbuse, SilentFloodFromOneAddressLeavesRoomForOthersAndEndsAtTheDeadline) {
    Relay relay({"--max-connections", "100", "--handshake-timeout-ms", "1000"});
    const int port = PortOf(relay.url);
    Clients flood;
    for (int i = 0; i < 300; ++i) flood.push_back(std::make_unique<RawWs>(port, "127.0.0.2"));
    RawWs honest(port, "127.0.0.3");
    EXPECT_FALSE(RegisterHost(honest).empty())
        << "a flood from another address locked this client out";
    EXPECT_GE(Metric(relay, Refusals("too_many_handshakes")), 250) << relay.Metrics();

    // Every silent socket is gone soon after the deadline, and the address may connect again.
    const auto start = std::chrono::steady_clock::now();
    for (auto& socket : flood)
        ASSERT_NE(socket->ClosedWith(3000), -1) << "a silent socket outlived the deadline";
    EXPECT_LT(std::chrono::steady_clock::now() - start, 2500ms);
    RawWs again(port, "127.0.0.2");
    EXPECT_TRUE(again.Upgrade());

    // An upgrade trickled a byte every 100 ms would take 17 s: it ends at the deadline too.
    RawWs trickle(port, "127.0.0.4");
    const std::string request = RawWs::UpgradeRequest();
    const auto trickleStart = std::chrono::steady_clock::now();
    bool ended = false;
    for (std::size_t i = 0; i < request.size() && !ended; ++i) {
        ended = !trickle.SendAll(request.substr(i, 1)) || trickle.ClosedWith(100) != -1;
        if (std::chrono::steady_clock::now() - trickleStart > 4s) break;
    }
    EXPECT_TRUE(ended);
    EXPECT_LT(std::chrono::steady_clock::now() - trickleStart, 2500ms);
}

TEST(RelayAbuse, UnpairedSendersOfLargeMessagesGet1009WithoutTheRelayGrowing) {
    Relay relay;
    const int port = PortOf(relay.url);
    const long peakBefore = Kb(relay, "VmHWM");
    Clients senders;
    for (int i = 0; i < 16; ++i) {
        senders.push_back(std::make_unique<RawWs>(port, "127.0.0.5"));
        // Half of them registered as hosts: registered is not paired.
        ASSERT_TRUE(i % 2 == 0 ? !RegisterHost(*senders.back()).empty()
                               : senders.back()->Upgrade());
    }
    const std::string message = RawWs::Frame(0x2, std::string(8 << 20, 'Z'), 8 << 20);
    for (auto& sender : senders) sender->SendAll(message);
    for (auto& sender : senders) EXPECT_EQ(sender->ClosedWith(5000), 1009);
    const long grown = Kb(relay, "VmHWM") - peakBefore;
    std::cout << "[ figures  ] 16 unpaired senders of 8 MiB: relay peak RSS " << peakBefore
              << " kB -> " << peakBefore + grown << " kB\n";
    EXPECT_LT(grown, 4096) << "kB; the relay buffered what it was going to refuse";
}

TEST(RelayAbuse, SenderPastTheLimitGets1009BeforeTheConnectionEndsEvenWhileSending) {
    Relay relay({"--max-binary-bytes", "1048576", "--send-buffer-bytes", "1048576"});
    RawPair pair(PortOf(relay.url), "127.0.0.6");
    ASSERT_FALSE(pair.requestId.empty());
    RawWs& sender = pair.host;
    ASSERT_TRUE(
        sender.SendAll(RawWs::Frame(0x2, "", 64u << 20)));  // announces 64 MiB, then keeps sending
    const std::string chunk(65536, 'Z');
    int code = -1;
    const auto start = std::chrono::steady_clock::now();
    std::optional<std::chrono::steady_clock::time_point> closeSeen;
    while (std::chrono::steady_clock::now() - start < 6s) {
        pollfd p{sender.fd(), POLLIN | POLLOUT, 0};
        if (poll(&p, 1, 100) <= 0) continue;
        if ((p.revents & POLLIN) != 0) {
            auto m = sender.Read(0);
            if (m && m->opcode == 0x8 && !closeSeen) {
                code = m->closeCode();
                closeSeen = std::chrono::steady_clock::now();
            }
            if (!m && (p.revents & (POLLHUP | POLLERR)) != 0) break;
        }
        if ((p.revents & POLLOUT) != 0 &&
            send(sender.fd(), chunk.data(), chunk.size(), MSG_NOSIGNAL) < 0)
            break;
    }
    EXPECT_EQ(code, 1009) << "the close frame was lost to the reset";
    ASSERT_TRUE(closeSeen.has_value());
    const auto drained = std::chrono::steady_clock::now() - *closeSeen;
    EXPECT_GT(drained, 1s) << "reset at once instead of reading and discarding";
    EXPECT_LT(drained, 4s) << "read and discarded without bound";
    // Its partner hears that the pair ended, and nothing of the oversized message.
    const auto note = pair.viewer.Read();
    EXPECT_EQ(Field(note, "type"), "peerDisconnected");
    EXPECT_EQ(Field(note, "requestId"), pair.requestId);
}

TEST(RelayAbuse, RegisterAndRequestFloodsMeetThePerAddressLimits) {
    Relay relay({"--max-connections-per-address", "4", "--viewer-requests-per-minute", "3"});
    const int port = PortOf(relay.url);
    Clients hosts;
    int registered = 0;
    for (int i = 0; i < 10; ++i) {
        hosts.push_back(std::make_unique<RawWs>(port, "127.0.0.7"));
        registered += RegisterHost(*hosts.back()).empty() ? 0 : 1;
    }
    EXPECT_EQ(registered, 4);
    EXPECT_EQ(Metric(relay, Refusals("too_many_from_address")), 6);
    RawWs target(port, "127.0.0.8");
    const std::string id = RegisterHost(target);
    ASSERT_FALSE(id.empty()) << "another address has its own allowance";

    // One request pending, then four more from the same address: two meet the busy host,
    // the last two the limit of three a minute.
    RawWs pending(port, "127.0.0.9");
    ASSERT_TRUE(pending.Upgrade() && pending.SendText(kl::BuildViewerRegistration(id, kProof)));
    EXPECT_EQ(Field(target.Read(), "type"), "connectRequest");
    std::vector<std::string> answers;
    for (int i = 0; i < 4; ++i) {
        RawWs viewer(port, "127.0.0.9");
        ASSERT_TRUE(viewer.Upgrade());
        viewer.SendText(kl::BuildViewerRegistration(id, kProof));
        answers.push_back(Field(viewer.Read(), "message"));
        EXPECT_EQ(viewer.ClosedWith(), 1008);
    }
    EXPECT_EQ(answers[1], "Karşı taraf şu anda başka bir bağlantıyla meşgul.");
    EXPECT_EQ(answers[2], "Çok fazla bağlantı isteği. Biraz sonra yeniden dene.");
    EXPECT_EQ(answers[3], answers[2]);
    EXPECT_FALSE(target.Read(300).has_value()) << "only the first request reached the host";
}

TEST(RelayAbuse, ConnectDisconnectCyclesLeaveMemoryAtItsBaseline) {
    Relay relay;
    const int port = PortOf(relay.url);
    // In batches from many source addresses: each client upgrades, registers a host and leaves.
    auto cycles = [&](int count) {
        int registered = 0;
        for (int done = 0; done < count; done += 50) {
            Clients batch;
            for (int i = 0; i < 50; ++i) {
                const std::string source = "127.0.1." + std::to_string(i + 1);
                batch.push_back(std::make_unique<RawWs>(port, source.c_str()));
                batch.back()->SendAll(RawWs::UpgradeRequest());
            }
            for (auto& ws : batch)
                if (ws->Upgraded())
                    ws->SendText(kl::BuildHostRegistration(kl::GenerateConnectionId()));
            for (auto& ws : batch) registered += Field(ws->Read(), "type") == "registered" ? 1 : 0;
        }
        return registered;
    };
    auto settled = [&] {
        for (int i = 0; i < 100 && Metric(relay, "kestrelink_relay_connections") != 0; ++i)
            usleep(20000);
        return Kb(relay, "VmRSS");
    };
    ASSERT_EQ(cycles(1000), 1000);
    const long baseline = settled();
    ASSERT_EQ(cycles(9000), 9000);
    const long after = settled();
    std::cout << "[ figures  ] 10,000 connect/register/disconnect cycles: relay RSS " << baseline
              << " kB after 1,000, " << after << " kB after 10,000\n";
    EXPECT_EQ(Metric(relay, "kestrelink_relay_registered_hosts"), 0);
    EXPECT_LT(after - baseline, 1024) << "kB kept after 9,000 more clients came and went";
}

TEST(RelayAbuse, ProtocolAbuseFromEitherRoleReachesNoOtherPair) {
    Relay relay;
    const int port = PortOf(relay.url);
    RawPair honest(port, "127.0.0.10");
    ASSERT_FALSE(honest.requestId.empty());

    {  // Paired: wrong role's message, another request's answer, then a second registration.
        RawPair abuser(port, "127.0.0.11");
        ASSERT_FALSE(abuser.requestId.empty());
        abuser.viewer.SendText(kl::BuildConnectResponse(abuser.requestId, false));
        abuser.host.SendText(kl::BuildConnectResponse(honest.requestId, false));
        EXPECT_FALSE(abuser.host.Read(300).has_value()) << "both are ignored";
        EXPECT_FALSE(abuser.viewer.Read(10).has_value());
        abuser.viewer.SendText(kl::BuildViewerRegistration("123456789", kProof));
        EXPECT_EQ(Field(abuser.viewer.Read(), "message"), "Geçersiz istek.");
        EXPECT_EQ(abuser.viewer.ClosedWith(), 1008);
        EXPECT_EQ(Field(abuser.host.Read(), "type"), "peerDisconnected");
    }
    {  // A pending viewer's binary, and the host's answer after it.
        RawWs host(port, "127.0.0.12"), viewer(port, "127.0.0.12");
        const std::string id = RegisterHost(host);
        ASSERT_TRUE(viewer.Upgrade() && viewer.SendText(kl::BuildViewerRegistration(id, kProof)));
        const std::string request = Field(host.Read(), "requestId");
        viewer.SendBinary("frame before pairing");
        EXPECT_EQ(viewer.ClosedWith(), 1008);
        EXPECT_EQ(Field(host.Read(), "type"), "peerDisconnected");
        host.SendText(kl::BuildConnectResponse(request, true));
        EXPECT_FALSE(host.Read(300).has_value()) << "an answer to an ended request is ignored";
    }
    // Unregistered: nesting, invalid UTF-8, binary, a text over the limit, and text that is no
    // object.
    std::string nested =
        R"({"type":"register","a":)" + std::string(5000, '[') + std::string(5000, ']') + "}";
    const std::vector<std::pair<std::string, int>> cases = {
        {RawWs::Frame(0x1, nested, nested.size()), 1008},
        {RawWs::Frame(0x1, "{\"type\":\"\xC3\x28\"}", 13), 1007},
        {RawWs::Frame(0x2, "abc", 3), 1008},
        {RawWs::Frame(0x1, std::string(16385, ' '), 16385), 1009},
        {RawWs::Frame(0x1, "[1,2]", 5), 1008},
    };
    for (const auto& [frame, code] : cases) {
        RawWs abuser(port, "127.0.0.13");
        ASSERT_TRUE(abuser.Upgrade());
        abuser.SendAll(frame);
        EXPECT_EQ(abuser.ClosedWith(), code) << frame.substr(0, 40);
    }
    EXPECT_EQ(Metric(relay, "kestrelink_relay_registered_hosts"), 1) << "only the honest host";

    // The honest pair heard nothing of it and still forwards both ways.
    EXPECT_FALSE(honest.host.Read(10).has_value());
    EXPECT_FALSE(honest.viewer.Read(10).has_value());
    honest.host.SendBinary("to viewer");
    honest.viewer.SendBinary("to host");
    const auto toViewer = honest.viewer.Read(), toHost = honest.host.Read();
    EXPECT_EQ(toViewer ? toViewer->payload : "", "to viewer");
    EXPECT_EQ(toHost ? toHost->payload : "", "to host");
}

// What any WebSocket client may do: frames right behind the upgrade request, pings between
// the fragments of a message, and a close answered with the same code; and what none may.
TEST(RelayFrames, PingsFragmentsAndEarlyFramesAreHonouredAndBrokenFramesClosedWith1002) {
    Relay relay;
    const int port = PortOf(relay.url);
    RawWs host(port);
    const std::string registration = kl::BuildHostRegistration(kl::GenerateConnectionId());
    const std::size_t half = registration.size() / 2;
    ASSERT_TRUE(host.SendAll(RawWs::UpgradeRequest() + RawWs::Frame(0x9, "early", 5) +
                             RawWs::Frame(0x1, registration.substr(0, half), half, false) +
                             RawWs::Frame(0x9, "between", 7)));
    ASSERT_TRUE(host.Upgraded());
    for (const char* ping : {"early", "between"}) {
        const auto pong = host.Read();
        ASSERT_TRUE(pong.has_value()) << ping;
        EXPECT_EQ(pong->opcode, 0xA);
        EXPECT_EQ(pong->payload, ping);
    }
    const std::string rest = registration.substr(half);
    ASSERT_TRUE(host.SendAll(RawWs::Frame(0x0, rest, rest.size())));
    EXPECT_EQ(Field(host.Read(), "type"), "registered");
    EXPECT_EQ(Metric(relay, "kestrelink_relay_registered_hosts"), 1);
    // The client closes first: the relay answers with its code and ends the connection.
    ASSERT_TRUE(host.SendAll(RawWs::Frame(0x8, std::string("\x0F\xA0", 2), 2)));  // 4000
    EXPECT_EQ(host.ClosedWith(), 4000);

    std::string unmasked = RawWs::Frame(0x1, "{}", 2);
    unmasked[1] = static_cast<char>(unmasked[1] & 0x7F);
    unmasked.erase(2, 4);
    const std::vector<std::pair<const char*, std::string>> broken = {
        {"unmasked", unmasked},
        {"reserved opcode", RawWs::Frame(0x3, "x", 1)},
        {"continuation of nothing", RawWs::Frame(0x0, "x", 1)},
        {"fragmented ping", RawWs::Frame(0x9, "x", 1, false)},
        {"close code 1005", RawWs::Frame(0x8, std::string("\x03\xED", 2), 2)},
    };
    for (const auto& [what, frame] : broken) {
        RawWs client(port);
        ASSERT_TRUE(client.Upgrade());
        client.SendAll(frame);
        EXPECT_EQ(client.ClosedWith(), 1002) << what;
    }
    EXPECT_EQ(Metric(relay, "kestrelink_relay_registered_hosts"), 0);
}

// A live client that merely has nothing to say keeps its place by answering the relay's
// pings; one that answers nothing is dropped after the idle time.
TEST(RelayFrames, ASilentClientIsPingedAndDroppedOnlyWhenItStopsAnswering) {
    Relay relay({"--idle-timeout-seconds", "2"});
    RawWs answering(PortOf(relay.url)), mute(PortOf(relay.url));
    ASSERT_FALSE(RegisterHost(answering).empty());
    ASSERT_FALSE(RegisterHost(mute).empty());
    const auto start = std::chrono::steady_clock::now();
    int pings = 0;
    while (std::chrono::steady_clock::now() - start < 5s) {
        const auto m = answering.Read(500);
        if (!m) continue;
        ASSERT_EQ(m->opcode, 0x9);
        ++pings;
        ASSERT_TRUE(answering.SendAll(RawWs::Frame(0xA, m->payload, m->payload.size())));
    }
    EXPECT_GE(pings, 2) << "pinged again after each answer";
    EXPECT_EQ(mute.ClosedWith(100), 0) << "the mute client was dropped, without a close frame";
    EXPECT_EQ(Metric(relay, "kestrelink_relay_registered_hosts"), 1);
}

// A slow uplink still sending a large frame is not silent, though the relay, waiting for a
// good piece of the frame at a time, reads from it only every few seconds.
// A slow sender of a large frame is not silent; one that trickles a byte now and then into a
// frame announced large is, and goes with the room it was given.
TEST(RelayFrames, ASenderSlowlySendingALargeFrameIsKeptAndATrickleIsNot) {
    Relay relay({"--idle-timeout-seconds", "2"});
    RawPair pair(PortOf(relay.url), "127.0.0.20"), trickler(PortOf(relay.url), "127.0.0.29");
    ASSERT_FALSE(pair.requestId.empty());
    ASSERT_FALSE(trickler.requestId.empty());
    ASSERT_TRUE(trickler.host.SendAll(RawWs::Frame(0x2, "", 8u << 20).substr(0, 14)));
    std::thread trickle([&] {
        for (int i = 0; i < 40 && trickler.host.SendAll("x"); ++i)
            std::this_thread::sleep_for(200ms);
    });
    std::string message(300 * 1024, '\0');
    for (std::size_t i = 0; i < message.size(); ++i)
        message[i] = static_cast<char>(i * 7 + (i >> 10));
    const std::string frame = RawWs::Frame(0x2, message, message.size());
    bool sent = true;
    std::thread sender([&] {  // about 48 KB a second
        for (std::size_t at = 0; at < frame.size() && sent; at += 4800) {
            sent = pair.viewer.SendAll(frame.substr(at, 4800));
            std::this_thread::sleep_for(100ms);
        }
    });
    std::optional<RawWs::Message> got;
    const auto start = std::chrono::steady_clock::now();
    while (std::chrono::steady_clock::now() - start < 15s) {
        got = pair.host.Read(1000);
        if (got && got->opcode != 0x9) break;
        if (got) pair.host.SendAll(RawWs::Frame(0xA, got->payload, got->payload.size()));
    }
    sender.join();
    EXPECT_TRUE(sent);
    ASSERT_TRUE(got.has_value()) << relay.process.Stderr();
    EXPECT_EQ(got->opcode, 0x2) << "the sender was dropped: " << got->payload;
    EXPECT_TRUE(got->payload == message);
    EXPECT_NE(trickler.host.ClosedWith(100), -1) << "a byte every 200 ms kept its frame open";
    trickle.join();
}

// A small message read together with the end of a large one waits while its sender is held;
// it goes out when the large one has been written, once, and the relay lives on.
TEST(RelayFrames, AMessageWaitingBehindAHeldSenderIsForwardedOnce) {
    Relay relay;
    RawPair pair(PortOf(relay.url), "127.0.0.21");
    ASSERT_FALSE(pair.requestId.empty());
    const std::string large(1 << 20, 'L'), small = "after the large one";
    const std::string frame = RawWs::Frame(0x2, large, large.size());
    // The large frame's last bytes come in the same read as the small frame.
    ASSERT_TRUE(pair.viewer.SendAll(frame.substr(0, frame.size() - 100)));
    std::this_thread::sleep_for(200ms);
    ASSERT_TRUE(pair.viewer.SendAll(frame.substr(frame.size() - 100) +
                                    RawWs::Frame(0x2, small, small.size())));
    const auto first = pair.host.Read(), second = pair.host.Read();
    ASSERT_TRUE(first && second);
    EXPECT_TRUE(first->payload == large);
    EXPECT_EQ(second->payload, small);
    ASSERT_TRUE(pair.viewer.SendBinary("last"));
    const auto third = pair.host.Read();
    ASSERT_TRUE(third.has_value()) << "the relay " << relay.process.Wait(0ms);
    EXPECT_EQ(third->payload, "last") << "forwarded twice";
}

// A client that pings without reading its pongs: the relay owes it one pong at a time, not
// one per ping, so the flood costs the relay nothing it keeps.
TEST(RelayAbuse, PingFloodFromAClientThatReadsNothingQueuesNoPongs) {
    Relay relay;
    RawWs client(PortOf(relay.url), "127.0.0.17");
    ASSERT_TRUE(client.Upgrade());
    const std::string ping = RawWs::Frame(0x9, std::string(125, 'p'), 125);
    std::string burst;
    for (int i = 0; i < 2000; ++i) burst += ping;
    for (int i = 0; i < 100; ++i) ASSERT_TRUE(client.SendAll(burst)) << "burst " << i;
    // All but what the kernel buffers between the two has been read by the relay by now.
    std::this_thread::sleep_for(200ms);
    const long buffered = Metric(relay, "kestrelink_relay_buffered_bytes");
    EXPECT_GE(buffered, 0);
    EXPECT_LT(buffered, 1 << 20) << "bytes held for 25 MB of pings never read";
}

// Idle connections give their read buffers back, to the memory budget too: what it counts
// decides when new connections are refused.
TEST(RelayAbuse, IdleConnectionsHoldNothingAgainstTheMemoryBudget) {
    Relay relay;
    std::vector<std::unique_ptr<RawPair>> pairs;
    for (int i = 0; i < 10; ++i) {
        pairs.push_back(std::make_unique<RawPair>(PortOf(relay.url), "127.0.0.19"));
        ASSERT_FALSE(pairs.back()->requestId.empty());
        // A message that draws no answer to its sender, who then falls silent.
        ASSERT_TRUE(pairs.back()->viewer.SendBinary(std::string(100, 'i')));
        ASSERT_TRUE(pairs.back()->host.Read().has_value());
    }
    std::this_thread::sleep_for(100ms);
    const long buffered = Metric(relay, "kestrelink_relay_buffered_bytes");
    EXPECT_GE(buffered, 0);
    EXPECT_LT(buffered, 20 * 1024) << "bytes counted for 20 idle connections";
}

TEST(RelayAbuse, LoggedRequestPathsCannotForgeLinesOrFields) {
    Relay relay;
    RawWs probe(PortOf(relay.url));
    // U+2028 (line separator), a fake field, U+202E (right-to-left override), then a cut inside é.
    const std::string path =
        "/a\xE2\x80\xA8"
        "conn=9\xE2\x80\xAE"
        "addr=6.6.6.6\\" +
        std::string(36, 'b') + "\xC3\xA9";
    ASSERT_TRUE(probe.SendAll("GET " + path + " HTTP/1.1\r\nHost: x\r\n\r\n"));
    probe.ClosedWith();
    relay.process.Signal(SIGTERM);
    relay.process.Wait();
    const std::string log = relay.process.Stderr();
    const auto at = log.find("http 404 ");
    ASSERT_NE(at, std::string::npos) << log;
    const std::string line = log.substr(at, log.find('\n', at) - at);
    EXPECT_EQ(line, "http 404 \"/a\\xe2\\x80\\xa8conn=9\\xe2\\x80\\xaeaddr=6.6.6.6\\x5c" +
                        std::string(36, 'b') + "\"...")
        << "64 bytes, cut before the é, all else escaped";
}

// Large messages trickled in 4 KB writes into a small receive buffer, to a partner that starts
// reading late (so the sender's reading is held and resumed): every byte arrives, in order. A
// receive low-water mark the buffer could not reach left the relay waiting for good.
TEST(RelayAbuse, MessagesTrickledIntoASmallReceiveBufferArriveWhileTheSenderIsHeld) {
    Relay relay({"--receive-buffer-bytes", "16384"});
    RawPair pair(PortOf(relay.url), "127.0.0.16");
    ASSERT_FALSE(pair.requestId.empty());
    std::vector<std::string> messages;
    for (int m = 0; m < 4; ++m) {
        std::string bytes(2u << 20, '\0');
        for (std::size_t i = 0; i < bytes.size(); ++i)
            bytes[i] = static_cast<char>(i * 31 + (i >> 12) + m);
        messages.push_back(std::move(bytes));
    }
    bool sent = true;
    std::thread sender([&] {
        for (const auto& message : messages) {
            const std::string frame = RawWs::Frame(0x2, message, message.size());
            for (std::size_t at = 0; at < frame.size() && sent; at += 4096) {
                sent = pair.viewer.SendAll(frame.substr(at, 4096));
                std::this_thread::sleep_for(100us);
            }
        }
    });
    std::this_thread::sleep_for(300ms);
    for (std::size_t m = 0; m < messages.size(); ++m) {
        const auto got = pair.host.Read();  // nothing for 5 s: stalled
        if (!got) {
            ADD_FAILURE() << "message " << m << " stalled";
            break;
        }
        EXPECT_EQ(got->opcode, 0x2);
        EXPECT_TRUE(got->payload == messages[m]) << "message " << m << " arrived changed";
    }
    sender.join();  // a stalled relay ends its sends within their timeout
    EXPECT_TRUE(sent);
}

TEST(RelayAbuse, AllocationFailureEndsOnlyTheConnectionThatMetIt) {
    Relay relay({"--max-binary-bytes", "33554432", "--send-buffer-bytes", "67108864"});
    const int port = PortOf(relay.url);
    RawPair pair(port, "127.0.0.14");
    ASSERT_FALSE(pair.requestId.empty());
    // Room for a little more than the relay holds now, far less than one 30 MiB message.
    const rlim_t room = static_cast<rlim_t>(Kb(relay, "VmSize") + 16 * 1024) * 1024;
    const rlimit limit{room, room};
    ASSERT_EQ(prlimit(relay.process.pid(), RLIMIT_AS, &limit, nullptr), 0);
    pair.host.SendBinary(std::string(30 << 20, 'Z'));
    EXPECT_NE(pair.host.ClosedWith(), -1) << "the sender's connection ends";
    EXPECT_EQ(Field(pair.viewer.Read(), "type"), "peerDisconnected");
    EXPECT_EQ(relay.process.Wait(0ms), -1)
        << "the relay is still running: " << relay.process.Stderr();
    RawWs next(port, "127.0.0.15");
    EXPECT_FALSE(RegisterHost(next).empty()) << "and serving";
    EXPECT_GE(Metric(relay, Refusals("out_of_memory")), 1);
}

// Empty messages cost the relay as much to keep as any: a self-paired sender of 6-byte frames to
// a partner that reads nothing is held by flow control, and what waits is counted.
TEST(RelayAbuse, AFloodOfEmptyMessagesIsHeldAndCountedLikeLargeOnes) {
    Relay relay({"--receive-buffer-bytes", "65536"});
    RawPair pair(PortOf(relay.url), "127.0.0.21");
    ASSERT_FALSE(pair.requestId.empty());
    const long before = Kb(relay, "VmRSS");
    std::string burst;
    for (int i = 0; i < 10000; ++i) burst += RawWs::Frame(0x2, "", 0);
    int bursts = 0;
    while (bursts < 300 && pair.host.SendAll(burst)) ++bursts;  // a held sender's send stalls
    std::this_thread::sleep_for(200ms);
    EXPECT_LT(bursts, 300) << "3 million empty messages taken without holding their sender";
    EXPECT_GE(Metric(relay, "kestrelink_relay_buffered_bytes"), 4000 * 100)
        << "messages waiting for the viewer, counted as nothing";
    EXPECT_LT(Kb(relay, "VmRSS") - before, 32 * 1024);
}

// Frame headers that announce 8 MiB: the relay holds what arrives, not what is announced, and
// when the budget runs short the senders holding room they have not filled are the ones ended;
// an honest pair streaming beside them, and newcomers, are not.
TEST(RelayAbuse, HeadersAnnouncingLargeFramesCostTheirSendersNotTheirNeighbours) {
    Relay relay({"--memory-budget-bytes", "67108864", "--send-buffer-bytes", "16777216"});
    const int port = PortOf(relay.url);
    RawPair honest(port, "127.0.0.23");
    ASSERT_FALSE(honest.requestId.empty());
    const long before = Kb(relay, "VmRSS");
    std::vector<std::unique_ptr<RawPair>> attackers;
    const std::string header = RawWs::Frame(0x2, "", 8u << 20).substr(0, 14) + "x";
    for (int i = 0; i < 16; ++i) {
        attackers.push_back(std::make_unique<RawPair>(port, i < 8 ? "127.0.0.24" : "127.0.0.25"));
        ASSERT_FALSE(attackers.back()->requestId.empty()) << i;
        ASSERT_TRUE(attackers.back()->host.SendAll(header));
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_LT(Kb(relay, "VmRSS") - before, 24 * 1024) << "16 headers announcing 8 MiB each";
    // The attackers fill 5 MiB of their frames each: more than the budget holds.
    const std::string fill(5u << 20, 'A');
    for (auto& a : attackers) a->host.SendAll(fill);
    const std::string frame(300000, 'H');
    for (int i = 0; i < 5; ++i) {
        ASSERT_TRUE(honest.host.SendBinary(frame)) << i;
        const auto got = honest.viewer.Read();
        ASSERT_TRUE(got.has_value()) << "honest frame " << i << ": " << relay.process.Stderr();
        EXPECT_EQ(got->payload.size(), frame.size());
    }
    EXPECT_GE(Metric(relay, Refusals("memory_budget")), 1) << "the budget was never short";
    EXPECT_LT(Kb(relay, "VmHWM") - before, 64 * 1024 + 40 * 1024);
    RawWs newcomer(port, "127.0.0.26");
    EXPECT_FALSE(RegisterHost(newcomer).empty());
    attackers.clear();  // and once they have gone, so has their memory
    std::this_thread::sleep_for(1500ms);
    EXPECT_LT(Kb(relay, "VmRSS") - before, 16 * 1024);

    // A slow uplink's room for a frame still arriving goes after whole frames queued for
    // partners that read nothing, and is not ended for a larger sender's next piece.
    for (int i = 0; i < 10; ++i) {
        attackers.push_back(std::make_unique<RawPair>(port, i < 5 ? "127.0.0.24" : "127.0.0.25"));
        if (i < 8) attackers.back()->host.SendBinary(std::string(7u << 20, 'Q'));
    }
    const std::string picture(300000, 'P'), slow = RawWs::Frame(0x2, picture, picture.size());
    std::thread uplink([&] {  // 200 KB a second
        for (std::size_t at = 0; at < slow.size(); at += 10000, std::this_thread::sleep_for(50ms))
            honest.viewer.SendAll(slow.substr(at, 10000));
    });
    std::this_thread::sleep_for(200ms);
    for (int i = 8; i < 10; ++i) attackers[i]->host.SendBinary(std::string(7u << 20, 'Q'));
    uplink.join();
    const auto got = honest.host.Read();
    EXPECT_TRUE(got && got->payload == picture) << (got ? got->payload : "nothing");
}

// Before the upgrade: headers past their limit get 431, a key that is not the base64 of 16
// bytes or a request to /ws that asks no upgrade 400, and unfinished requests count against the
// budget; once paired, a text frame over the text limit is refused at its header.
TEST(RelayAbuse, UpgradesAreBoundedCheckedAndCountedAndPairedTextKeepsItsLimit) {
    Relay relay;
    const int port = PortOf(relay.url);
    const auto status = [&](const std::string& request) {
        RawWs probe(port, "127.0.0.27");
        probe.SendAll(request);
        std::string head(64, '\0');
        const auto n = read(probe.fd(), head.data(), head.size());
        return n > 12 ? head.substr(9, 3) : std::string("none");
    };
    const std::string upgrade = RawWs::UpgradeRequest();
    const auto withKey = [&](const std::string& key) {
        std::string r = upgrade;
        const auto at = r.find("dGhl");
        return r.replace(at, 24, key);
    };
    EXPECT_EQ(status(upgrade.substr(0, upgrade.size() - 2) + "X-Pad: " + std::string(9000, 'p') +
                     "\r\n\r\n"),
              "431");
    EXPECT_EQ(status(withKey("abc")), "400");
    EXPECT_EQ(status(withKey("dGhlIHNhbXBsZSBub25jZQ=!")), "400");
    EXPECT_EQ(status(withKey("dGhlIHNhbXBsZSBub25jZQ==")), "101");
    EXPECT_EQ(status("GET /ws HTTP/1.1\r\nHost: x\r\n\r\n"), "400") << "not an upgrade";

    std::vector<std::unique_ptr<RawWs>> unfinished;
    for (int a = 0; a < 10; ++a) {
        const std::string source = "127.0.1." + std::to_string(a + 1);
        for (int i = 0; i < 8; ++i) {
            unfinished.push_back(std::make_unique<RawWs>(port, source.c_str()));
            unfinished.back()->SendAll("GET /ws HTTP/1.1\r\nX-Pad: " + std::string(7000, 'p'));
        }
    }
    std::this_thread::sleep_for(300ms);
    EXPECT_GE(Metric(relay, "kestrelink_relay_buffered_bytes"), 80 * 7000)
        << "80 unfinished requests held for nothing";

    RawPair pair(port, "127.0.0.28");
    ASSERT_FALSE(pair.requestId.empty());
    ASSERT_TRUE(pair.host.SendAll(RawWs::Frame(0x1, "", 1u << 20).substr(0, 14)));
    EXPECT_EQ(pair.host.ClosedWith(), 1009) << "a 1 MiB text frame announced";
}
