#pragma once
#include <charconv>
#include <stdexcept>
#include <string>
#include <vector>

namespace kl {

// The design-preview path from the program's arguments (index 0 is the program itself):
// "--preview" (exact, case-sensitive) followed by one more argument; the last complete pair
// wins and everything else is ignored. Empty when there is no preview.
std::wstring FindPreviewPath(const std::vector<std::wstring>& args);

// The value of a numeric command-line option; throws std::invalid_argument naming the option
// and its range when the text is not a number within [min, max].
template <class T>
T ParseNumberOption(const std::string& name, const std::string& text, T min, T max) {
    T value{};
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value < min || value > max)
        throw std::invalid_argument(name + " needs a number from " + std::to_string(min) + " to " +
                                    std::to_string(max) + ", not \"" + text + "\"");
    return value;
}

}  // namespace kl
