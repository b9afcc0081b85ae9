#include <windows.h>

#include <algorithm>

#include "app/client.hpp"
#include "crypto/crypto_session.hpp"
#include "input/inject.hpp"
#include "screen/remote_frame.hpp"
#include "session/branches.hpp"
#include "session/messages.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"

namespace {

void HandleInputEvent(const std::vector<std::uint8_t>& plaintext) {
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
    kl::InjectInput(action, x, y, button, key);
}

}  // namespace

void OnBinaryMessage(Client& app, const std::vector<std::uint8_t>& envelope) {
    const bool approved = app.viewerMode || (app.consentGiven && app.sessionActive && !app.consentPending);
    if (!app.crypto || app.requestId.empty() || !approved) Fail("not approved");
    std::uint8_t kind = 0;
    std::vector<std::uint8_t> plaintext;
    if (!app.crypto->Decrypt(envelope, kind, plaintext)) Fail("authentication");

    if (!app.viewerMode) {
        if (!app.sessionActive || !app.consentGiven || kind != kl::InputEvent) Fail("wrong direction");
        HandleInputEvent(plaintext);
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
        app.remoteFrame.reset();
        app.remoteFrame = kl::DecodeJpegFrame(plaintext.data(), plaintext.size());
        if (!app.remoteFrame) Fail("invalid image");
        if (app.mainWindow != nullptr) InvalidateRect(app.mainWindow, nullptr, FALSE);
    } else {
        Fail("wrong direction");
    }
}
