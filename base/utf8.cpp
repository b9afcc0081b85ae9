#include "base/utf8.hpp"

#include <cstdint>
#include <string_view>
#include <type_traits>

namespace kl {
namespace {

constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

void AppendWide(std::wstring& out, char32_t cp) {
    if (kWideIsUtf16 && cp >= 0x10000) {
        cp -= 0x10000;
        out.push_back(static_cast<wchar_t>(0xD800 + (cp >> 10)));
        out.push_back(static_cast<wchar_t>(0xDC00 + (cp & 0x3FF)));
    } else {
        out.push_back(static_cast<wchar_t>(cp));
    }
}

bool IsSurrogate(char32_t cp) {
    return cp >= 0xD800 && cp <= 0xDFFF;
}

// Decodes the code point at text[i] and moves i past it; false for an ill-formed sequence.
// Overlong forms, encoded surrogates and values past U+10FFFF are refused.
bool NextCodePoint(std::string_view text, std::size_t& i, char32_t& cp) {
    const auto lead = static_cast<unsigned char>(text[i]);
    std::size_t length;
    if (lead < 0x80) {
        length = 1, cp = lead;
    } else if (lead >= 0xC2 && lead <= 0xDF) {
        length = 2, cp = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        length = 3, cp = lead & 0x0F;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        length = 4, cp = lead & 0x07;
    } else {
        return false;
    }
    if (text.size() - i < length) return false;
    for (std::size_t k = 1; k < length; ++k) {
        const auto next = static_cast<unsigned char>(text[i + k]);
        if ((next & 0xC0) != 0x80) return false;
        cp = (cp << 6) | (next & 0x3F);
    }
    if ((length == 3 && cp < 0x800) || (length == 4 && (cp < 0x10000 || cp > 0x10FFFF)) ||
        IsSurrogate(cp))
        return false;
    i += length;
    return true;
}

}  // namespace

std::wstring Utf8ToWide(const std::string& text) {
    std::wstring wide;
    wide.reserve(text.size());
    char32_t cp = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (!NextCodePoint(text, i, cp)) return {};
        AppendWide(wide, cp);
    }
    return wide;
}

bool IsUtf8(std::string_view text) {
    char32_t cp = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (static_cast<unsigned char>(text[i]) < 0x80) {
            ++i;  // most text is ASCII
            continue;
        }
        if (!NextCodePoint(text, i, cp)) return false;
    }
    return true;
}

std::string WideToUtf8(const std::wstring& text) {
    std::string narrow;
    narrow.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        auto cp = static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(text[i]));
        if (kWideIsUtf16 && cp >= 0xD800 && cp <= 0xDBFF) {
            if (i + 1 >= text.size()) return {};
            const auto low =
                static_cast<char32_t>(static_cast<std::make_unsigned_t<wchar_t>>(text[i + 1]));
            if (low < 0xDC00 || low > 0xDFFF) return {};
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
            ++i;
        } else if (IsSurrogate(cp) || cp > 0x10FFFF) {
            return {};
        }
        if (cp < 0x80) {
            narrow.push_back(static_cast<char>(cp));
        } else if (cp < 0x800) {
            narrow.push_back(static_cast<char>(0xC0 | (cp >> 6)));
            narrow.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else if (cp < 0x10000) {
            narrow.push_back(static_cast<char>(0xE0 | (cp >> 12)));
            narrow.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        } else {
            narrow.push_back(static_cast<char>(0xF0 | (cp >> 18)));
            narrow.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
            narrow.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
        }
    }
    return narrow;
}

void AppendAsciiWide(std::wstring& out, const std::string& ascii) {
    for (const char c : ascii) out.push_back(static_cast<wchar_t>(static_cast<unsigned char>(c)));
}

}  // namespace kl
