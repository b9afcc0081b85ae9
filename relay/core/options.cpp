#include "relay/core/options.hpp"

#include "base/command_line.hpp"
#include "relay/cluster/cluster_seal.hpp"
#include "relay/connection/proxy_protocol.hpp"
#include "relay/cluster/redis_client.hpp"

#include <boost/asio/ip/address.hpp>
#include <fstream>
#include <limits>
#include <utility>
#include <stdexcept>

namespace kl::relay {

using kl::ParseNumberOption;

const char* UsageText() {
    return R"(Usage: kestrelink-relay [options]

Relays Kestrelink hosts and viewers over WebSocket on path /ws.

  --listen ADDR                      address to bind (default 127.0.0.1)
  --port N                           port to bind, 0 picks a free one (default 8443)
  --cert FILE --key FILE             PEM certificate chain and private key: serve wss://
                                     (without them only a loopback address may be bound)
  --metrics-port N|off               Prometheus text on http://127.0.0.1:N/metrics
                                     (default 9464, 0 picks a free port)
  --max-connections N                all connections together (default 20000)
  --max-connections-per-address N    connections from one source address, IPv6 counted
                                     per /64 (default 64); over a limit a connection is
                                     closed as it is accepted, before TLS
  --max-handshakes-per-address N     connections from one source address still in TLS or
                                     the WebSocket upgrade (default 8)
  --handshake-timeout-ms N           time for TLS and the upgrade together (default 5000)
  --idle-timeout-seconds N           a client silent for half of this is pinged, one silent
                                     for all of it is dropped; a byte now and then into a
                                     frame is silence (default 300)
  --memory-budget-bytes N            what all connections hold together (messages being
                                     read, queued output with 128 bytes per message, TLS
                                     and upgrade buffers), reserved before it is allocated;
                                     past it new connections are refused and the one holding
                                     the most (room it stopped filling counted twice) is
                                     dropped first
                                     (default 1073741824)
  --viewer-requests-per-minute N     connection requests from one source address (default 30)
  --send-buffer-bytes N              queued output per connection before a slow reader
                                     is dropped (default 25165824)
  --paired-buffer-bytes N            queued output to one side of a session above which
                                     the relay stops reading from the other side until
                                     it drains (default 524288)
  --stalled-reader-ms N              a connection with output waiting whose peer takes
                                     none of it for this long is dropped (default 20000)
  --receive-buffer-bytes N           kernel receive buffer per connection: what a held
                                     sender can still push (default 262144)
  --max-text-bytes N                 largest text message (default 16384)
  --max-binary-bytes N               largest binary message, closed with 1009 above
                                     (default 8388608)
  --register-timeout-ms N            time to send "register" after connecting (default 10000)
  --request-timeout-ms N             time a host has to answer a request (default 45000)
  --redis redis://[USER@]HOST:PORT[/DB]
                                     join the cluster of relays sharing that Redis server
                                     (default: run alone, no Redis); rediss:// for TLS
  --redis-ca FILE                    with rediss://: PEM CA certificates that must sign
                                     Redis's certificate, whose name or address must match
                                     the URL's host (default: the system's trusted CAs)
  --redis-cert FILE --redis-key FILE with rediss://: a PEM client certificate and key, for
                                     a Redis that asks for one (tls-auth-clients yes)
  --cluster-secret-file FILE         with --redis, required: the cluster's shared secret
                                     (32 bytes or more, e.g. openssl rand -hex 32), in a
                                     file only its owner may read (mode 0600 or 0400)
  --redis-password-file FILE         with --redis: Redis's password for the URL's user (or
                                     for the default user), read from FILE
  --proxy-protocol-from CIDR[,CIDR]  balancers in front of the relay: a connection from
                                     these addresses must begin with a PROXY protocol
                                     header (v2 or v1) naming the client, whose address
                                     every limit and log line then uses
  --help                             this text

On start one JSON line on standard output gives the URLs; the log goes to standard
error, one line per connection event. SIGTERM or SIGINT closes every connection with
1001 and exits 0. SIGHUP reads --cert and --key again for new connections (open ones
stay); a pair that does not load is logged and the one in use kept.
)";
}

Options ParseOptions(const std::vector<std::string>& args) {
    Options o;
    constexpr auto kMax = std::numeric_limits<std::size_t>::max() / 4;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& name = args[i];
        if (name == "--help" || name == "-h") {
            o.help = true;
            continue;
        }
        if (i + 1 >= args.size())
            throw std::invalid_argument(
                name + (name.rfind("--", 0) == 0 ? " needs a value" : ": unknown argument"));
        const std::string& value = args[++i];
        if (name == "--listen")
            o.listen = value;
        else if (name == "--port")
            o.port = ParseNumberOption<std::uint16_t>(name, value, 0, 65535);
        else if (name == "--cert")
            o.certFile = value;
        else if (name == "--key")
            o.keyFile = value;
        else if (name == "--metrics-port")
            o.metricsPort = value == "off" ? -1 : ParseNumberOption<int>(name, value, 0, 65535);
        else if (name == "--max-connections")
            o.maxConnections = ParseNumberOption<std::size_t>(name, value, 1, kMax);
        else if (name == "--max-connections-per-address")
            o.maxConnectionsPerAddress = ParseNumberOption<std::size_t>(name, value, 1, kMax);
        else if (name == "--max-handshakes-per-address")
            o.maxHandshakesPerAddress = ParseNumberOption<std::size_t>(name, value, 1, kMax);
        else if (name == "--handshake-timeout-ms")
            o.handshakeTimeout =
                std::chrono::milliseconds(ParseNumberOption<int>(name, value, 100, 60000));
        else if (name == "--idle-timeout-seconds")
            o.idleTimeout = std::chrono::seconds(ParseNumberOption<int>(name, value, 2, 86400));
        else if (name == "--memory-budget-bytes")
            o.memoryBudgetBytes = ParseNumberOption<std::size_t>(name, value, 1u << 20, kMax);
        else if (name == "--viewer-requests-per-minute")
            o.routing.viewerRequestsPerMinute =
                ParseNumberOption<unsigned>(name, value, 1, 1000000);
        else if (name == "--send-buffer-bytes")
            o.sendBufferBytes = ParseNumberOption<std::size_t>(name, value, 65536, kMax);
        else if (name == "--paired-buffer-bytes")
            o.pairedBufferBytes = ParseNumberOption<std::size_t>(name, value, 16384, kMax);
        else if (name == "--receive-buffer-bytes")
            o.receiveBufferBytes = ParseNumberOption<int>(name, value, 16384, 1 << 30);
        else if (name == "--stalled-reader-ms")
            o.stalledReaderTime =
                std::chrono::milliseconds(ParseNumberOption<int>(name, value, 200, 3600000));
        else if (name == "--max-text-bytes")
            o.maxTextBytes = ParseNumberOption<std::size_t>(name, value, 256, 1u << 20);
        else if (name == "--max-binary-bytes")
            o.maxBinaryBytes = ParseNumberOption<std::size_t>(name, value, 1024, 1u << 30);
        else if (name == "--register-timeout-ms")
            o.routing.registerDeadline =
                std::chrono::milliseconds(ParseNumberOption<int>(name, value, 100, 3600000));
        else if (name == "--request-timeout-ms")
            o.routing.requestDeadline =
                std::chrono::milliseconds(ParseNumberOption<int>(name, value, 100, 3600000));
        else if (name == "--redis") {
            ParseRedisUrl(value);  // a bad URL is refused now, not on the first reconnect
            o.redisUrl = value;
        } else if (name == "--cluster-secret-file") {
            o.clusterSecret = ReadClusterSecret(value);
        } else if (name == "--redis-password-file") {
            o.redisPassword = ReadPasswordFile(value);
        } else if (name == "--proxy-protocol-from") {
            o.proxyProtocolFrom = ParseCidrList(value);
        } else if (name == "--redis-ca")
            o.redisCaFile = value;
        else if (name == "--redis-cert")
            o.redisCertFile = value;
        else if (name == "--redis-key")
            o.redisKeyFile = value;
        else
            throw std::invalid_argument("unknown option " + name + " (see --help)");
    }
    const bool tls = o.redisUrl.rfind("rediss://", 0) == 0;
    for (const auto& [option, file] :
         {std::pair{"--redis-ca", &o.redisCaFile}, std::pair{"--redis-cert", &o.redisCertFile},
          std::pair{"--redis-key", &o.redisKeyFile}}) {
        if (file->empty()) continue;
        if (!tls) throw std::invalid_argument(std::string(option) + " goes with --redis rediss://");
        if (!std::ifstream(*file))
            throw std::invalid_argument(std::string(option) + ": cannot read " + *file);
    }
    if (o.redisCertFile.empty() != o.redisKeyFile.empty())
        throw std::invalid_argument("--redis-cert and --redis-key go together");
    if (!o.redisUrl.empty() && o.clusterSecret.empty())
        throw std::invalid_argument(
            "--redis needs --cluster-secret-file: relays trust no message Redis carries "
            "without it");
    if (o.redisUrl.empty() && (!o.clusterSecret.empty() || !o.redisPassword.empty()))
        throw std::invalid_argument(
            "--cluster-secret-file and --redis-password-file go with --redis");
    o.routing.maxTextBytes = o.maxTextBytes;
    if (o.certFile.empty() != o.keyFile.empty())
        throw std::invalid_argument("--cert and --key go together");
    if (o.sendBufferBytes < o.maxBinaryBytes)
        throw std::invalid_argument(
            "--send-buffer-bytes must hold at least one message of --max-binary-bytes");
    if (o.memoryBudgetBytes < o.sendBufferBytes)
        throw std::invalid_argument(
            "--memory-budget-bytes must hold at least one connection's --send-buffer-bytes");
    return o;
}

bool CheckListenPolicy(const Options& options, std::string& error) {
    boost::system::error_code ec;
    const auto address = boost::asio::ip::make_address(options.listen, ec);
    if (ec) {
        error = "--listen \"" + options.listen + "\" is not an IP address";
        return false;
    }
    if (options.certFile.empty() && !address.is_loopback()) {
        error =
            "plain ws:// is only served on a loopback address; give --cert and --key to listen "
            "on " +
            options.listen;
        return false;
    }
    return true;
}

}  // namespace kl::relay
