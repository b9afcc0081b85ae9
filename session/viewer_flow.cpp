#include <windows.h>

#include <exception>

#include "app/client.hpp"
#include "crypto/credentials.hpp"
#include "crypto/crypto_session.hpp"
#include "crypto/secure_wipe.hpp"
#include "session/branches.hpp"
#include "session/messages.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"
#include "base/utf8.hpp"

namespace {

constexpr std::uint64_t kRequestTimeoutMs = 50000;

std::wstring ReadEditText(HWND edit) {
    const int length = GetWindowTextLengthW(edit);
    if (length <= 0) return {};
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const int copied = GetWindowTextW(edit, text.data(), length + 1);
    text.resize(static_cast<std::size_t>(copied > 0 ? copied : 0));
    return text;
}

}  // namespace

void SendConnectRequest(Client& app) {  // UI thread only
    const std::string peerId = kl::NormalizeConnectionId(ReadEditText(app.idEdit));
    std::wstring typedKey = ReadEditText(app.keyEdit);
    std::string utf8Key = kl::WideToUtf8(typedKey);
    kl::SecureWipe(typedKey);
    std::string key = kl::NormalizeConnectionKey(utf8Key);
    kl::SecureWipe(utf8Key);
    if (peerId.size() != 9 || !kl::IsValidConnectionKey(key)) {
        kl::SecureWipe(key);
        SetStatus(app, L"9 haneli ID ve 26 karakterlik bağlantı anahtarı gerekiyor.");
        return;
    }
    if (peerId == app.connectionId) {
        kl::SecureWipe(key);
        SetStatus(app, L"Bağlanmak istediğin diğer bilgisayarın ID’sini gir.");
        return;
    }
    StopSession(app);
    app.viewerMode = true;
    app.remoteFrame.reset();
    try {
        app.requestNonce = kl::RandomHex(16);
        app.crypto = std::make_shared<kl::CryptoSession>(key, peerId, app.requestNonce, false);
        const std::string proof = kl::MakeAuthProof(key, peerId, app.requestNonce);
        app.Open(true, kl::BuildViewerRegistration(peerId, proof));
        kl::SecureWipe(key);
        if (app.keyEdit != nullptr) SetWindowTextW(app.keyEdit, L"");
        app.requestDeadline = TickNow(app) + kRequestTimeoutMs;
        LayoutControls(app);
    } catch (const std::exception&) {
        kl::SecureWipe(key);
        StopSession(app);
        SetStatus(app, L"Şifreli bağlantı hazırlanamadı.");
        LayoutControls(app);
    }
}

void OnViewerConnected(Client& app, const nlohmann::json& message) {
    if (!app.requestId.empty() || app.requestDeadline == 0) Fail("duplicate connection");
    app.requestId = kl::ReadString(message, "requestId", "");
    if (!kl::IsRequestId(app.requestId) || !app.crypto) Fail("unauthenticated");
    SetStatus(app, L"Karşı cihazın şifreleme anahtarı doğrulanıyor…");
    LayoutControls(app);
}
