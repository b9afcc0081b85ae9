// kestrelink-relay: pairs Kestrelink hosts and viewers and forwards their encrypted traffic.
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "relay/core/options.hpp"
#include "relay/connection/server.hpp"

int main(int argc, char** argv) {
    try {
        const auto options =
            kl::relay::ParseOptions(std::vector<std::string>(argv + 1, argv + argc));
        if (options.help) {
            std::cout << kl::relay::UsageText();
            return 0;
        }
        return kl::relay::RunRelay(options);
    } catch (const std::exception& e) {
        std::cerr << "kestrelink-relay: " << e.what() << '\n';
        return 2;
    }
}
