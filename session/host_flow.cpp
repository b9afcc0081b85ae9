#include <windows.h>

#include <exception>

#include "app/client.hpp"
#include "crypto/credentials.hpp"
#include "crypto/crypto_session.hpp"
#include "crypto/secure_wipe.hpp"
#include "net/workers.hpp"
#include "screen/capture.hpp"
#include "session/branches.hpp"
#include "session/messages.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"

namespace {

constexpr std::uint64_t kConsentTimeoutMs = 35000;
constexpr std::uint64_t kConnectTimeoutMs = 15000;
constexpr std::size_t kMaxRequestsPerId = 256;

void ShowBanner(Client& app) {
    if (app.bannerWindow != nullptr) return;
    app.bannerWindow = CreateBanner();
    if (app.bannerWindow != nullptr) ShowWindow(app.bannerWindow, SW_SHOWNOACTIVATE);
}

}  // namespace

void ForgetRequest(Client& app) {
    app.crypto.reset();
    app.requestId.clear();
    app.requestNonce.clear();
}

std::uint64_t TickNow(const Client& app) {
    return app.tickSource ? app.tickSource() : GetTickCount64();
}

void RenewHostId(Client& app) {  // UI thread only
    StopSession(app);
    ForgetCopiedCredentials(app);  // the old key must not stay on the clipboard
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

void OnRegistered(Client& app, const nlohmann::json& message) {
    if (app.hostReady) Fail("invalid registration");
    if (kl::ReadNumber(message, "protocol", 0) != 2) Fail("invalid registration");
    app.hostReady = true;
    SetStatus(app, L"Bağlantıya hazır");
}

void OnConnectRequest(Client& app, const nlohmann::json& message) {
    const std::string id = kl::ReadString(message, "requestId", "");
    if (!kl::IsRequestId(id)) Fail("request");
    if (!app.hostReady) Fail("unregistered request");
    if (app.sessionActive || app.consentPending || app.consentGiven)
        return;  // one request at a time

    const std::string proof = kl::ReadString(message, "password", "");
    std::string nonce;
    const bool valid = kl::VerifyAuthProof(app.connectionKey, app.connectionId, proof, nonce);
    const bool full = app.seenRequests.size() >= kMaxRequestsPerId;
    if (valid && !full && app.seenRequests.count(nonce) == 0) {
        app.seenRequests.insert(nonce);
        app.requestId = id;
        app.requestNonce = nonce;
        app.crypto =
            std::make_shared<kl::CryptoSession>(app.connectionKey, app.connectionId, nonce, true);
        app.consentGiven = false;
        app.consentPending = true;
        app.consentShownTick = TickNow(app);
        app.consentPressId = 0;
        app.consentDeadline = app.consentShownTick + kConsentTimeoutMs;
        if (app.mainWindow != nullptr) {
            ShowWindow(app.mainWindow, SW_RESTORE);
            SetForegroundWindow(app.mainWindow);
        }
        LayoutControls(app);
        return;
    }
    if (!QueueText(app, kl::BuildConnectResponse(id, false))) Fail("reject send");
    if (!valid)
        SetStatus(app, L"Yanlış anahtarla gelen istek reddedildi.");
    else if (!full)
        SetStatus(app, L"Tekrarlanmış bağlantı isteği reddedildi.");
    else
        SetStatus(app, L"İstek sınırına ulaşıldı. Yeni ID üret.");
}

void AnswerConsent(Client& app, bool accepted) {  // UI thread only
    if (!app.consentPending) return;
    // The answer is queued before the request counts as answered: a failure here must not leave
    // the host "accepted" with no deadline running.
    bool queued = false;
    try {
        queued = app.transport && QueueText(app, kl::BuildConnectResponse(app.requestId, accepted));
    } catch (...) {
        queued = false;
    }
    app.consentPending = false;
    app.consentGiven = accepted && queued;
    app.consentDeadline = 0;
    if (!queued) {
        StopSession(app);
        SetStatus(app, L"İstek sona erdi. Yeni ID üret.");
    } else if (accepted) {
        app.requestDeadline = TickNow(app) + kConnectTimeoutMs;
        SetStatus(app, L"Onaylandı. Şifreli oturum kuruluyor…");
    } else {
        ForgetRequest(app);
        app.requestDeadline = 0;
        SetStatus(app, L"İstek reddedildi. Yeni istek bekleniyor.");
    }
    if (app.mainWindow != nullptr) InvalidateRect(app.mainWindow, nullptr, FALSE);
    LayoutControls(app);
}

void OnHostConnected(Client& app, const nlohmann::json& message) {
    if (!app.consentGiven || app.consentPending ||
        kl::ReadString(message, "requestId", "") != app.requestId)
        Fail("no local consent");
    app.sessionActive = true;
    app.hostReady = true;
    app.requestDeadline = 0;
    ShowBanner(app);
    SetStatus(app, app.hotkeyRegistered ? L"Ekran paylaşımı açık · Ctrl+Alt+Shift+F12 ile kes"
                                        : L"Ekran paylaşımı açık");
    const std::vector<std::uint8_t> ready(app.requestId.begin(), app.requestId.end());
    if (!QueueEncrypted(app, kl::Ready, ready)) Fail("ready");
    kl::StartCapture(app);
    LayoutControls(app);
}

void CheckTimers(Client& app) {  // UI thread only
    const std::uint64_t now = TickNow(app);
    if (app.consentPending && now > app.consentDeadline) AnswerConsent(app, false);
    if (app.requestDeadline != 0 && now > app.requestDeadline)
        StopWithStatus(app, L"Bağlantı onayı zaman aşımına uğradı. Yeni ID üret.");
}
