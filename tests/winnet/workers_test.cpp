// The inbound and outbound queues, the workers, and stopping them, on a Client without a window.
#include <gtest/gtest.h>

#include <future>
#include <memory>
#include <thread>

#include "app/client.hpp"
#include "crypto/credentials.hpp"
#include "crypto/crypto_session.hpp"
#include "net/transport.hpp"
#include "net/workers.hpp"
#include "net_test_util.hpp"
#include "session/messages.hpp"
#include "session/session.hpp"

using namespace std::chrono_literals;

namespace {

kl::NetEvent Text(std::string text) {
    kl::NetEvent e;
    e.kind = kl::NetEvent::Text;
    e.bytes.assign(text.begin(), text.end());
    e.text = std::move(text);
    return e;
}

kl::OutgoingMessage Encrypted(std::uint8_t kind, std::size_t size, std::uint8_t fill) {
    kl::OutgoingMessage m;
    m.kind = kind;
    m.bytes.assign(size, fill);
    return m;
}

std::vector<std::string> Drain(Client& app) {
    std::vector<std::string> handled;
    DrainEvents(app, [&](Client&, kl::NetEvent& e) { handled.push_back(e.text); });
    return handled;
}

// Waits until the inbound queue holds `count` events.
bool WaitForQueued(Client& app, std::size_t count, std::chrono::milliseconds limit = 15s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        {
            std::lock_guard<std::mutex> lock(app.eventMutex);
            if (app.eventQueue.size() >= count) return true;
        }
        std::this_thread::sleep_for(20ms);
    }
    return false;
}

}  // namespace

TEST(EventQueue, ThirtyThirdEventOverflowsAndTheDrainStopsTheSession) {
    Client app;
    for (int i = 0; i < 32; ++i)
        PostEvent(app, app.sessionGeneration, Text("e" + std::to_string(i)));
    EXPECT_FALSE(app.eventOverflow);
    PostEvent(app, app.sessionGeneration, Text("one too many"));
    EXPECT_TRUE(app.eventOverflow);
    app.viewerMode = true;
    EXPECT_TRUE(Drain(app).empty()) << "no event of the batch is handled";
    EXPECT_EQ(app.statusText, L"Veri sınırı aşıldı. Oturum durduruldu.");
    EXPECT_FALSE(app.viewerMode);
    EXPECT_TRUE(app.eventQueue.empty());
}

TEST(EventQueue, OversizedTextEventOverflowsButAnEightMiBBinaryFits) {
    Client app;
    kl::NetEvent binary;
    binary.kind = kl::NetEvent::Binary;
    binary.bytes.assign(8388608, 1);
    PostEvent(app, app.sessionGeneration, std::move(binary));
    EXPECT_FALSE(app.eventOverflow);
    PostEvent(app, app.sessionGeneration, Text(std::string(16384, 'a')));
    EXPECT_FALSE(app.eventOverflow) << "16384 bytes of text are within the limit";
    PostEvent(app, app.sessionGeneration, Text(std::string(16385, 'a')));
    EXPECT_TRUE(app.eventOverflow);
    Drain(app);
    EXPECT_EQ(app.statusText, L"Veri sınırı aşıldı. Oturum durduruldu.");
}

TEST(EventQueue, EventsOfAnEarlierSessionAreDroppedAndSkipped) {
    Client app;
    const std::uint32_t old = app.sessionGeneration;
    PostEvent(app, old, Text("queued before the stop"));
    StopSession(app);
    PostEvent(app, old, Text("posted after the stop"));
    EXPECT_TRUE(app.eventQueue.empty())
        << "the stop emptied the queue and the late post was dropped";
    // An entry that is still queued when its session ends is skipped by the drain.
    {
        std::lock_guard<std::mutex> lock(app.eventMutex);
        app.eventQueue.push_back({old, Text("stale")});
    }
    PostEvent(app, app.sessionGeneration, Text("current"));
    EXPECT_EQ(Drain(app), std::vector<std::string>{"current"});
}

TEST(SendQueue, NewerScreenImageReplacesAnUnsentOneOnlyAtTheTail) {
    Client app;
    app.networkRunning = true;  // no sender: everything stays queued
    ASSERT_TRUE(QueueOutgoing(app, Encrypted(1, 1000, 1)));
    ASSERT_TRUE(QueueOutgoing(app, Encrypted(1, 2000, 2)));
    ASSERT_EQ(app.sendQueue.size(), 1u);
    EXPECT_EQ(app.sendQueue.back().bytes[0], 2) << "the newer image";
    EXPECT_EQ(app.sendQueueBytes, 2000u);
    ASSERT_TRUE(QueueOutgoing(app, Encrypted(2, 50, 3)));
    ASSERT_TRUE(QueueOutgoing(app, Encrypted(1, 3000, 4)));
    EXPECT_EQ(app.sendQueue.size(), 3u) << "an input event between them prevents the replacement";
    EXPECT_EQ(app.sendQueueBytes, 5050u);
    EXPECT_FALSE(QueueOutgoing(app, Encrypted(2, 8388609, 0))) << "over 8 MiB";
    EXPECT_TRUE(QueueOutgoing(app, Encrypted(2, 8388608, 0))) << "8 MiB itself";
    app.networkRunning = false;
    EXPECT_FALSE(QueueText(app, std::string("{}"))) << "refused once the network is not running";
    EXPECT_EQ(app.sendQueue.size(), 4u);
    app.networkRunning = true;
    for (int i = static_cast<int>(app.sendQueue.size()); i < 128; ++i)
        ASSERT_TRUE(QueueText(app, std::string("{}")));
    EXPECT_FALSE(QueueText(app, std::string("{}"))) << "the 129th message";
    StopSession(app);
    EXPECT_TRUE(app.sendQueue.empty());
    EXPECT_FALSE(QueueText(app, std::string("{}"))) << "queueing after the stop";
}

TEST(SendQueue, EncryptedMessagesNeedACryptoSessionAndATransport) {
    Client app;
    app.networkRunning = true;
    EXPECT_FALSE(QueueEncrypted(app, 3, {1, 2, 3}));
    app.crypto = std::make_shared<kl::CryptoSession>(kl::GenerateConnectionKey(), "123456789",
                                                     "0123456789abcdef0123456789abcdef", true);
    EXPECT_FALSE(QueueEncrypted(app, 3, {1, 2, 3})) << "no transport";
    app.transport = std::make_shared<kl::Transport>();
    EXPECT_TRUE(QueueEncrypted(app, 3, {1, 2, 3}));
    EXPECT_FALSE(QueueEncrypted(app, 1, std::vector<std::uint8_t>(8388581)));
    EXPECT_EQ(app.sendQueue.back().crypto, app.crypto);
    app.networkRunning = false;
}

TEST(Workers, RegisterThroughTheRelayAndHandTheAnswerToTheHandler) {
    Client app;
    app.relayUrl = kltest::kRelayUrl;
    app.Open(false, kl::BuildHostRegistration("987654321"));
    EXPECT_EQ(app.statusText, L"Güvenli bağlantı kuruluyor…");
    ASSERT_TRUE(WaitForQueued(app, 1));
    const auto handled = Drain(app);
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0], kl::BuildRegistered());
    StopSession(app);
    EXPECT_FALSE(app.networkThread.joinable());
    EXPECT_FALSE(app.senderThread.joinable());
    EXPECT_FALSE(app.transport);
}

TEST(Workers, SendFailureEndsTheSenderWithExactlyOneError) {
    Client app;
    app.relayUrl = kltest::ScriptUrl(L"echo");
    app.Open(true, "{}");
    ASSERT_TRUE(WaitForQueued(app, 1)) << "the echo of the first message";
    Drain(app);
    // An encrypted message without its session cannot be sent.
    ASSERT_TRUE(QueueOutgoing(app, Encrypted(2, 10, 0)));
    ASSERT_TRUE(WaitForQueued(app, 1));
    std::this_thread::sleep_for(300ms);
    EXPECT_FALSE(app.networkRunning);
    EXPECT_FALSE(QueueText(app, std::string("{}"))) << "further queueing is refused";
    EXPECT_EQ(Drain(app), std::vector<std::string>{"Network send failed"});
    StopSession(app);
}

TEST(Workers, StoppingWhileTheNetworkWorkerConnectsEndsEveryThread) {
    Client app;
    app.relayUrl = kltest::ScriptUrl(L"silent");
    app.Open(false, "{}");
    std::this_thread::sleep_for(500ms);
    const auto start = std::chrono::steady_clock::now();
    StopSession(app);
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s)
        << "well before the 20 s handshake wait";
    EXPECT_FALSE(app.networkThread.joinable());
    EXPECT_FALSE(app.senderThread.joinable());
    EXPECT_TRUE(app.eventQueue.empty()) << "the cancelled attempt's error is stale";
    std::this_thread::sleep_for(300ms);
    EXPECT_TRUE(app.eventQueue.empty());
}

TEST(Workers, UnreachableRelayIsReportedAsAnErrorEvent) {
    Client app;
    app.relayUrl = kltest::PortUrl(9, L"/ws");  // nothing listens there
    app.Open(false, "{}");
    ASSERT_TRUE(WaitForQueued(app, 1, 30s));
    const auto handled = Drain(app);
    ASSERT_EQ(handled.size(), 1u);
    EXPECT_EQ(handled[0].rfind("Send handshake (Windows error ", 0), 0u) << handled[0];
    StopSession(app);
}
