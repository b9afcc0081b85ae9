#include "app/client.hpp"

#include <cstdlib>

#include "crypto/secure_wipe.hpp"
#include "net/transport.hpp"
#include "screen/frame_decoder.hpp"
#include "session/session.hpp"

Client* g_app = nullptr;

void ExpectUiThread(const Client& app) noexcept {
#if defined(KL_CHECK_UI_THREAD) || !defined(NDEBUG)
    if (GetCurrentThreadId() != app.uiThreadId) {
        OutputDebugStringW(L"Kestrelink: a UI-only function ran on another thread\n");
        std::abort();
    }
#else
    (void)app;
#endif
}

Client::Client()
    : editBrush(CreateSolidBrush(RGB(0xF7, 0xF8, 0xF9))),
      seenRequests(8),
      relayUrl(kl::kDefaultRelayUrl) {
    seenRequests.max_load_factor(1.0f);
}

Client::~Client() {
    StopSession(*this);
    kl::SecureWipe(connectionKey);
}
