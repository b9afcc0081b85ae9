#pragma once
// Host side: one checked input event from the viewer becomes one synthetic mouse or keyboard
// event. The keys and buttons pressed for the viewer are remembered, so releases of anything
// it never pressed are dropped and everything can be let go when the session ends.
#include <windows.h>

#include <cstdint>
#include <string>

namespace kl {

inline constexpr ULONG_PTR kInjectedMarker = 0x4B4C5445;

// The system call that sends synthetic input (SendInput); a test hands in a recorder through
// `Client::inputSender`, nullptr means the system's.
using InputSender = UINT (*)(UINT count, INPUT* inputs, int size);

// Injects one event or silently does nothing.
void InjectInput(const std::string& action, std::int32_t x, std::int32_t y, std::int32_t button,
                 std::int32_t key, InputSender send = nullptr);
// Releases every held key and button.
void ReleaseHeldInput(InputSender send = nullptr);

}  // namespace kl
