#include <exception>

#include "app/client.hpp"
#include "session/branches.hpp"
#include "session/messages.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"
#include "base/utf8.hpp"

namespace {

void OnPeerDisconnected(Client& app, const nlohmann::json& message) {
    const std::string id = kl::ReadString(message, "requestId", "");
    if (!kl::IsRequestId(id) || id != app.requestId) return;
    if (app.viewerMode || app.sessionActive) {
        StopWithStatus(app, L"Karşı taraf ayrıldı. Yeni bağlantı için ID yenile.");
        return;
    }
    // The requester left before sharing began: drop the request, stay registered.
    app.consentPending = false;
    app.consentGiven = false;
    app.consentDeadline = 0;
    app.requestDeadline = 0;
    ForgetRequest(app);
    LayoutControls(app);
    SetStatus(app, L"İstek sona erdi. Yeni istek bekleniyor.");
}

void OnText(Client& app, const std::vector<std::uint8_t>& bytes) {
    kl::CheckTextSize(bytes.size());
    const nlohmann::json message = kl::ParseMessage(bytes);
    const std::string type = kl::ReadString(message, "type", "");
    if (type == "registered") {
        if (!app.viewerMode) OnRegistered(app, message);
    } else if (type == "connectRequest") {
        if (!app.viewerMode) OnConnectRequest(app, message);
    } else if (type == "connected") {
        if (app.sessionActive) Fail("duplicate");
        if (app.viewerMode)
            OnViewerConnected(app, message);
        else
            OnHostConnected(app, message);
    } else if (type == "peerDisconnected") {
        OnPeerDisconnected(app, message);
    } else if (type == "error") {
        // The relay's words, but never its layout: nothing that could pass for our own texts.
        const std::string text =
            kl::CleanRelayMessage(kl::ReadString(message, "message", "Bağlantı kurulamadı."));
        StopWithStatus(app, kl::Utf8ToWide(text.empty() ? "Bağlantı kurulamadı." : text));
    }
}

}  // namespace

void HandleNetEvent(Client& app, kl::NetEvent& event) {
    ExpectUiThread(app);
    if (event.kind == kl::NetEvent::Closed || event.kind == kl::NetEvent::Error) {
        // The event's own text is for developers; the user gets the one sentence.
        StopWithStatus(app, L"Bağlantı kapandı. Yeniden bağlanmak için yeni ID üret.");
        return;
    }
    try {
        if (event.kind == kl::NetEvent::Binary)
            OnBinaryMessage(app, event.bytes);
        else if (event.kind == kl::NetEvent::Text)
            OnText(app, event.bytes);
    } catch (const std::exception&) {
        StopWithStatus(app, L"Güvenlik doğrulaması başarısız. Bağlantı durduruldu.");
    }
}
