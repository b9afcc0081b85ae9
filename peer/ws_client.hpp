#pragma once
// The peer's WebSocket client: connect (TCP, TLS when wss://, upgrade), one read loop, an
// output queue with one write in flight, and the close. Runs on the caller's io_context.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

namespace kl::peer {

struct WsTarget {
    std::string host;  // as in the URL (brackets removed)
    std::uint16_t port = 0;
    std::string path;
    bool secure = false;
};

struct WsHandlers {
    std::function<void()> onOpen;
    std::function<void(std::string&&)> onText;
    std::function<void(std::string&&)> onBinary;
    // code 0: the connection ended without a close frame.
    std::function<void(int code, const std::string& reason)> onClosed;
    std::function<void(const std::string& error)> onError;  // could not connect
    std::function<void()> onDrained;  // the output queue has just become empty
};

class WsClient {
  public:
    virtual ~WsClient() = default;
    virtual void Start(const WsTarget& target, WsHandlers handlers) = 0;
    virtual void SendText(std::string text) = 0;
    virtual void SendBinary(std::string bytes) = 0;
    virtual void Close(std::uint16_t code) = 0;
    // Output not yet taken by the kernel, including the message being written.
    virtual std::size_t queuedBytes() const = 0;
    // Reads nothing more (a peer that stops reading, for the relay's tests).
    virtual void StopReading() = 0;
};

// Each in its own translation unit: Beast's templates are slow to optimise.
std::shared_ptr<WsClient> MakePlainClient(boost::asio::io_context& ioc);
std::shared_ptr<WsClient> MakeTlsClient(boost::asio::io_context& ioc,
                                        boost::asio::ssl::context& tls);
std::shared_ptr<WsClient> MakeClient(boost::asio::io_context& ioc, boost::asio::ssl::context& tls,
                                     bool secure);

// Parses a relay URL with the program's own policy; false with a reason when refused.
bool ParseTarget(const std::string& url, WsTarget& target, std::string& error);
// A client context that trusts `caFile`, or the system's roots when it is empty.
void ConfigureTls(boost::asio::ssl::context& tls, const std::string& caFile);

}  // namespace kl::peer
