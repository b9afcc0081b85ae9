#pragma once
// A record with a transport that never connects: what the session queues stays in the
// outgoing queue for the test to read, and the clock is the test's. A stand-in sender worker
// keeps a copy of the queue as it was when the session stopped, so a test can tell what a
// message that ended the session had queued to go out.
#include <windows.h>
#include <gtest/gtest.h>

#include <memory>
#include <atomic>
#include <thread>
#include <string>
#include <vector>

#include "app/client.hpp"
#include "crypto/credentials.hpp"
#include "crypto/crypto_session.hpp"
#include "net/transport.hpp"
#include "session/messages.hpp"
#include "session/session.hpp"

namespace kltest {

inline const std::wstring kSecurityStop = L"Güvenlik doğrulaması başarısız. Bağlantı durduruldu.";

class SessionTest : public ::testing::Test {
  protected:
    void SetUp() override {
        app.tickSource = [this] { return now; };
        app.hotkeyRegistered = true;  // as the program's window takes it when nobody else has
        app.connectionId = "482915037";
        app.connectionKey = kl::GenerateConnectionKey();
        Connect();
    }
    // What Client::Open leaves behind, with a sender that sends nothing: messages queue up.
    void Connect() {
        if (app.senderThread.joinable()) {  // the previous stand-in, still running
            {
                std::lock_guard<std::mutex> lock(app.sendMutex);
                app.networkRunning = false;
            }
            app.sendReady.notify_all();
            app.senderThread.join();
        }
        app.transport = std::make_shared<kl::Transport>();
        app.networkRunning = true;
        app.senderThread = std::thread([this] {
            std::unique_lock<std::mutex> lock(app.sendMutex);
            app.sendReady.wait(lock, [this] { return !app.networkRunning; });
            atStop.assign(app.sendQueue.begin(), app.sendQueue.end());  // the stop empties it next
            recorded = true;
        });
    }
    void Text(const std::string& text) {
        kl::NetEvent event;
        event.kind = kl::NetEvent::Text;
        event.bytes.assign(text.begin(), text.end());
        Handle(event);
    }
    void Binary(const std::vector<std::uint8_t>& bytes) {
        kl::NetEvent event;
        event.kind = kl::NetEvent::Binary;
        event.bytes = bytes;
        Handle(event);
    }
    void Handle(kl::NetEvent& event) {
        {
            std::lock_guard<std::mutex> lock(app.sendMutex);
            queuedBefore = app.sendQueue.size();
        }
        recorded = false;
        const std::uint32_t generation = app.sessionGeneration;
        HandleNetEvent(app, event);
        stoppedByMessage = app.sessionGeneration != generation;
    }
    std::vector<std::string> QueuedTexts() {
        std::vector<std::string> texts;
        std::lock_guard<std::mutex> lock(app.sendMutex);  // a capture worker may be pushing
        for (const kl::OutgoingMessage& m : app.sendQueue)
            if (m.kind == 0) texts.push_back(m.text);
        return texts;
    }
    // After every stop: no relay connection, no worker, no banner, no request.
    void ExpectStopped(const std::wstring& status) {
        EXPECT_EQ(app.statusText, status);
        EXPECT_FALSE(app.transport);
        EXPECT_FALSE(app.crypto);
        EXPECT_FALSE(app.networkThread.joinable());
        EXPECT_FALSE(app.senderThread.joinable());
        EXPECT_FALSE(app.captureThread.joinable());
        EXPECT_EQ(app.bannerWindow, nullptr);
        EXPECT_FALSE(app.sessionActive || app.consentPending || app.consentGiven || app.hostReady);
        EXPECT_TRUE(app.requestId.empty());
        EXPECT_TRUE(app.sendQueue.empty());
        // Only this fixture's own sender records; a real one (after a request) sends instead.
        if (stoppedByMessage && recorded) {
            EXPECT_EQ(atStop.size(), queuedBefore)
                << "the message that ended the session queued nothing to go out";
        }
        stoppedByMessage = false;
    }

    static std::string Nonce(int n) {
        char text[33];
        snprintf(text, sizeof text, "%032x", n);
        return text;
    }
    static std::string RequestId(int n) {
        char text[33];
        snprintf(text, sizeof text, "%031xf", n);
        return text;
    }
    std::string Request(const std::string& nonce, const std::string& id) {
        return kl::BuildConnectRequest(
            kl::MakeAuthProof(app.connectionKey, app.connectionId, nonce), id);
    }

    std::uint64_t now = 5000000;
    std::vector<kl::OutgoingMessage> atStop;  // written by the stand-in sender as it ends
    std::size_t queuedBefore = 0;             // the queue's length before the last message
    std::atomic<bool> recorded{false};        // atStop was written since the last message
    bool stoppedByMessage = false;            // the last message ended the session
    Client app;
};

}  // namespace kltest
