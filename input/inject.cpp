#include "input/inject.hpp"

#include <bitset>
#include <mutex>

namespace kl {
namespace {

UINT SystemSendInput(UINT count, INPUT* inputs, int size) {
    return SendInput(count, inputs, size);
}

struct HeldInput {
    std::mutex mutex;
    std::bitset<256> keys;
    bool buttons[3] = {false, false, false};  // left, right, middle
    InputSender send = SystemSendInput;       // the caller's, set under the lock
};

HeldInput& Held() {
    static HeldInput held;
    return held;
}

bool IsExtendedKey(int key) {
    switch (key) {
        case 33:
        case 34:
        case 35:
        case 36:
        case 37:
        case 38:
        case 39:
        case 40:
        case 44:
        case 45:
        case 46:
        case 91:
        case 92:
        case 93:
        case 111:
        case 144:
        case 163:
        case 165:
            return true;
        default:
            return false;
    }
}

bool SendOne(HeldInput& held, INPUT& input) {
    return held.send(1, &input, sizeof(INPUT)) == 1;
}

bool SendKey(HeldInput& held, int key, bool release) {
    INPUT input{};
    input.type = INPUT_KEYBOARD;
    input.ki.wVk = static_cast<WORD>(key);
    input.ki.dwFlags =
        (release ? KEYEVENTF_KEYUP : 0) | (IsExtendedKey(key) ? KEYEVENTF_EXTENDEDKEY : 0);
    input.ki.dwExtraInfo = kInjectedMarker;
    return SendOne(held, input);
}

constexpr DWORD kPressFlags[3] = {MOUSEEVENTF_LEFTDOWN, MOUSEEVENTF_RIGHTDOWN,
                                  MOUSEEVENTF_MIDDLEDOWN};
constexpr DWORD kReleaseFlags[3] = {MOUSEEVENTF_LEFTUP, MOUSEEVENTF_RIGHTUP, MOUSEEVENTF_MIDDLEUP};

bool SendMouse(HeldInput& held, DWORD flags, LONG dx, LONG dy, DWORD data) {
    INPUT input{};
    input.type = INPUT_MOUSE;
    input.mi.dx = dx;
    input.mi.dy = dy;
    input.mi.mouseData = data;
    input.mi.dwFlags = flags;
    input.mi.dwExtraInfo = kInjectedMarker;
    return SendOne(held, input);
}

}  // namespace

void InjectInput(const std::string& action, std::int32_t x, std::int32_t y, std::int32_t button,
                 std::int32_t key, InputSender send) {
    HeldInput& held = Held();
    std::lock_guard<std::mutex> lock(held.mutex);
    held.send = send != nullptr ? send : SystemSendInput;
    if (action == "keydown" || action == "keyup") {
        if (key < 1 || key > 254) return;
        const bool release = action == "keyup";
        if (release && !held.keys[key]) return;  // never let go of a key the local user holds
        if (SendKey(held, key, release)) held.keys[key] = !release;
        return;
    }
    const bool mouse = action == "move" || action == "wheel" || action == "down" || action == "up";
    if (!mouse || x < 0 || y < 0 || x > 65535 || y > 65535) return;
    const DWORD base = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    if (action == "move") {
        SendMouse(held, base, x, y, 0);
    } else if (action == "wheel") {
        if (key == 0 || key < -12000 || key > 12000) return;
        SendMouse(held, base | MOUSEEVENTF_WHEEL, x, y, static_cast<DWORD>(key));
    } else {
        if (button < 1 || button > 3) return;
        const int index = button - 1;
        const bool release = action == "up";
        if (release && !held.buttons[index]) return;
        const DWORD flag = release ? kReleaseFlags[index] : kPressFlags[index];
        if (SendMouse(held, base | flag, x, y, 0)) held.buttons[index] = !release;
    }
}

void ReleaseHeldInput(InputSender send) {
    HeldInput& held = Held();
    std::lock_guard<std::mutex> lock(held.mutex);
    held.send = send != nullptr ? send : SystemSendInput;
    for (int key = 1; key <= 254; ++key)
        if (held.keys[key] && SendKey(held, key, true)) held.keys[key] = false;
    for (int index = 0; index < 3; ++index)
        if (held.buttons[index] && SendMouse(held, kReleaseFlags[index], 0, 0, 0))
            held.buttons[index] = false;
}

}  // namespace kl
