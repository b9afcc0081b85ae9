#pragma once
// One JSON object per line on standard output, each with the milliseconds since start.
#include <nlohmann/json.hpp>
#include <string>

namespace kl::peer {

void Emit(nlohmann::json line);
// Prints the reason on standard error and ends the process with `code`.
[[noreturn]] void Quit(int code, const std::string& message);

}  // namespace kl::peer
