#pragma once
// The relay's command line: where it listens, its certificate, and every limit.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "relay/proxy_protocol.hpp"
#include "relay/router.hpp"
#include "base/limits.hpp"

namespace kl::relay {

struct Options {
    std::string listen = "127.0.0.1";
    std::uint16_t port = 8443;
    std::string certFile, keyFile;  // both or neither; with them the relay serves wss://
    int metricsPort = 9464;         // always on 127.0.0.1; 0 picks a free port, -1 is off
    std::size_t maxConnections = 20000;
    std::size_t maxConnectionsPerAddress = 64;
    // Connections from one address still in TLS or the upgrade, and how long either may take.
    std::size_t maxHandshakesPerAddress = 8;
    std::chrono::milliseconds handshakeTimeout{5000};
    // An open connection that has sent nothing for half of this is pinged; for all of it, dropped.
    std::chrono::seconds idleTimeout{300};
    // Read buffers and queued output of all connections together; past it new connections
    // are refused and a connection whose queue would cross it is dropped.
    std::size_t memoryBudgetBytes = std::size_t{1} << 30;
    std::size_t sendBufferBytes = 24u
                                  << 20;  // per connection; a hard cap, whatever the flow control
    // Output queued for one side of a session above which the relay stops reading from the
    // other side (about two large frames), so a slow link gets the newest picture, not a backlog.
    std::size_t pairedBufferBytes = 512u << 10;
    std::chrono::milliseconds stalledReaderTime{20000};  // output owed and nothing taken: dropped
    // Kernel receive buffer per connection (fixed, not autotuned): what a sender whose reading
    // is held can still push into the relay, stale frames all. Enough for 30 Mbit/s at 60 ms.
    int receiveBufferBytes = 256 << 10;
    std::size_t maxBinaryBytes = kMaxMessageBytes;
    std::size_t maxTextBytes = kMaxTextBytes;
    Limits routing;
    std::string redisUrl;  // empty: the relay runs alone
    // rediss:// only: the CAs that sign Redis's certificate (empty: the system's), and a client
    // certificate and key for a Redis that asks clients for one.
    std::string redisCaFile, redisCertFile, redisKeyFile;
    bool help = false;
    // With --redis: the secret every relay of the cluster seals its messages and names its keys
    // with (read from --cluster-secret-file), and Redis's password (--redis-password-file).
    std::string clusterSecret, redisPassword;
    // Balancers whose connections begin with a PROXY protocol header naming the client.
    std::vector<Cidr> proxyProtocolFrom;
};

// Throws std::invalid_argument with a message for the user on a bad command line.
Options ParseOptions(const std::vector<std::string>& args);
// Refuses, with the reason, a configuration that would expose plain WebSocket off this host.
bool CheckListenPolicy(const Options& options, std::string& error);
const char* UsageText();

}  // namespace kl::relay
