// kl::Transport over real WinHTTP (Wine) against the real relay and a misbehaving server.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
// clang-format on
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <future>
#include <optional>
#include <thread>
#include <utility>

#include "crypto/credentials.hpp"
#include "net/transport.hpp"
#include "alloc_hooks.hpp"
#include "net_test_util.hpp"
#include "session/messages.hpp"

using kltest::EventLog;
using namespace std::chrono_literals;

namespace {

std::string Type(const kl::NetEvent& e) {
    try {
        return kl::ReadString(kl::ParseMessage(e.text), "type", "");
    } catch (...) {
        return "";
    }
}

// Waits (up to 15 s) for the `count`-th text event of `type`.
std::optional<kl::NetEvent> FindText(EventLog& log, const std::string& type,
                                     std::size_t count = 1) {
    for (int i = 0; i < 150; ++i) {
        std::size_t seen = 0;
        for (auto& e : log.Events())
            if (e.kind == kl::NetEvent::Text && Type(e) == type && ++seen == count) return e;
        std::this_thread::sleep_for(100ms);
    }
    return std::nullopt;
}

// How many of this process's sockets to the relay send without Nagle's delay, of how many.
std::pair<int, int> RelaySocketsWithoutDelay() {
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return {0, 0};
    int quick = 0, all = 0;
    for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
        const auto socket = static_cast<SOCKET>(value);
        sockaddr_in peer{};
        int length = sizeof peer;
        if (getpeername(socket, reinterpret_cast<sockaddr*>(&peer), &length) != 0 ||
            peer.sin_family != AF_INET || ntohs(peer.sin_port) != KL_TEST_PORT)
            continue;
        BOOL noDelay = FALSE;
        length = sizeof noDelay;
        ++all;
        if (getsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<char*>(&noDelay),
                       &length) == 0 &&
            noDelay)
            ++quick;
    }
    WSACleanup();
    return {quick, all};
}

}  // namespace

TEST(Transport, PairsThroughTheRelayAndCarriesMessagesUpTo8MiBBothWays) {
    EventLog hostLog, viewerLog;  // outlive the transports, which deliver into them when closed
    kl::Transport host, viewer;
    std::string error;
    ASSERT_TRUE(host.Open(kltest::kRelayUrl, hostLog.Sink(), error)) << error;
    const std::string id = kl::GenerateConnectionId();
    ASSERT_TRUE(host.SendText(kl::BuildHostRegistration(id)));
    ASSERT_TRUE(FindText(hostLog, "registered")) << hostLog.Kinds();

    ASSERT_TRUE(viewer.Open(kltest::kRelayUrl, viewerLog.Sink(), error)) << error;
    const std::string proof = "v2:" + std::string(32, 'a') + ":" + std::string(64, 'b');
    ASSERT_TRUE(viewer.SendText(kl::BuildViewerRegistration(id, proof)));
    const auto request = FindText(hostLog, "connectRequest");
    ASSERT_TRUE(request.has_value());
    const std::string requestId = kl::ReadString(kl::ParseMessage(request->text), "requestId", "");
    ASSERT_TRUE(host.SendText(kl::BuildConnectResponse(requestId, true)));
    ASSERT_TRUE(FindText(viewerLog, "connected"));
    ASSERT_TRUE(FindText(hostLog, "connected"));
    // A frame's last part short of a segment must not wait for the relay's delayed
    // acknowledgement (up to 40 ms a frame on a changing screen).
    EXPECT_EQ(RelaySocketsWithoutDelay(), std::make_pair(2, 2));

    std::vector<std::uint8_t> big(8388608);
    for (std::size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<std::uint8_t>(i * 31 + (i >> 16));
    EXPECT_FALSE(host.SendBinary(std::vector<std::uint8_t>(8388609)))
        << "one byte over is refused at send";
    ASSERT_TRUE(host.SendBinary(big));
    const std::size_t viewerBefore = viewerLog.Events().size();
    ASSERT_TRUE(viewerLog.WaitFor(viewerBefore + 1, 30s));
    auto got = viewerLog.Events().back();
    EXPECT_EQ(got.kind, kl::NetEvent::Binary);
    EXPECT_TRUE(got.bytes == big) << "8 MiB arrived intact host -> viewer";
    std::reverse(big.begin(), big.end());
    const std::size_t hostBefore = hostLog.Events().size();
    ASSERT_TRUE(viewer.SendBinary(big));
    ASSERT_TRUE(hostLog.WaitFor(hostBefore + 1, 30s));
    got = hostLog.Events().back();
    EXPECT_TRUE(got.kind == kl::NetEvent::Binary && got.bytes == big)
        << "8 MiB arrived intact viewer -> host";

    viewer.Close();
    ASSERT_TRUE(FindText(hostLog, "peerDisconnected")) << "the relay told the host";
    host.Close();
    EXPECT_EQ(hostLog.Events().back().kind, kl::NetEvent::Closed);
}

TEST(Transport, RefusedUpgradeReportsTheStatusAndStartsNoReceiver) {
    EventLog log;
    kl::Transport transport;
    std::string error;
    EXPECT_FALSE(transport.Open(kltest::ScriptUrl(L"reject403"), log.Sink(), error));
    EXPECT_EQ(error, "Relay refused WebSocket upgrade (HTTP 403)");
    transport.Close();
    EXPECT_FALSE(log.WaitFor(1, 300ms)) << "no receive thread, so no closed event either";
}

TEST(Transport, AssemblesFragmentsAndAcceptsExactly8MiBAndEmptyMessages) {
    {
        EventLog log;
        kl::Transport transport;
        std::string error;
        ASSERT_TRUE(transport.Open(kltest::ScriptUrl(L"fragments"), log.Sink(), error)) << error;
        ASSERT_TRUE(log.WaitFor(2));
        auto events = log.Events();
        EXPECT_EQ(events[0].kind, kl::NetEvent::Text);
        EXPECT_EQ(events[0].text, "Merhaba dünya!");
        EXPECT_EQ(std::string(events[0].bytes.begin(), events[0].bytes.end()), "Merhaba dünya!");
        EXPECT_EQ(events[1].kind, kl::NetEvent::Binary)
            << "a final frame of the other kind after a whole message";
        EXPECT_TRUE(events[1].text.empty());
    }
    {
        EventLog log;
        kl::Transport transport;
        std::string error;
        ASSERT_TRUE(transport.Open(kltest::ScriptUrl(L"exact"), log.Sink(), error)) << error;
        ASSERT_TRUE(log.WaitFor(1, 30s));
        EXPECT_EQ(log.Events()[0].kind, kl::NetEvent::Binary);
        EXPECT_EQ(log.Events()[0].bytes.size(), 8388608u);
    }
    {
        EventLog log;
        kl::Transport transport;
        std::string error;
        ASSERT_TRUE(transport.Open(kltest::ScriptUrl(L"empty"), log.Sink(), error)) << error;
        ASSERT_TRUE(log.WaitFor(1));
        EXPECT_EQ(log.Events()[0].kind, kl::NetEvent::Text);
        EXPECT_TRUE(log.Events()[0].bytes.empty());
        EXPECT_TRUE(transport.SendText("")) << "a zero-length text message can be sent";
        ASSERT_TRUE(log.WaitFor(2)) << "and the echo comes back";
        EXPECT_EQ(log.Events()[1].kind, kl::NetEvent::Text);
        EXPECT_TRUE(log.Events()[1].text.empty());
    }
}

TEST(Transport, BrokenStreamsEndWithOneErrorThenClosed) {
    struct Case {
        const wchar_t* scenario;
        const char* error;
    };
    for (const Case& c :
         {Case{L"mixed", "Invalid mixed WebSocket fragments"},
          Case{L"oversize", "Relay message exceeded the 8 MiB limit"}, Case{L"close", nullptr}}) {
        EventLog log;
        kl::Transport transport;
        std::string error;
        ASSERT_TRUE(transport.Open(kltest::ScriptUrl(c.scenario), log.Sink(), error)) << error;
        ASSERT_TRUE(log.WaitFor(c.error ? 2 : 1, 30s)) << log.Kinds();
        std::this_thread::sleep_for(200ms);
        const auto events = log.Events();
        if (c.error != nullptr) {
            ASSERT_EQ(log.Kinds(), "EC");
            EXPECT_EQ(events[0].text, c.error);
            EXPECT_EQ(events[1].text, "Relay connection closed");
        } else {
            ASSERT_EQ(log.Kinds(), "C");
            EXPECT_EQ(events[0].text, "Relay connection closed");
        }
        EXPECT_FALSE(transport.SendText("late")) << "nothing is sent on an ended connection";
    }
}

TEST(Transport, DroppedConnectionEndsWithOneErrorThenClosed) {
    EventLog log;
    kl::Transport transport;
    std::string error;
    ASSERT_TRUE(transport.Open(kltest::ScriptUrl(L"drop"), log.Sink(), error)) << error;
    ASSERT_TRUE(log.WaitFor(1));
    std::this_thread::sleep_for(200ms);
    const auto events = log.Events();
    ASSERT_FALSE(events.empty());
    EXPECT_EQ(events.back().kind, kl::NetEvent::Closed);
    EXPECT_EQ(events.back().text, "Relay connection closed");
    EXPECT_LE(events.size(), 2u);
    if (events.size() == 2) {
        EXPECT_EQ(events[0].text.rfind("Receive WebSocket (Windows error ", 0), 0u)
            << events[0].text;
    }
}

namespace {
// The close status the script server saw on the connection that ended last.
std::string LastCloseStatus() {
    EventLog query;
    kl::Transport asking;
    std::string error;
    if (!asking.Open(kltest::ScriptUrl(L"lastclose"), query.Sink(), error) || !query.WaitFor(1))
        return "no answer";
    return query.Events()[0].text;
}
}  // namespace

TEST(Transport, LocalCloseSendsStatus1000AndOneClosedEventAndRefusesLaterSends) {
    kl::Transport never;
    never.Close();
    never.Close();
    EXPECT_FALSE(never.SendText("x")) << "never opened";

    // Several times: the receive thread must not close the handles under the closer's close frame.
    for (int round = 0; round < 6; ++round) {
        EventLog log;
        kl::Transport transport;
        std::string error;
        ASSERT_TRUE(transport.Open(kltest::ScriptUrl(L"echo"), log.Sink(), error)) << error;
        ASSERT_TRUE(transport.SendText("ping"));
        ASSERT_TRUE(log.WaitFor(1));
        transport.Close();
        transport.Close();
        EXPECT_EQ(LastCloseStatus(), "1000") << "round " << round;
        std::this_thread::sleep_for(100ms);
        EXPECT_EQ(log.Kinds(), "TC");
        EXPECT_EQ(log.Events().back().text, "Connection closed");
        const auto before = std::chrono::steady_clock::now();
        EXPECT_FALSE(transport.SendText("after"));
        EXPECT_FALSE(transport.SendBinary({1, 2, 3}));
        EXPECT_LT(std::chrono::steady_clock::now() - before, 1s) << "refused at once";
    }
}

TEST(Transport, CloseFromInsideTheEventCallbackDoesNotDeadlock) {
    EventLog log;
    auto transport = std::make_shared<kl::Transport>();
    auto sink = log.Sink();
    std::string error;
    ASSERT_TRUE(transport->Open(
        kltest::ScriptUrl(L"empty"),
        [transport, sink](kl::NetEvent event) {
            const bool first = event.kind == kl::NetEvent::Text;
            sink(std::move(event));
            if (first) transport->Close();
        },
        error))
        << error;
    ASSERT_TRUE(log.WaitFor(2));
    EXPECT_EQ(log.Kinds(), "TC");
    EXPECT_EQ(log.Events().back().text, "Connection closed");
    transport->Close();
}

TEST(Transport, CloseDuringHandshakeReturnsPromptly) {
    EventLog log;
    kl::Transport transport;
    std::string error;
    auto opening = std::async(std::launch::async, [&] {
        return transport.Open(kltest::ScriptUrl(L"silent"), log.Sink(), error);
    });
    std::this_thread::sleep_for(500ms);
    const auto start = std::chrono::steady_clock::now();
    transport.Close();
    ASSERT_EQ(opening.wait_for(10s), std::future_status::ready)
        << "open must not wait out its 20 s";
    EXPECT_FALSE(opening.get());
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    const bool allowed = error == "Connection cancelled" ||
                         error.rfind("Send handshake (Windows error ", 0) == 0 ||
                         error.rfind("Receive handshake (Windows error ", 0) == 0;
    EXPECT_TRUE(allowed) << error;
}

TEST(Transport, CloseCutsShortALargeSendInFlight) {
    EventLog log;
    kl::Transport transport;
    std::string error;
    ASSERT_TRUE(transport.Open(kltest::ScriptUrl(L"stall"), log.Sink(), error)) << error;
    std::vector<std::uint8_t> big(8388608, 0x42);
    // The server never reads, so some send of these blocks once the socket buffers are full.
    auto sending = std::async(std::launch::async, [&] {
        for (int i = 0; i < 8; ++i)
            if (!transport.SendBinary(big)) return false;
        return true;
    });
    ASSERT_EQ(sending.wait_for(3s), std::future_status::timeout) << "the sends should be blocked";
    transport.Close();
    ASSERT_EQ(sending.wait_for(10s), std::future_status::ready);
    EXPECT_FALSE(sending.get());
    ASSERT_TRUE(log.WaitFor(1));
    EXPECT_EQ(log.Kinds(), "C");
}

TEST(Transport, UnansweredUpgradeTimesOutAfterTwentySeconds) {
    EventLog log;
    kl::Transport transport;
    std::string error;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_FALSE(transport.Open(kltest::ScriptUrl(L"silent"), log.Sink(), error));
    const auto waited = std::chrono::steady_clock::now() - start;
    EXPECT_TRUE(error == "Send handshake (Windows error 12002)" ||
                error == "Receive handshake (Windows error 12002)")
        << error;
    EXPECT_GE(waited, 19s) << "the step waits its full 20 s";
}

TEST(Transport, IdleConnectionOutlivesTheHandshakeReadLimit) {
    // The handshake's reads are bounded by 20 s; an open WebSocket must not be.
    EventLog log;
    kl::Transport transport;
    std::string error;
    ASSERT_TRUE(transport.Open(kltest::ScriptUrl(L"echo"), log.Sink(), error)) << error;
    std::this_thread::sleep_for(23s);
    EXPECT_EQ(log.Kinds(), "") << "still open after 23 idle seconds";
    ASSERT_TRUE(transport.SendText("still here"));
    ASSERT_TRUE(log.WaitFor(1));
    EXPECT_EQ(log.Events()[0].text, "still here");
}

TEST(Transport, SendTakesTheBytesOverSoACloseCannotLeaveWinHttpReadingFreedMemory) {
    EventLog log;
    kl::Transport transport;
    std::string error;
    ASSERT_TRUE(transport.Open(kltest::ScriptUrl(L"stall"), log.Sink(), error)) << error;
    // The server never reads: some send blocks, and the close cuts it short while WinHTTP may
    // still hold the message. The caller's buffer is gone (moved) before the call returns.
    auto sending = std::async(std::launch::async, [&] {
        for (int i = 0; i < 8; ++i) {
            std::vector<std::uint8_t> envelope(8388608, static_cast<std::uint8_t>(i));
            const bool sent = transport.SendBinary(std::move(envelope));
            if (!envelope.empty()) return std::string("the caller still owned the bytes");
            if (!sent) return std::string("cut short");
        }
        return std::string("all sent");
    });
    ASSERT_EQ(sending.wait_for(3s), std::future_status::timeout) << "the sends should be blocked";
    const auto start = std::chrono::steady_clock::now();
    transport.Close();
    ASSERT_EQ(sending.wait_for(10s), std::future_status::ready);
    EXPECT_EQ(sending.get(), "cut short");
    EXPECT_LT(std::chrono::steady_clock::now() - start, 5s) << "close stays bounded";
}

TEST(Transport, AMessageThatCannotBeStoredEndsTheConnectionInsteadOfTheProcess) {
    EventLog log;
    kl::Transport transport;
    std::string error;
    kltest::FailAllocationsOfAtLeast(1 << 20);  // the 8 MiB message cannot be assembled
    ASSERT_TRUE(transport.Open(kltest::ScriptUrl(L"exact"), log.Sink(), error)) << error;
    const bool ended = log.WaitFor(2, 30s);
    kltest::FailAllocationsOfAtLeast(0);
    ASSERT_TRUE(ended) << log.Kinds();
    EXPECT_EQ(log.Kinds(), "EC");
    EXPECT_EQ(log.Events()[0].text, "Out of memory");
    EXPECT_EQ(log.Events()[1].text, "Relay connection closed");
}
