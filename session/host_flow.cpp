#include <exception>

#include "app/client.hpp"
#include "crypto/credentials.hpp"
#include "crypto/secure_wipe.hpp"
#include "session/messages.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"

void RenewHostId(Client& app) {  // UI thread only
    StopSession(app);
    app.viewerMode = false;
    app.remoteFrame.reset();
    app.page = 0;
    app.keyVisible = false;
    kl::SecureWipe(app.connectionKey);
    app.connectionKey.clear();
    app.connectionId.clear();
    app.seenRequests.clear();
    try {
        app.connectionId = kl::GenerateConnectionId();
        app.connectionKey = kl::GenerateConnectionKey();
        if (app.previewMode) {
            SetStatus(app, L"Tasarım önizlemesi · bağlantı kapalı");
            LayoutControls(app);
            return;
        }
        app.Open(false, kl::BuildHostRegistration(app.connectionId));
        LayoutControls(app);
    } catch (const std::exception&) {
        SetStatus(app, L"Güvenli anahtar üretilemedi. Uygulamayı yeniden aç.");
        LayoutControls(app);
    }
}

void AnswerConsent(Client& app, bool accepted) {  // UI thread only
    if (!app.consentPending) return;
    app.consentPending = false;
    app.consentDeadline = 0;
    app.consentGiven = accepted;
    LayoutControls(app);
}
