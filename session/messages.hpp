#pragma once
// The signalling catalogue: how received text becomes JSON, the field readers, and the
// builders of every message the program, the relay and the peer send.
#include <cstddef>
#include <cstdint>
#include <nlohmann/json.hpp>
#include <string>
#include <string_view>
#include <vector>
#include "base/limits.hpp"

namespace kl {

inline constexpr std::size_t kMaxTextMessage = kMaxTextBytes;
inline constexpr int kMaxNesting = 4;
inline constexpr std::size_t kMaxInputEvent = 1024;

// The inner kinds of the session's encrypted messages.
enum EncryptedKind : std::uint8_t { ScreenFrame = 1, InputEvent = 2, Ready = 3 };

// Throws std::runtime_error("text limit") above 16384 bytes.
void CheckTextSize(std::size_t length);
// Parses one JSON value; deeper than 4 levels throws std::runtime_error("message nesting"),
// malformed text the library's parse error.
nlohmann::json ParseMessage(std::string_view bytes);
inline nlohmann::json ParseMessage(const std::vector<std::uint8_t>& bytes) {
    return ParseMessage(
        std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

// Readers; every library error propagates.
std::string ReadString(const nlohmann::json& message, const char* key, const std::string& fallback);
std::int64_t ReadNumber(const nlohmann::json& message, const char* key, std::int64_t fallback);
std::int32_t ReadIntField(const nlohmann::json& object, const char* key, std::int32_t min,
                          std::int32_t max);
bool IsRequestId(std::string_view text) noexcept;
// The relay's "error" text as the status line may show it: controls, separators and runs
// of spaces become one space, invisible and bidi formatting characters are removed, ends
// are trimmed, and more than 120 characters are cut to 119 and "…". Empty for invalid UTF-8.
inline constexpr std::size_t kMaxRelayMessageChars = 120;
std::string CleanRelayMessage(std::string_view text);

// Sent by the program.
std::string BuildHostRegistration(const std::string& sessionId);
std::string BuildViewerRegistration(const std::string& sessionId, const std::string& proof);
std::string BuildConnectResponse(const std::string& requestId, bool accepted);
std::string BuildInputEvent(const std::string& action, std::int32_t x, std::int32_t y,
                            std::int32_t button, std::int32_t key);

// Sent by the relay.
std::string BuildRegistered();
std::string BuildConnectRequest(const std::string& password, const std::string& requestId);
std::string BuildConnected(const std::string& requestId);
std::string BuildPeerDisconnected(const std::string& requestId);
std::string BuildError(const std::string& message);

}  // namespace kl
