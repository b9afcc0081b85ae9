#include <gtest/gtest.h>

#include "relay/core/router.hpp"
#include "session/messages.hpp"

using kl::relay::Action;
using kl::relay::Clock;
using kl::relay::Router;

namespace {

const std::string kProof = "v2:" + std::string(32, 'a') + ":" + std::string(64, 'b');
const std::string kRequest = "0123456789abcdef0123456789abcdef";

struct Fixture {
    Clock::time_point t0 = Clock::now();
    Router router{kl::relay::Limits{}, [] { return kRequest; }};

    std::vector<Action> Open(kl::relay::ConnId id, const std::string& registration) {
        router.OnOpen(id, "127.0.0.1", t0);
        return router.OnText(id, registration, t0);
    }
    // Host 1 registered as 123456789 and viewer 2 requesting it.
    void Pending() {
        Open(1, kl::BuildHostRegistration("123456789"));
        Open(2, kl::BuildViewerRegistration("123456789", kProof));
    }
    void Paired() {
        Pending();
        router.OnText(1, kl::BuildConnectResponse(kRequest, true), t0);
    }
};

bool Sends(const std::vector<Action>& actions, kl::relay::ConnId to, const std::string& type) {
    for (const auto& a : actions)
        if (a.kind == Action::SendText && a.to == to &&
            kl::ReadString(kl::ParseMessage(a.text), "type", "") == type)
            return true;
    return false;
}

bool Closes(const std::vector<Action>& actions, kl::relay::ConnId to, std::uint16_t code) {
    for (const auto& a : actions)
        if (a.kind == Action::Close && a.to == to && a.closeCode == code) return true;
    return false;
}

}  // namespace

TEST(Router, FullPairingForwardsRequestAndConnectsBoth) {
    Fixture f;
    auto reg = f.Open(1, kl::BuildHostRegistration("123456789"));
    ASSERT_EQ(reg.size(), 1u);
    EXPECT_EQ(reg[0].text, R"({"protocol":2,"type":"registered"})");
    auto request = f.Open(2, kl::BuildViewerRegistration("123456789", kProof));
    ASSERT_EQ(request.size(), 1u);
    EXPECT_EQ(request[0].to, 1u);
    EXPECT_EQ(request[0].text, kl::BuildConnectRequest(kProof, kRequest));
    EXPECT_EQ(f.router.counters().pendingRequests, 1u);

    auto connected = f.router.OnText(1, kl::BuildConnectResponse(kRequest, true), f.t0);
    EXPECT_TRUE(Sends(connected, 1, "connected"));
    EXPECT_TRUE(Sends(connected, 2, "connected"));
    EXPECT_EQ(f.router.counters().pairedSessions, 1u);
    std::vector<Action> none;
    EXPECT_EQ(f.router.OnBinary(1, none), 2u);
    EXPECT_EQ(f.router.OnBinary(2, none), 1u);
    EXPECT_TRUE(none.empty());

    auto left = f.router.OnClose(2);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].text, kl::BuildPeerDisconnected(kRequest));
    EXPECT_EQ(f.router.counters().registeredHosts, 1u);
}

TEST(Router, RefusalClosesViewerAndKeepsHostRegistered) {
    Fixture f;
    f.Pending();
    auto refused = f.router.OnText(1, kl::BuildConnectResponse(kRequest, false), f.t0);
    EXPECT_TRUE(Sends(refused, 2, "error"));
    EXPECT_TRUE(Closes(refused, 2, 1008));
    // The host can take the next request.
    f.router.OnClose(2);
    auto next = f.Open(3, kl::BuildViewerRegistration("123456789", kProof));
    EXPECT_TRUE(Sends(next, 1, "connectRequest"));
}

TEST(Router, UnknownBusyAndDuplicateAreRefused) {
    Fixture f;
    EXPECT_TRUE(Closes(f.Open(9, kl::BuildViewerRegistration("999999999", kProof)), 9, 1008));
    f.Pending();
    auto busy = f.Open(3, kl::BuildViewerRegistration("123456789", kProof));
    EXPECT_TRUE(Sends(busy, 3, "error"));
    EXPECT_FALSE(Sends(busy, 1, "connectRequest"));
    auto duplicate = f.Open(4, kl::BuildHostRegistration("123456789"));
    EXPECT_TRUE(Sends(duplicate, 4, "error"));
    EXPECT_TRUE(Closes(duplicate, 4, 1008));
    EXPECT_EQ(f.router.counters().refusals.at("busy"), 1u);
    EXPECT_EQ(f.router.counters().refusals.at("duplicate_id"), 1u);
    EXPECT_EQ(f.router.counters().refusals.at("unknown_id"), 1u);
}

TEST(Router, MalformedOversizedAndUnpairedTrafficIsRefused) {
    Fixture f;
    f.router.OnOpen(1, "127.0.0.1", f.t0);
    EXPECT_TRUE(Closes(f.router.OnText(1, "{not json", f.t0), 1, 1008));
    f.router.OnOpen(2, "127.0.0.1", f.t0);
    EXPECT_TRUE(Closes(f.router.OnText(2, std::string(16385, ' '), f.t0), 2, 1009));
    f.router.OnOpen(3, "127.0.0.1", f.t0);
    std::vector<Action> actions;
    EXPECT_EQ(f.router.OnBinary(3, actions), 0u);
    EXPECT_TRUE(Closes(actions, 3, 1008));
    f.router.OnOpen(4, "127.0.0.1", f.t0);
    EXPECT_TRUE(Closes(
        f.router.OnText(
            4, R"({"type":"register","role":"host","protocol":1,"sessionId":"123456789"})", f.t0),
        4, 1008));
    f.router.OnOpen(5, "127.0.0.1", f.t0);
    EXPECT_TRUE(Closes(
        f.router.OnText(
            5,
            R"({"type":"register","role":"viewer","protocol":2,"sessionId":"123456789","password":"short"})",
            f.t0),
        5, 1008));
}

TEST(Router, DeadlinesCloseSilentConnectionsAndExpireRequests) {
    Fixture f;
    f.router.OnOpen(7, "127.0.0.1", f.t0);
    EXPECT_TRUE(f.router.OnTick(f.t0 + std::chrono::seconds(10)).empty());
    auto late = f.router.OnTick(f.t0 + std::chrono::milliseconds(10001));
    EXPECT_TRUE(Closes(late, 7, 1008));
    EXPECT_TRUE(f.router.OnTick(f.t0 + std::chrono::seconds(20)).empty()) << "closed only once";

    f.Pending();
    EXPECT_FALSE(Sends(f.router.OnTick(f.t0 + std::chrono::seconds(44)), 1, "peerDisconnected"));
    auto expired = f.router.OnTick(f.t0 + std::chrono::milliseconds(45001));
    EXPECT_TRUE(Sends(expired, 1, "peerDisconnected"));
    EXPECT_TRUE(Sends(expired, 2, "error"));
    EXPECT_TRUE(Closes(expired, 2, 1008));
    EXPECT_EQ(f.router.counters().pendingRequests, 0u);
    // A late answer to the expired request changes nothing.
    EXPECT_TRUE(f.router.OnText(1, kl::BuildConnectResponse(kRequest, true), f.t0).empty());
}

TEST(Router, HostLeavingEndsPendingRequestAndFreesItsId) {
    Fixture f;
    f.Pending();
    auto gone = f.router.OnClose(1);
    EXPECT_TRUE(Sends(gone, 2, "error"));
    EXPECT_TRUE(Closes(gone, 2, 1000));
    auto again = f.Open(5, kl::BuildHostRegistration("123456789"));
    EXPECT_TRUE(Sends(again, 5, "registered"));
}

TEST(Router, PairsDoNotLeakIntoEachOther) {
    Fixture f;
    f.Paired();
    f.Open(3, kl::BuildHostRegistration("222222222"));
    f.Open(4, kl::BuildViewerRegistration("222222222", kProof));
    f.router.OnText(3, kl::BuildConnectResponse(kRequest, true), f.t0);
    std::vector<Action> none;
    EXPECT_EQ(f.router.OnBinary(1, none), 2u);
    EXPECT_EQ(f.router.OnBinary(3, none), 4u);
    EXPECT_EQ(f.router.OnBinary(4, none), 3u);
    auto left = f.router.OnClose(3);
    ASSERT_EQ(left.size(), 1u);
    EXPECT_EQ(left[0].to, 4u);
}

TEST(Router, ViewerRequestsAreLimitedPerAddressPerMinute) {
    kl::relay::Limits limits;
    limits.viewerRequestsPerMinute = 2;
    Router router{limits, [] { return kRequest; }};
    const Clock::time_point t0 = Clock::now();
    router.OnOpen(1, "10.0.0.9", t0);
    router.OnText(1, kl::BuildHostRegistration("123456789"), t0);
    kl::relay::ConnId next = 2;
    auto request = [&](const std::string& address, Clock::time_point at) {
        const auto id = next++;
        router.OnOpen(id, address, at);
        auto actions = router.OnText(id, kl::BuildViewerRegistration("123456789", kProof), at);
        router.OnClose(id);  // free the host for the next request
        return actions;
    };
    EXPECT_TRUE(Sends(request("10.0.0.1", t0), 1, "connectRequest"));
    EXPECT_TRUE(Sends(request("10.0.0.1", t0 + std::chrono::seconds(1)), 1, "connectRequest"));
    auto third = request("10.0.0.1", t0 + std::chrono::seconds(2));
    EXPECT_FALSE(Sends(third, 1, "connectRequest"));
    EXPECT_TRUE(Closes(third, next - 1, 1008));
    EXPECT_TRUE(Sends(request("10.0.0.2", t0 + std::chrono::seconds(2)), 1, "connectRequest"))
        << "another address has its own allowance";
    EXPECT_TRUE(Sends(request("10.0.0.1", t0 + std::chrono::seconds(61)), 1, "connectRequest"))
        << "the window slides";
    EXPECT_EQ(router.counters().refusals.at("rate_limited"), 1u);
    router.OnTick(t0 + std::chrono::seconds(70));
    EXPECT_EQ(router.counters().addressRecords, 1u) << "10.0.0.2 has been quiet for a minute";
    router.OnTick(t0 + std::chrono::seconds(130));
    EXPECT_EQ(router.counters().addressRecords, 0u) << "no record outlives its minute";
}

TEST(Router, LogNamesEventsButNeverTheProof) {
    Fixture f;
    std::string log;
    f.router.SetLog([&](kl::relay::ConnId id, const std::string& line) {
        log += std::to_string(id) + " " + line + "\n";
    });
    f.Paired();
    f.router.OnTick(f.t0 + std::chrono::seconds(100));
    f.router.OnClose(2);
    EXPECT_NE(log.find("registered host 123456789"), std::string::npos) << log;
    EXPECT_NE(log.find("paired request " + kRequest), std::string::npos) << log;
    EXPECT_EQ(log.find(kProof.substr(3, 32)), std::string::npos)
        << "the nonce part of the proof leaked";
    EXPECT_EQ(log.find(kProof.substr(36)), std::string::npos) << "the proof leaked";
}
