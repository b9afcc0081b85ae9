#pragma once
// The message sizes every side agrees on: the program, the relay and the peer refuse or close
// above them, so one change here changes them everywhere.
#include <cstddef>

namespace kl {

// Largest binary message (an envelope, and so a screen frame) on the wire: 8 MiB.
inline constexpr std::size_t kMaxMessageBytes = 8u * 1024 * 1024;
// Largest text (signalling) message: 16 KiB.
inline constexpr std::size_t kMaxTextBytes = 16u * 1024;

}  // namespace kl
