#pragma once
// The relay's command line: where it listens, its certificate, and every limit.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "relay/router.hpp"

namespace kl::relay {

struct Options {
    std::string listen = "127.0.0.1";
    std::uint16_t port = 8443;
    std::string certFile, keyFile;  // both or neither; with them the relay serves wss://
    int metricsPort = 9464;         // always on 127.0.0.1; 0 picks a free port, -1 is off
    std::size_t maxConnections = 20000;
    std::size_t maxConnectionsPerAddress = 64;
    std::size_t sendBufferBytes = 24u << 20;  // per connection; a slower reader is dropped
    std::size_t maxBinaryBytes = 8388608;
    std::size_t maxTextBytes = 16384;
    Limits routing;
    std::string redisUrl;  // empty: the relay runs alone
    bool help = false;
};

// Throws std::invalid_argument with a message for the user on a bad command line.
Options ParseOptions(const std::vector<std::string>& args);
// Refuses, with the reason, a configuration that would expose plain WebSocket off this host.
bool CheckListenPolicy(const Options& options, std::string& error);
const char* UsageText();

}  // namespace kl::relay
