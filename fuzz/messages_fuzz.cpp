// Relay text and decrypted input events through the parser and every reader: only the
// documented exceptions may come out, and nothing may crash. Any bytes as a relay's error
// text: what the status line would show is clean, short, and stays the same when cleaned again.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string_view>

#include "session/messages.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    const std::string shown = kl::CleanRelayMessage(text);
    std::size_t characters = 0;
    for (unsigned char c : shown) {
        if (c < 0x20 || c == 0x7F) std::abort();
        if ((c & 0xC0) != 0x80) ++characters;
    }
    if (characters > kl::kMaxRelayMessageChars || kl::CleanRelayMessage(shown) != shown)
        std::abort();
    try {
        kl::CheckTextSize(text.size());
        nlohmann::json message = kl::ParseMessage(text);
        const std::string type = kl::ReadString(message, "type", "");
        kl::ReadNumber(message, "protocol", 0);
        const std::string id = kl::ReadString(message, "requestId", "");
        kl::IsRequestId(id);
        kl::ReadString(message, "password", "");
        kl::ReadString(message, "message", "Bağlantı kurulamadı.");
        for (const char* key : {"x", "y", "button", "key"})
            kl::ReadIntField(message, key, -12000, 65535);
        message.at("action").get<std::string>();
        // What was parsed serialises again, or refuses with the library's error.
        message.dump();
    } catch (const nlohmann::json::exception&) {
    } catch (const std::runtime_error&) {
    }
    return 0;
}
