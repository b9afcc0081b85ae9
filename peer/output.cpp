#include "peer/output.hpp"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <iostream>

namespace kl::peer {

namespace {
const auto kStart = std::chrono::steady_clock::now();
}

void Emit(nlohmann::json line) {
    line["t"] = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - kStart)
                    .count();
    std::cout << line.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) << std::endl;
}

void Quit(int code, const std::string& message) {
    std::cout.flush();
    std::cerr << "klpeer: " << message << std::endl;
    std::_Exit(code);
}

}  // namespace kl::peer
