#pragma once
// The relay's network side: WebSocket (plain on loopback, TLS elsewhere) on /ws, the
// metrics endpoint, and the shutdown on SIGTERM/SIGINT. Everything runs on one thread.
#include "relay/core/options.hpp"

namespace kl::relay {

// Returns the process exit code: 0 after a signal-driven shutdown, 2 when it cannot start.
int RunRelay(const Options& options);

}  // namespace kl::relay
