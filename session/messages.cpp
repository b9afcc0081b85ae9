#include "session/messages.hpp"

#include <cmath>
#include <limits>
#include <stdexcept>

namespace kl {

using nlohmann::json;

void CheckTextSize(std::size_t length) {
    if (length > kMaxTextMessage) throw std::runtime_error("text limit");
}

json ParseMessage(std::string_view bytes) {
    json::parser_callback_t bound = [](int depth, json::parse_event_t, json&) {
        if (depth > kMaxNesting) throw std::runtime_error("message nesting");
        return true;
    };
    return json::parse(bytes.begin(), bytes.end(), bound, /*allow_exceptions=*/true,
                       /*ignore_comments=*/false);
}

std::string ReadString(const json& message, const char* key, const std::string& fallback) {
    return message.value(key, fallback);
}

std::int64_t ReadNumber(const json& message, const char* key, std::int64_t fallback) {
    if (!message.is_object()) return message.value(key, fallback);  // the library's type error
    auto it = message.find(key);
    if (it == message.end()) return fallback;
    if (it->is_number_float()) {
        // Truncation toward zero; values no 64-bit integer can hold saturate instead of
        // overflowing the conversion.
        const double d = it->get<double>();
        if (std::isnan(d)) return 0;
        if (d >= 9223372036854775807.0) return std::numeric_limits<std::int64_t>::max();
        if (d <= -9223372036854775808.0) return std::numeric_limits<std::int64_t>::min();
        return static_cast<std::int64_t>(d);
    }
    if (it->is_boolean()) return it->get<bool>() ? 1 : 0;
    if (it->is_number_unsigned() && it->get<std::uint64_t>() > std::uint64_t(INT64_MAX))
        return std::numeric_limits<std::int64_t>::max();
    return it->get<std::int64_t>();  // other types: the library's type error
}

std::int32_t ReadIntField(const json& object, const char* key, std::int32_t min, std::int32_t max) {
    const json& value = object.at(key);
    if (!value.is_number_integer()) throw std::runtime_error("input number");
    // Non-negative integers arrive unsigned; anything above max is out of range either way.
    if (value.is_number_unsigned() && value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT32_MAX))
        throw std::runtime_error("input range");
    const std::int64_t v = value.get<std::int64_t>();
    if (v < 0 ? (v < min || v > max) : v > max) throw std::runtime_error("input range");
    return static_cast<std::int32_t>(v);
}

bool IsRequestId(std::string_view text) noexcept {
    if (text.size() != 32) return false;
    for (char c : text)
        if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f'))) return false;
    return true;
}

std::string BuildHostRegistration(const std::string& sessionId) {
    return json{{"type", "register"}, {"role", "host"}, {"protocol", 2}, {"sessionId", sessionId}}.dump();
}

std::string BuildViewerRegistration(const std::string& sessionId, const std::string& proof) {
    return json{{"type", "register"},   {"role", "viewer"},  {"protocol", 2},
                {"sessionId", sessionId}, {"password", proof}}
        .dump();
}

std::string BuildConnectResponse(const std::string& requestId, bool accepted) {
    return json{{"type", "connectResponse"}, {"requestId", requestId}, {"accepted", accepted}}.dump();
}

std::string BuildInputEvent(const std::string& action, std::int32_t x, std::int32_t y,
                            std::int32_t button, std::int32_t key) {
    return json{{"action", action}, {"x", x}, {"y", y}, {"button", button}, {"key", key}}.dump();
}

std::string BuildRegistered() { return json{{"type", "registered"}, {"protocol", 2}}.dump(); }

std::string BuildConnectRequest(const std::string& password, const std::string& requestId) {
    return json{{"type", "connectRequest"}, {"password", password}, {"requestId", requestId}}.dump();
}

std::string BuildConnected(const std::string& requestId) {
    return json{{"type", "connected"}, {"requestId", requestId}}.dump();
}

std::string BuildPeerDisconnected(const std::string& requestId) {
    return json{{"type", "peerDisconnected"}, {"requestId", requestId}}.dump();
}

std::string BuildError(const std::string& message) {
    return json{{"type", "error"}, {"message", message}}.dump();
}

}  // namespace kl
