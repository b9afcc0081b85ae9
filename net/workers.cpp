#include "net/workers.hpp"

#include <chrono>
#include <exception>
#include <memory>
#include <thread>

#include "app/client.hpp"
#include "crypto/crypto_session.hpp"
#include "net/transport.hpp"
#include "screen/frame_stages.hpp"
#include "session/messages.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"
#include "base/thread_guard.hpp"

namespace {

std::size_t SizeOf(const kl::OutgoingMessage& m) {
    return m.bytes.size() + m.text.size();
}
std::size_t SizeOf(const kl::NetEvent& e) {
    return e.bytes.size() + e.text.size();
}

double NowMs() {
    return std::chrono::duration<double, std::milli>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

kl::NetEvent ErrorEvent(std::string text) {
    return {kl::NetEvent::Error, {}, std::move(text)};
}

struct NetworkWorkerArgs {
    Client* app;
    std::shared_ptr<kl::Transport> transport;
    std::uint32_t generation;
    std::string firstMessage;
    std::shared_ptr<std::atomic<bool>> cancel;
    std::wstring relayUrl;
};

struct SenderWorkerArgs {
    Client* app;
    std::shared_ptr<kl::Transport> transport;
    std::uint32_t generation;
};

// Posting never throws, but building the event's text may: without a text the session still
// ends, through the overflow mark that PostEvent sets when it cannot store an event.
void PostError(Client& app, std::uint32_t generation, const char* text) noexcept {
    kl::NetEvent event;
    event.kind = kl::NetEvent::Error;
    try {
        event.text = text;
    } catch (...) {
    }
    PostEvent(app, generation, std::move(event));
}

void NetworkWorker(NetworkWorkerArgs args) noexcept {
    Client* app = args.app;
    const std::uint32_t generation = args.generation;
    kl::GuardThreadBody(
        [&] {
            if (*args.cancel) return;
            auto onEvent = [app, generation](kl::NetEvent event) {
                PostEvent(*app, generation, std::move(event));
            };
            std::string error;
            if (!args.transport->Open(args.relayUrl, std::move(onEvent), error)) {
                PostEvent(*app, generation, ErrorEvent(error));
                return;
            }
            if (*args.cancel) {
                args.transport->Close();
                return;
            }
            if (!args.transport->SendText(args.firstMessage))
                PostError(*app, generation, "Registration failed");
        },
        [&](const char* what) {
            PostError(*app, generation, what != nullptr ? what : "Registration failed");
        });
}

void SenderWorker(SenderWorkerArgs args) noexcept {
    Client& app = *args.app;
    for (;;) {
        bool sent = false;
        try {
            kl::OutgoingMessage message;
            {
                std::unique_lock<std::mutex> lock(app.sendMutex);
                app.sendReady.wait(lock,
                                   [&] { return !app.networkRunning || !app.sendQueue.empty(); });
                if (!app.networkRunning) return;
                message = std::move(app.sendQueue.front());
                app.sendQueue.pop_front();
                app.sendQueueBytes -= SizeOf(message);
            }
            if (message.kind == 0) {
                sent = args.transport->SendText(message.text);
            } else if (message.crypto) {
                const auto key = reinterpret_cast<std::uintptr_t>(message.bytes.data());
                if (message.kind == kl::ScreenFrame)
                    kl::MarkFrameStage(kl::FrameStage::Dequeued, key);
                auto envelope = message.crypto->Encrypt(message.kind, message.bytes);
                const std::uint64_t sequence =
                    kl::EnvelopeSequence(envelope.data(), envelope.size());
                if (message.kind == kl::ScreenFrame)
                    kl::MarkFrameStage(kl::FrameStage::Sealed, key, sequence);
                const bool frame = message.kind == kl::ScreenFrame;
                if (frame) {
                    // How long a frame takes to leave is what the capture worker sizes by.
                    std::lock_guard<std::mutex> lock(app.sendMutex);
                    app.linkMeter.SendStarted(NowMs(), envelope.size());
                }
                sent = args.transport->SendBinary(std::move(envelope));
                if (frame) {
                    std::lock_guard<std::mutex> lock(app.sendMutex);
                    app.linkMeter.SendEnded(NowMs());
                }
                if (frame) kl::MarkFrameStage(kl::FrameStage::Sent, key, sequence);
                if (message.kind == kl::InputEvent)
                    kl::MarkFrameStage(kl::FrameStage::InputSent, key, sequence);
            }
        } catch (...) {
            sent = false;
        }
        if (!sent) {
            app.networkRunning = false;
            PostError(app, args.generation, "Network send failed");
            return;
        }
    }
}

}  // namespace

void Client::Open(bool viewer, const std::string& registration) {
    ExpectUiThread(*this);
    viewerMode = viewer;
    const std::uint32_t generation = sessionGeneration;
    try {
        transport = std::make_shared<kl::Transport>();
        cancelFlag = std::make_shared<std::atomic<bool>>(false);
        {
            std::lock_guard<std::mutex> lock(sendMutex);
            linkMeter = kl::LinkMeter{};  // each connection's path is measured afresh
        }
        networkRunning = true;
        senderThread = std::thread(SenderWorker, SenderWorkerArgs{this, transport, generation});
        SetStatus(*this,
                  viewer ? L"Bağlantı isteği gönderiliyor…" : L"Güvenli bağlantı kuruluyor…");
        networkThread = std::thread(
            NetworkWorker,
            NetworkWorkerArgs{this, transport, generation, registration, cancelFlag, relayUrl});
    } catch (...) {
        // A session that could not start leaves no worker and no connection behind; the caller
        // reports the failure.
        {
            std::lock_guard<std::mutex> lock(sendMutex);
            networkRunning = false;
        }
        sendReady.notify_all();
        if (senderThread.joinable()) senderThread.join();
        transport.reset();
        throw;
    }
}

void PostEvent(Client& app, std::uint32_t generation, kl::NetEvent event) noexcept {
    if (generation != app.activeGeneration) return;
    try {
        std::lock_guard<std::mutex> lock(app.eventMutex);
        if (generation != app.activeGeneration) return;
        const std::size_t size = SizeOf(event);
        const bool accepted =
            event.bytes.size() <= kMaxEventBytes && event.text.size() <= kMaxEventText &&
            (event.kind != kl::NetEvent::Text || event.bytes.size() <= kMaxEventText) &&
            app.eventQueue.size() < kMaxQueuedEvents &&
            app.eventQueueBytes + size <= kMaxQueuedEventBytes;
        if (accepted) {
            try {
                if (event.kind == kl::NetEvent::Binary)
                    kl::MarkFrameStage(
                        kl::FrameStage::Received, 0,
                        kl::EnvelopeSequence(event.bytes.data(), event.bytes.size()));
                app.eventQueue.push_back({generation, std::move(event)});
                app.eventQueueBytes += size;
            } catch (...) {
                app.eventOverflow =
                    true;  // the event is lost; the session must not go on without it
            }
        } else {
            app.eventOverflow = true;
        }
        // A wake-up that could not be posted is not outstanding: the next event tries again.
        if (!app.eventPosted)
            app.eventPosted = PostMessageW(app.mainWindow, kDrainMessage, 0, 0) != FALSE;
    } catch (...) {
        app.eventOverflow = true;  // the lock itself failed
    }
}

bool QueueOutgoing(Client& app, kl::OutgoingMessage message) {
    const std::size_t size = SizeOf(message);
    if (size > kMaxOutgoingMessage) return false;
    if (message.kind == kl::ScreenFrame)
        kl::MarkFrameStage(kl::FrameStage::Queued,
                           reinterpret_cast<std::uintptr_t>(message.bytes.data()));
    else if (message.kind == kl::InputEvent)
        kl::MarkFrameStage(kl::FrameStage::InputQueued,
                           reinterpret_cast<std::uintptr_t>(message.bytes.data()));
    {
        std::lock_guard<std::mutex> lock(app.sendMutex);
        if (!app.networkRunning) return false;
        if (message.kind == kl::ScreenFrame && !app.sendQueue.empty() &&
            app.sendQueue.back().kind == kl::ScreenFrame) {
            // Only the newest screen image waits: it replaces an unsent one at the tail.
            kl::OutgoingMessage& last = app.sendQueue.back();
            const std::size_t total = app.sendQueueBytes - last.bytes.size() + size;
            if (total > kMaxQueuedMessageBytes) return false;
            app.sendQueueBytes = total;
            last = std::move(message);
            app.linkMeter.FrameReplaced(NowMs());
        } else {
            if (app.sendQueue.size() >= kMaxQueuedMessages ||
                app.sendQueueBytes + size > kMaxQueuedMessageBytes)
                return false;
            app.sendQueue.push_back(std::move(message));
            app.sendQueueBytes += size;
        }
    }
    app.sendReady.notify_one();
    return true;
}

bool QueueText(Client& app, std::string text) {
    kl::OutgoingMessage message;
    message.kind = 0;
    message.text = std::move(text);
    return QueueOutgoing(app, std::move(message));
}

bool QueueText(Client& app, const nlohmann::json& message) {
    return QueueText(app, message.dump());
}

bool QueueEncrypted(Client& app, std::uint8_t kind, const std::vector<std::uint8_t>& plaintext) {
    if (kind == 0 || !app.crypto || !app.transport || plaintext.size() > kl::kMaxPlaintextSize)
        return false;
    kl::OutgoingMessage message;
    message.kind = kind;
    message.bytes = plaintext;
    message.crypto = app.crypto;
    return QueueOutgoing(app, std::move(message));
}

void DrainEvents(Client& app, const EventHandler& handler) {
    ExpectUiThread(app);
    if (app.eventOverflow.exchange(false)) {
        StopWithStatus(app, L"Veri sınırı aşıldı. Oturum durduruldu.");
        return;
    }
    std::deque<QueuedEvent> batch;
    {
        std::lock_guard<std::mutex> lock(app.eventMutex);
        batch.swap(app.eventQueue);
        app.eventQueueBytes = 0;
        app.eventPosted = false;
    }
    // A viewer slower than the stream shows the newest picture, not each in turn.
    struct HoldFrames {
        Client& app;
        explicit HoldFrames(Client& a) : app(a) { app.holdFrames = true; }
        ~HoldFrames() { app.holdFrames = false; }
    };
    {
        HoldFrames hold(app);
        for (QueuedEvent& entry : batch) {
            if (entry.generation != app.sessionGeneration) continue;
            if (entry.event.kind == kl::NetEvent::Binary)
                kl::MarkFrameStage(
                    kl::FrameStage::Drained, 0,
                    kl::EnvelopeSequence(entry.event.bytes.data(), entry.event.bytes.size()));
            handler(app, entry.event);
        }
    }
    RequestHeldFramePaint(app);
}

void DrainEvents(Client& app) {
    DrainEvents(app, HandleNetEvent);
}

void DrainIfStalled(Client& app) {  // UI thread only
    bool stalled;
    {
        std::lock_guard<std::mutex> lock(app.eventMutex);
        stalled = !app.eventPosted && (!app.eventQueue.empty() || app.eventOverflow);
    }
    if (stalled) DrainEvents(app);
}
