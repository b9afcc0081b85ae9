#include "app/client.hpp"

#include <gdiplus.h>

#include "crypto/secure_wipe.hpp"
#include "screen/frame_decoder.hpp"
#include "session/session.hpp"

Client* g_app = nullptr;

void GdiplusImageDeleter::operator()(void* image) const noexcept {
    if (image != nullptr)
        Gdiplus::DllExports::GdipDisposeImage(static_cast<Gdiplus::GpImage*>(image));
}

Client::Client() : editBrush(CreateSolidBrush(RGB(0xF7, 0xF8, 0xF9))), seenRequests(8) {
    seenRequests.max_load_factor(1.0f);
}

Client::~Client() {
    StopSession(*this);
    kl::SecureWipe(connectionKey);
    if (editFont != nullptr) DeleteObject(editFont);
    if (editBrush != nullptr) DeleteObject(editBrush);
}
