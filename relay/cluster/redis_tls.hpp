#pragma once
// TLS to Redis for a hiredis that has none (Debian's 0.14): hiredis talks plain Redis protocol
// to a loopback socket this relay owns, and the bridge carries the bytes over TLS to Redis,
// all on the relay's io_context. The server certificate is checked against the CA file (or
// the system's trusted CAs) and the host name or address of the URL before hiredis is let in.
#include <boost/asio/io_context.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kl::relay {

struct RedisTarget;

class RedisTlsBridge {
  public:
    // `port` is where hiredis connects; empty `error` means the TLS session is up.
    using Ready = std::function<void(std::uint16_t port, const std::string& error)>;

    // Resolves and connects to the target, shakes hands, then listens on loopback; `ready`
    // runs once, from the io_context.
    static std::shared_ptr<RedisTlsBridge> Open(boost::asio::io_context& ioc,
                                                const RedisTarget& target, Ready ready);
    virtual ~RedisTlsBridge() = default;
    // Only a connection from this local port (hiredis's socket) is carried; others are closed.
    virtual void Expect(std::uint16_t localPort) = 0;
    // Ends both sides; hiredis then sees its connection end.
    virtual void Close() = 0;
    // Why the bridge ended on its own (empty while it runs or after Close).
    virtual const std::string& error() const = 0;
};

}  // namespace kl::relay
