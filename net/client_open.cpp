#include <string>

#include "app/client.hpp"
#include "ui/ui.hpp"

// Records the role and shows the connecting status; the relay connection and its workers
// are started here once the transport exists.
void Client::Open(bool viewer, const std::string& registration) {
    (void)registration;
    viewerMode = viewer;
    statusText = viewer ? L"Bağlantı isteği gönderiliyor…" : L"Güvenli bağlantı kuruluyor…";
    if (mainWindow != nullptr) InvalidateRect(mainWindow, nullptr, FALSE);
}
