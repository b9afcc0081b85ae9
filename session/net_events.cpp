#include <exception>

#include "app/client.hpp"
#include "session/messages.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"

void HandleNetEvent(Client& app, kl::NetEvent& event) {  // UI thread only
    if (event.kind == kl::NetEvent::Closed || event.kind == kl::NetEvent::Error) {
        // The event's own text is for developers; the user gets the one sentence.
        StopWithStatus(app, L"Bağlantı kapandı. Yeniden bağlanmak için yeni ID üret.", true);
        return;
    }
    if (event.kind != kl::NetEvent::Text) return;
    try {
        kl::CheckTextSize(event.bytes.size());
        const nlohmann::json message = kl::ParseMessage(event.bytes);
        const std::string type = kl::ReadString(message, "type", "");
        if (type == "error") {
            const std::string text = kl::ReadString(message, "message", "");
            StopWithStatus(app, text.empty() ? L"Bağlantı kurulamadı." : Utf8ToWide(text), true);
        }
    } catch (const std::exception&) {
        StopWithStatus(app, L"Güvenlik doğrulaması başarısız. Bağlantı durduruldu.", true);
    }
}
