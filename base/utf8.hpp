#pragma once
// UTF-8 <-> wide text (UTF-16 where wchar_t has 16 bits, as on Windows; code points otherwise).
// Strict both ways: ill-formed input gives an empty result rather than altered text.
#include <string>
#include <string_view>

namespace kl {

std::wstring Utf8ToWide(const std::string& text);
std::string WideToUtf8(const std::wstring& text);
// Whether the bytes are well-formed UTF-8 by the same strict rules.
bool IsUtf8(std::string_view text);
// Appends ASCII text (the own ID and key) widened in place: with room reserved beforehand no
// intermediate copy of a secret is made, so wiping `out` wipes the only copy.
void AppendAsciiWide(std::wstring& out, const std::string& ascii);

}  // namespace kl
