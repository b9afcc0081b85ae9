#include "input/forward.hpp"

#include <algorithm>

#include "app/client.hpp"
#include "net/workers.hpp"
#include "screen/remote_frame.hpp"
#include "session/messages.hpp"

void SendInputMessage(Client& app, const std::string& action, std::int32_t x, std::int32_t y,
                      std::int32_t button, std::int32_t key) {
    if (!app.sessionActive || !app.viewerMode) return;
    const std::string text = kl::BuildInputEvent(action, x, y, button, key);
    if (!QueueEncrypted(app, kl::InputEvent, std::vector<std::uint8_t>(text.begin(), text.end()))) {
        kl::NetEvent error;
        error.kind = kl::NetEvent::Error;
        error.text = "Input send failed";
        PostEvent(app, app.sessionGeneration, std::move(error));
    }
}

void SendMouseMessage(Client& app, const std::string& action, int clientX, int clientY,
                      std::int32_t button, std::int32_t key) {
    if (!app.remoteFrame) return;
    const kl::FrameRect r = kl::FitRemoteFrame(app);
    const float x = static_cast<float>(clientX), y = static_cast<float>(clientY);
    const bool inside = x >= r.left && x < r.left + r.width && y >= r.top && y < r.top + r.height;
    if (!inside && action != "up") return;
    auto map = [](float offset, float extent) {
        const float v = offset / std::max(extent, 1.0f) * 65535.0f;
        return static_cast<std::int32_t>(std::clamp(v, 0.0f, 65535.0f));
    };
    SendInputMessage(app, action, map(x - r.left, r.width), map(y - r.top, r.height), button, key);
}
