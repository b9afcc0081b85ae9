// Keyboard reach of the drawn buttons: F6 between the edits and the buttons, the arrows between
// buttons, Space or Enter to press one, Escape back to the edits; and the consent prompt's
// answer from the keyboard, under the same rule as a click.
#include <windows.h>

#include <algorithm>
#include <vector>

#include "app/client.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"

namespace {

bool Viewing(const Client& app) {
    return app.viewerMode && app.sessionActive;
}

bool EditsShown(const Client& app) {
    return app.idEdit != nullptr && IsWindowVisible(app.idEdit);
}

// The buttons the keyboard walks, in order: the consent panel's two, or every drawn region.
std::vector<unsigned> FocusOrder(const Client& app) {
    if (app.consentPending) return {kCmdRefuse, kCmdAllow};
    std::vector<unsigned> ids;
    for (const ClickRegion& r : app.buttons) ids.push_back(r.id);
    return ids;
}

bool Drawn(const Client& app, unsigned id) {
    const std::vector<unsigned> ids = FocusOrder(app);
    return std::find(ids.begin(), ids.end(), id) != ids.end();
}

// The button after (step 1) or before (step -1) the focused one, wrapping around.
unsigned Neighbour(const Client& app, int step) {
    const std::vector<unsigned> ids = FocusOrder(app);
    if (ids.empty()) return 0;
    const auto at = std::find(ids.begin(), ids.end(), app.focusId);
    if (at == ids.end()) return ids.front();
    const int n = static_cast<int>(ids.size());
    return ids[static_cast<std::size_t>((static_cast<int>(at - ids.begin()) + step + n) % n)];
}

void LeaveButtons(Client& app) {
    app.focusId = 0;
    if (EditsShown(app)) SetFocus(app.idEdit);
    InvalidateRect(app.mainWindow, nullptr, FALSE);
}

// Whether a key message was the first press of its key (not the keyboard's auto-repeat).
bool FirstPress(LPARAM lParam) {
    return (lParam & (1L << 30)) == 0;
}

}  // namespace

void FocusButton(Client& app, unsigned id) {  // UI thread only
    ExpectUiThread(app);
    app.focusRingShown = true;
    if (GetFocus() != app.mainWindow) SetFocus(app.mainWindow);
    if (app.focusId != id) app.consentPressId = 0;  // an armed key answers only where it was
    app.focusId = id;
    InvalidateRect(app.mainWindow, nullptr, FALSE);
    AnnounceFocus(app);
}

void KeepFocusOnADrawnButton(Client& app) {  // UI thread only
    if (Viewing(app)) {
        app.focusId = 0;
    } else if (app.consentPending) {
        // The prompt starts on "Reddet": a stray Enter refuses, never shares.
        if (app.focusId != kCmdRefuse && app.focusId != kCmdAllow) app.focusId = kCmdRefuse;
    } else if (app.focusId == kCmdRefuse || app.focusId == kCmdAllow) {
        app.focusId = 0;
    }
}

bool PreTranslateNavigation(Client& app, const MSG& msg) {  // UI thread only
    if (Viewing(app)) return false;  // every key belongs to the remote computer
    if (msg.message == WM_KEYDOWN && msg.wParam == VK_TAB && app.consentPending) {
        FocusButton(app, Neighbour(app, GetKeyState(VK_SHIFT) < 0 ? -1 : 1));
        return true;
    }
    if ((msg.message != WM_KEYDOWN && msg.message != WM_SYSKEYDOWN) || msg.wParam != VK_F6)
        return false;
    if (app.consentPending) {
        FocusButton(app, app.focusId);
    } else if (app.focusId != 0 && GetFocus() == app.mainWindow) {
        if (EditsShown(app)) LeaveButtons(app);
    } else if (!app.buttons.empty()) {
        FocusButton(app, app.buttons.front().id);
    }
    return true;
}

bool HandleNavigationKey(Client& app, UINT message, WPARAM key, LPARAM lParam) {
    ExpectUiThread(app);
    const bool down = message == WM_KEYDOWN;
    const bool press = key == VK_SPACE || key == VK_RETURN;
    if (app.consentPending && press) {
        // The same rule as a click: a first press from the user's own keyboard after the
        // prompt's first half second arms the focused button, and its release presses it.
        const unsigned focused = app.focusId == kCmdAllow ? kCmdAllow : kCmdRefuse;
        if (down) {
            app.consentPressId = 0;
            app.consentPressKey = 0;
            if (FirstPress(lParam) && FromUsersHands(app, true, static_cast<int>(key), true) &&
                TickNow(app) - app.consentShownTick >= kConsentArmingMs) {
                app.consentPressId = focused;
                app.consentPressKey = static_cast<std::uint32_t>(key);
            }
        } else if (app.consentPressKey == key) {
            const bool counts = app.consentPressId == focused &&
                                FromUsersHands(app, true, static_cast<int>(key), false);
            app.consentPressId = 0;
            app.consentPressKey = 0;
            if (counts) RouteCommand(app, focused);
        }
        return true;
    }
    if (!down) return false;
    switch (key) {
        case VK_LEFT:
        case VK_UP:
        case VK_RIGHT:
        case VK_DOWN:
            if (!app.consentPending && (app.focusId == 0 || GetFocus() != app.mainWindow))
                return false;
            FocusButton(app, Neighbour(app, key == VK_LEFT || key == VK_UP ? -1 : 1));
            return true;
        case VK_SPACE:
        case VK_RETURN:
            if (app.focusId == 0 || !Drawn(app, app.focusId) || !FirstPress(lParam)) return false;
            app.focusRingShown = true;
            RouteCommand(app, app.focusId);
            return true;
        case VK_ESCAPE:
            if (app.consentPending || app.focusId == 0) return false;
            LeaveButtons(app);
            return true;
        default:
            return false;
    }
}
