#include <windows.h>

#include <algorithm>
#include <utility>

#include "app/client.hpp"
#include "crypto/crypto_session.hpp"
#include "input/inject.hpp"
#include "screen/frame_decoder.hpp"
#include "screen/frame_stages.hpp"
#include "screen/jpeg_check.hpp"
#include "screen/remote_frame.hpp"
#include "session/branches.hpp"
#include "session/messages.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"

namespace {

void HandleInputEvent(const Client& app, const std::vector<std::uint8_t>& plaintext) {
    if (plaintext.size() > kl::kMaxInputEvent) Fail("input limit");
    const nlohmann::json event = kl::ParseMessage(plaintext);
    const std::string action = event.at("action").get<std::string>();
    const std::int32_t x = kl::ReadIntField(event, "x", 0, 65535);
    const std::int32_t y = kl::ReadIntField(event, "y", 0, 65535);
    const std::int32_t button = kl::ReadIntField(event, "button", 0, 3);
    const std::int32_t key = kl::ReadIntField(event, "key", -12000, 12000);
    if (action == "keydown" || action == "keyup") {
        if (key < 1 || key > 254) Fail("key");
    } else if (action == "down" || action == "up") {
        if (button < 1 || button > 3) Fail("button");
    } else if (action == "wheel") {
        if (key == 0) Fail("wheel");
    } else if (action != "move") {
        Fail("input action");
    }
    kl::InjectInput(action, x, y, button, key, app.inputSender);
}

// Replaces the remote picture, releasing the old one first.
void DecodeInto(Client& app, const std::vector<std::uint8_t>& jpeg, std::uint64_t sequence) {
    app.remoteFrame.reset();
    app.remoteScaled.clear();
    app.remoteScaledWidth = app.remoteScaledHeight = 0;
    app.remoteFrame = kl::DecodeJpegFrame(jpeg.data(), jpeg.size());
    if (!app.remoteFrame) Fail("invalid image");
    kl::MarkFrameStage(kl::FrameStage::Decoded, 0, sequence);
}

// A picture that keeps its place repaints only its own rectangle, in the pixels painting gives
// it: a pixel more would have the whole remote view drawn again around it.
void InvalidateFrame(Client& app, bool had, const kl::FrameRect& before,
                     const kl::FrameRect& after) {
    if (app.mainWindow == nullptr) return;
    if (had && before.left == after.left && before.top == after.top &&
        before.width == after.width && before.height == after.height) {
        const RECT r = kl::FramePixels(after);
        InvalidateRect(app.mainWindow, &r, FALSE);
    } else {
        InvalidateRect(app.mainWindow, nullptr, FALSE);
    }
}

}  // namespace

void OnBinaryMessage(Client& app, const std::vector<std::uint8_t>& envelope) {
    const bool approved =
        app.viewerMode || (app.consentGiven && app.sessionActive && !app.consentPending);
    if (!app.crypto || app.requestId.empty() || !approved) Fail("not approved");
    std::uint8_t kind = 0;
    std::vector<std::uint8_t> plaintext;
    if (!app.crypto->Decrypt(envelope, kind, plaintext)) Fail("authentication");

    if (!app.viewerMode) {
        if (!app.sessionActive || !app.consentGiven || kind != kl::InputEvent)
            Fail("wrong direction");
        HandleInputEvent(app, plaintext);
        kl::MarkFrameStage(kl::FrameStage::InputApplied, 0,
                           kl::EnvelopeSequence(envelope.data(), envelope.size()));
        return;
    }
    if (kind == kl::Ready && !app.sessionActive) {
        if (plaintext.size() != app.requestId.size() ||
            !std::equal(plaintext.begin(), plaintext.end(), app.requestId.begin()))
            Fail("binding");
        app.sessionActive = true;
        app.hostReady = true;
        app.requestDeadline = 0;
        SetStatus(app, L"Uçtan uca şifreli bağlantı aktif");
        LayoutControls(app);
    } else if (kind == kl::ScreenFrame && app.sessionActive) {
        const std::uint64_t sequence = kl::EnvelopeSequence(envelope.data(), envelope.size());
        kl::MarkFrameStage(kl::FrameStage::Opened, 0, sequence);
        if (!app.holdFrames) {
            const kl::FrameRect before = kl::FitRemoteFrame(app);
            const bool had = static_cast<bool>(app.remoteFrame);
            DecodeInto(app, plaintext, sequence);
            InvalidateFrame(app, had, before, kl::FitRemoteFrame(app));
            return;
        }
        // Every frame of a batch is checked in order; only the newest is kept for decoding.
        kl::JpegFrameInfo info;
        if (!kl::CheckJpegStructure(plaintext.data(), plaintext.size(), info)) {
            app.remoteFrame.reset();
            Fail("invalid image");
        }
        if (!app.heldFrame.jpeg.empty())
            kl::MarkFrameStage(kl::FrameStage::Superseded, 0, app.heldFrame.sequence);
        app.heldFrame = {std::move(plaintext), static_cast<unsigned>(info.width),
                         static_cast<unsigned>(info.height), sequence, app.sessionGeneration};
    } else {
        Fail("wrong direction");
    }
}

void RequestHeldFramePaint(Client& app) {  // UI thread only
    if (app.heldFrame.jpeg.empty()) return;
    if (app.mainWindow != nullptr && !app.frameDecoder) {
        try {
            app.frameDecoder =
                std::make_unique<kl::FrameDecoder>(app.mainWindow, kl::kFrameMessage);
        } catch (const std::exception&) {
            // Without its thread the picture is decoded here.
        }
    }
    if (!app.frameDecoder) {
        ShowHeldFrame(app);
        if (app.remoteFrame && app.mainWindow != nullptr)
            InvalidateRect(app.mainWindow, nullptr, FALSE);
        return;
    }
    // Scaled for the place it will have, so that painting it is a plain copy.
    const RECT place = kl::FramePixels(kl::FitFrame(app.clientWidth, app.clientHeight, app.scale,
                                                    app.heldFrame.width, app.heldFrame.height));
    app.frameDecoder->Submit(std::exchange(app.heldFrame, HeldFrame{}), place.right - place.left,
                             place.bottom - place.top);
}

void ShowDecodedFrame(Client& app) {
    ExpectUiThread(app);
    kl::DecodedFrame done;
    if (!app.frameDecoder || !app.frameDecoder->Take(done)) return;
    kl::MarkFrameStage(kl::FrameStage::Taken, 0, done.sequence);
    if (done.generation != app.sessionGeneration || !app.viewerMode || !app.sessionActive) return;
    if (!done.picture) {
        StopWithStatus(app, L"Güvenlik doğrulaması başarısız. Bağlantı durduruldu.");
        return;
    }
    const kl::FrameRect before = kl::FitRemoteFrame(app);
    const bool had = static_cast<bool>(app.remoteFrame);
    app.remoteFrame = std::move(done.picture);
    app.remoteScaled = std::move(done.scaled);
    app.remoteScaledWidth = done.scaledWidth;
    app.remoteScaledHeight = done.scaledHeight;
    InvalidateFrame(app, had, before, kl::FitRemoteFrame(app));
    // Copying finished pixels is quick: shown now rather than after whatever else is queued.
    if (app.mainWindow != nullptr) UpdateWindow(app.mainWindow);
}

void ShowHeldFrame(Client& app) {  // UI thread only
    if (app.heldFrame.jpeg.empty()) return;
    const HeldFrame held = std::exchange(app.heldFrame, HeldFrame{});
    if (held.generation != app.sessionGeneration || !app.viewerMode || !app.sessionActive) return;
    try {
        DecodeInto(app, held.jpeg, held.sequence);
    } catch (const std::exception&) {
        StopWithStatus(app, L"Güvenlik doğrulaması başarısız. Bağlantı durduruldu.");
    }
}
