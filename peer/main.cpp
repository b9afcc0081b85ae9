// klpeer: a headless Kestrelink peer (host or viewer) and an operator's probe for a relay.
#include <exception>
#include <iostream>

#include "peer/peer.hpp"

int main(int argc, char** argv) {
    kl::peer::PeerOptions options;
    try {
        options = kl::peer::ParsePeerOptions(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const std::exception& e) {
        std::cerr << "klpeer: " << e.what() << '\n';
        return kl::peer::kExitUsage;
    }
    if (options.mode == "help") {
        std::cout << kl::peer::PeerUsage();
        return 0;
    }
    try {
        return kl::peer::RunPeer(options);
    } catch (const std::exception& e) {
        std::cerr << "klpeer: " << e.what() << '\n';
        return kl::peer::kExitProtocol;
    }
}
