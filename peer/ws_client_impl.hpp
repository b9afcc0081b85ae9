#pragma once
#include <netinet/tcp.h>
#include <openssl/ssl.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <chrono>
#include <deque>
#include <type_traits>

#include "peer/ws_client.hpp"
#include "base/limits.hpp"

namespace kl::peer::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace ssl = asio::ssl;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

template <class Stream>
class WsClientImpl final : public WsClient,
                           public std::enable_shared_from_this<WsClientImpl<Stream>> {
  public:
    static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

    template <class... Args>
    explicit WsClientImpl(asio::io_context& ioc, Args&... args)
        : resolver_(ioc), ws_(asio::make_strand(ioc), args...) {}

    void Start(const WsTarget& target, WsHandlers handlers) override {
        target_ = target;
        handlers_ = std::move(handlers);
        resolver_.async_resolve(
            target_.host, std::to_string(target_.port),
            [self = this->shared_from_this()](boost::system::error_code ec,
                                              tcp::resolver::results_type results) {
                if (ec)
                    return self->Fail("cannot resolve " + self->target_.host + ": " + ec.message());
                self->Connect(results);
            });
    }

    void SendText(std::string text) override { Queue(std::move(text), true); }
    void SendBinary(std::string bytes) override { Queue(std::move(bytes), false); }

    void Close(std::uint16_t code) override {
        if (closeRequested_ || ended_) return;
        closeRequested_ = true;
        closeCode_ = code;
        if (!open_) return Abort();
        if (!writing_) WriteNext();
    }

    std::size_t queuedBytes() const override { return queuedBytes_; }
    void StopReading() override { readStopped_ = true; }

  private:
    std::string Where() const { return target_.host + ":" + std::to_string(target_.port); }

    void Connect(const tcp::resolver::results_type& results) {
        beast::get_lowest_layer(ws_).expires_after(std::chrono::seconds(10));
        beast::get_lowest_layer(ws_).async_connect(results, [self = this->shared_from_this()](
                                                                boost::system::error_code ec,
                                                                const tcp::endpoint&) {
            if (ec) return self->Fail("cannot connect to " + self->Where() + ": " + ec.message());
            boost::system::error_code ignored;
            auto& socket = beast::get_lowest_layer(self->ws_).socket();
            socket.set_option(tcp::no_delay(true), ignored);
            // A write completes when its data is nearly on the wire, not when it sits in a
            // large kernel buffer: what waits can then still be replaced by a newer frame.
            socket.set_option(
                asio::detail::socket_option::integer<IPPROTO_TCP, TCP_NOTSENT_LOWAT>(kUnsentBytes),
                ignored);
            self->Secure();
        });
    }

    void Secure() {
        if constexpr (kTls) {
            SSL_set_tlsext_host_name(ws_.next_layer().native_handle(), target_.host.c_str());
            ws_.next_layer().set_verify_callback(ssl::host_name_verification(target_.host));
            ws_.next_layer().async_handshake(
                ssl::stream_base::client,
                [self = this->shared_from_this()](boost::system::error_code ec) {
                    if (ec)
                        return self->Fail(
                            "TLS handshake with " + self->Where() + " failed: " + ec.message() +
                            " (to trust the relay's own certificate, give --ca FILE)");
                    self->Upgrade();
                });
        } else {
            Upgrade();
        }
    }

    void Upgrade() {
        beast::get_lowest_layer(ws_).expires_never();
        auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::client);
        timeouts.handshake_timeout = std::chrono::seconds(10);
        ws_.set_option(timeouts);
        ws_.read_message_max(kl::kMaxMessageBytes);
        ws_.auto_fragment(false);
        ws_.async_handshake(target_.host + ":" + std::to_string(target_.port), target_.path,
                            [self = this->shared_from_this()](boost::system::error_code ec) {
                                if (ec)
                                    return self->Fail("WebSocket upgrade at " + self->Where() +
                                                      self->target_.path +
                                                      " failed: " + ec.message());
                                self->open_ = true;
                                if (self->handlers_.onOpen) self->handlers_.onOpen();
                                if (!self->writing_) self->WriteNext();
                                self->Read();
                            });
    }

    void Read() {
        ws_.async_read(
            buffer_, [self = this->shared_from_this()](boost::system::error_code ec, std::size_t) {
                if (ec) return self->End(ec);
                std::string data = beast::buffers_to_string(self->buffer_.data());
                self->buffer_.consume(self->buffer_.size());
                if (self->ws_.got_text()) {
                    if (self->handlers_.onText) self->handlers_.onText(std::move(data));
                } else if (self->handlers_.onBinary) {
                    self->handlers_.onBinary(std::move(data));
                }
                if (!self->ended_ && !self->readStopped_) self->Read();
            });
    }

    void Queue(std::string data, bool text) {
        if (closeRequested_ || ended_) return;
        queuedBytes_ += data.size();
        queue_.push_back({std::move(data), text});
        if (open_ && !writing_) WriteNext();
    }

    void WriteNext() {
        if (queue_.empty()) {
            if (closeRequested_ && !closeSent_) {
                closeSent_ = writing_ = true;
                ws_.async_close(websocket::close_reason(closeCode_),
                                [self = this->shared_from_this()](boost::system::error_code ec) {
                                    self->writing_ = false;
                                    // The read loop sees the relay's answer; a failed close ends
                                    // here.
                                    if (ec) self->End(ec);
                                });
            }
            return;
        }
        writing_ = true;
        ws_.text(queue_.front().second);
        ws_.async_write(
            asio::buffer(queue_.front().first),
            [self = this->shared_from_this()](boost::system::error_code ec, std::size_t) {
                self->writing_ = false;
                // The read loop reports the end: the relay may have explained it in a close frame
                // that arrived while this write was refused.
                if (ec) return;
                self->queuedBytes_ -= self->queue_.front().first.size();
                self->queue_.pop_front();
                self->WriteNext();
                if (self->queue_.empty() && !self->closeRequested_ && self->handlers_.onDrained)
                    self->handlers_.onDrained();
            });
    }

    void Abort() {
        boost::system::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

    void Fail(const std::string& error) {
        if (ended_) return;
        ended_ = true;
        Abort();
        if (handlers_.onError) handlers_.onError(error);
    }

    void End(boost::system::error_code ec) {
        if (ended_) return;
        ended_ = true;
        const auto reason = ws_.reason();
        const bool closeFrame = reason.code != websocket::close_code::none;
        Abort();
        if (handlers_.onClosed)
            handlers_.onClosed(closeFrame ? static_cast<int>(reason.code) : 0,
                               closeFrame ? std::string(reason.reason.c_str()) : ec.message());
    }

    WsTarget target_;
    WsHandlers handlers_;
    tcp::resolver resolver_;
    websocket::stream<Stream> ws_;
    beast::flat_buffer buffer_;
    std::deque<std::pair<std::string, bool>> queue_;
    std::size_t queuedBytes_ = 0;
    static constexpr int kUnsentBytes = 32768;
    bool open_ = false, writing_ = false, closeRequested_ = false, closeSent_ = false,
         ended_ = false;
    bool readStopped_ = false;
    std::uint16_t closeCode_ = 1000;
};

}  // namespace kl::peer::detail
