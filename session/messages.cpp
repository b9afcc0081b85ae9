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
    if (value.is_number_unsigned() &&
        value.get<std::uint64_t>() > static_cast<std::uint64_t>(INT32_MAX))
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

namespace {

// One strictly decoded UTF-8 character at text[at]; false for an overlong, surrogate,
// out-of-range or truncated sequence.
bool NextCodePoint(std::string_view text, std::size_t& at, char32_t& out) {
    const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
    const unsigned char lead = byte(at);
    std::size_t extra = 0;
    char32_t min = 0;
    if (lead < 0x80) {
        out = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        out = lead & 0x1F, extra = 1, min = 0x80;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        out = lead & 0x0F, extra = 2, min = 0x800;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        out = lead & 0x07, extra = 3, min = 0x10000;
    } else {
        return false;
    }
    if (text.size() - at - 1 < extra) return false;
    for (std::size_t i = 1; i <= extra; ++i) {
        if ((byte(at + i) & 0xC0) != 0x80) return false;
        out = (out << 6) | (byte(at + i) & 0x3F);
    }
    if (out < min || out > 0x10FFFF || (out >= 0xD800 && out <= 0xDFFF)) return false;
    at += 1 + extra;
    return true;
}

// Controls, line and paragraph separators and every kind of space: shown as one space.
bool IsSpaceOrControl(char32_t c) {
    return c <= 0x20 || (c >= 0x7F && c <= 0xA0) || c == 0x1680 || (c >= 0x2000 && c <= 0x200A) ||
           c == 0x2028 || c == 0x2029 || c == 0x202F || c == 0x205F || c == 0x3000;
}

// Characters that draw nothing themselves but reorder, join or hide what surrounds them
// (bidi embeddings, overrides, isolates and marks, zero-width characters, fillers, tags).
bool IsInvisible(char32_t c) {
    return c == 0xAD || c == 0x34F || c == 0x61C || c == 0x115F || c == 0x1160 || c == 0x17B4 ||
           c == 0x17B5 || (c >= 0x180B && c <= 0x180F) || (c >= 0x200B && c <= 0x200F) ||
           (c >= 0x202A && c <= 0x202E) || (c >= 0x2060 && c <= 0x206F) || c == 0x3164 ||
           (c >= 0xFE00 && c <= 0xFE0F) || c == 0xFEFF || c == 0xFFA0 ||
           (c >= 0xFFF0 && c <= 0xFFFB) || (c >= 0xFDD0 && c <= 0xFDEF) || (c & 0xFFFE) == 0xFFFE ||
           (c >= 0x1BCA0 && c <= 0x1BCA3) || (c >= 0x1D173 && c <= 0x1D17A) ||
           (c >= 0xE0000 && c <= 0xE0FFF);
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

}  // namespace

std::string CleanRelayMessage(std::string_view text) {
    std::u32string kept;
    bool space = false;
    for (std::size_t at = 0; at < text.size();) {
        char32_t c = 0;
        if (!NextCodePoint(text, at, c)) return {};
        if (IsSpaceOrControl(c)) {
            space = !kept.empty();
        } else if (!IsInvisible(c)) {
            if (kept.size() > kMaxRelayMessageChars) continue;  // enough to know it is cut
            if (space) kept += U' ';
            space = false;
            kept += c;
        }
    }
    if (kept.size() > kMaxRelayMessageChars) {
        kept.resize(kMaxRelayMessageChars - 1);
        while (!kept.empty() && kept.back() == U' ') kept.pop_back();
        kept += U'\u2026';
    }
    std::string out;
    out.reserve(kept.size() * 2);
    for (char32_t c : kept) AppendUtf8(out, c);
    return out;
}

std::string BuildHostRegistration(const std::string& sessionId) {
    return json{{"type", "register"}, {"role", "host"}, {"protocol", 2}, {"sessionId", sessionId}}
        .dump();
}

std::string BuildViewerRegistration(const std::string& sessionId, const std::string& proof) {
    return json{{"type", "register"},
                {"role", "viewer"},
                {"protocol", 2},
                {"sessionId", sessionId},
                {"password", proof}}
        .dump();
}

std::string BuildConnectResponse(const std::string& requestId, bool accepted) {
    return json{{"type", "connectResponse"}, {"requestId", requestId}, {"accepted", accepted}}
        .dump();
}

std::string BuildInputEvent(const std::string& action, std::int32_t x, std::int32_t y,
                            std::int32_t button, std::int32_t key) {
    return json{{"action", action}, {"x", x}, {"y", y}, {"button", button}, {"key", key}}.dump();
}

std::string BuildRegistered() {
    return json{{"type", "registered"}, {"protocol", 2}}.dump();
}

std::string BuildConnectRequest(const std::string& password, const std::string& requestId) {
    return json{{"type", "connectRequest"}, {"password", password}, {"requestId", requestId}}
        .dump();
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
