#pragma once
// Records that cross between the workers and the user-interface thread.
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

namespace kl {

class CryptoSession;

struct NetEvent {
    enum Kind : int { Text = 0, Binary = 1, Closed = 2, Error = 3 };
    int kind = Text;
    std::vector<std::uint8_t> bytes;
    std::string text;
};

struct OutgoingMessage {
    int kind = 0;  // 0 plain JSON text, 1..255 encrypted message of that inner kind
    std::vector<std::uint8_t> bytes;
    std::string text;
    std::shared_ptr<CryptoSession> crypto;
};

}  // namespace kl
