#pragma once
// The WebSocket connection of one client: TLS handshake (when TLS), the HTTP upgrade on /ws,
// one read and one write in flight, a bounded output queue, and the close.
#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/ssl.hpp>
#include <boost/beast/websocket.hpp>
#include <boost/beast/websocket/ssl.hpp>
#include <boost/container/deque.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <type_traits>

#include "relay/message_buffer.hpp"
#include "relay/session.hpp"
#include "session/messages.hpp"

namespace kl::relay::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

inline constexpr auto kHandshakeTime = std::chrono::seconds(10);
inline constexpr std::uint16_t kTryAgainLater = 1013;

template <class Stream>
class WsSession final : public Session {
public:
    static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

    template <class... Args>
    WsSession(SessionOwner& owner, ConnId id, std::string address, Args&&... args)
        : Session(owner, id, std::move(address)), ws_(std::forward<Args>(args)...) {}

    void Start() override {
        beast::get_lowest_layer(ws_).expires_after(kHandshakeTime);
        if constexpr (kTls) {
            ws_.next_layer().async_handshake(ssl::stream_base::server,
                                             [self = Self()](boost::system::error_code ec) {
                                                 if (ec) return self->Finish("tls handshake failed: " + ec.message());
                                                 self->ReadRequest();
                                             });
        } else {
            ReadRequest();
        }
    }

    void Send(std::shared_ptr<const std::string> data, bool text) override {
        if (!open_ || closeRequested_ || finished_) return;
        if (queuedBytes_ + data->size() > owner_.sendBufferBytes()) {
            owner_.Refusal(*this, "slow_reader");
            return Drop();
        }
        queuedBytes_ += data->size();
        queue_.push_back({std::move(data), text});
        if (!writing_) WriteNext();
    }

    void Close(std::uint16_t code) override {
        if (closeRequested_ || finished_) return;
        closeRequested_ = true;
        closeCode_ = code;
        if (!open_) return Drop();
        if (!writing_) WriteNext();
    }

    void Drop() override {
        boost::system::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

private:
    struct Outgoing {
        std::shared_ptr<const std::string> data;
        bool text;
    };
    // Unlike std::deque it allocates nothing while empty, and an idle connection's queue is.
    using Queue = boost::container::deque<Outgoing>;

    std::shared_ptr<WsSession> Self() { return std::static_pointer_cast<WsSession>(shared_from_this()); }

    void ReadRequest() {
        parser_ = std::make_unique<http::request_parser<http::empty_body>>();
        parser_->header_limit(8192);
        parser_->body_limit(0);
        http::async_read(ws_.next_layer(), buffer_, *parser_,
                         [self = Self()](boost::system::error_code ec, std::size_t) { self->OnRequest(ec); });
    }

    void OnRequest(boost::system::error_code ec) {
        if (ec) return Finish("http request failed: " + ec.message());
        const auto& request = parser_->get();
        const std::string_view target = request.target();
        const std::string_view path = target.substr(0, target.find('?'));
        if (path != "/ws" || !websocket::is_upgrade(request)) {
            owner_.Log(id_, "http 404 " + std::string(path.substr(0, 64)));
            auto response = std::make_shared<http::response<http::string_body>>(http::status::not_found, request.version());
            response->set(http::field::content_type, "text/plain; charset=utf-8");
            response->keep_alive(false);
            response->body() = "Not found\n";
            response->prepare_payload();
            http::async_write(ws_.next_layer(), *response,
                              [self = Self(), response](boost::system::error_code, std::size_t) {
                                  self->EndTransport();
                              });
            return;
        }
        beast::get_lowest_layer(ws_).expires_never();
        auto timeouts = websocket::stream_base::timeout::suggested(beast::role_type::server);
        timeouts.handshake_timeout = kHandshakeTime;
        ws_.set_option(timeouts);
        ws_.set_option(websocket::stream_base::decorator(
            [](websocket::response_type& response) { response.set(http::field::server, "kestrelink-relay"); }));
        ws_.read_message_max(owner_.maxBinaryBytes());
        ws_.auto_fragment(false);
        ws_.async_accept(request, [self = Self()](boost::system::error_code ec) {
            if (ec) return self->Finish("websocket upgrade failed: " + ec.message());
            self->ReleaseUpgradeState();
            self->open_ = true;
            self->owner_.OnOpened(*self);
            if (self->overLimit_ != nullptr) {
                self->owner_.Refusal(*self, self->overLimit_);
                self->Send(std::make_shared<const std::string>(BuildError(text::kTooManyConnections)), true);
                self->Close(kTryAgainLater);
            }
            self->Read();
        });
    }

    void EndTransport() {
        if constexpr (kTls) {
            beast::get_lowest_layer(ws_).expires_after(std::chrono::seconds(2));
            ws_.next_layer().async_shutdown([self = Self()](boost::system::error_code) { self->Finish("http closed"); });
        } else {
            boost::system::error_code ignored;
            beast::get_lowest_layer(ws_).socket().shutdown(tcp::socket::shutdown_send, ignored);
            Finish("http closed");
        }
    }

    // The request and the buffer it came in are not needed once upgraded; an idle connection
    // should hold no more than Beast's stream and the pending read.
    void ReleaseUpgradeState() {
        parser_.reset();
        buffer_ = beast::flat_buffer();
    }

    // Each message is read into a string of its own that is then handed on as it is: a forwarded
    // message is never copied in the relay.
    void Read() {
        message_ = std::string();
        messageBuffer_.emplace(message_);
        ws_.async_read(*messageBuffer_, [self = Self()](boost::system::error_code ec, std::size_t) { self->OnRead(ec); });
    }

    void OnRead(boost::system::error_code ec) {
        if (ec) {
            if (ec == websocket::error::message_too_big) owner_.Refusal(*this, "message_too_big");
            if (closeSent_) return Finish("closed code=" + std::to_string(closeCode_));
            if (ec == websocket::error::closed) return Finish("closed by peer code=" + std::to_string(ws_.reason().code));
            return Finish("connection lost: " + ec.message());
        }
        messageBuffer_.reset();
        if (ws_.got_text()) owner_.OnText(*this, message_);
        else owner_.OnBinary(*this, MessagePool::Share(std::move(message_)));
        if (!finished_) Read();
    }

    void WriteNext() {
        if (queue_.empty()) {
            if (closeRequested_ && !closeSent_) {
                closeSent_ = true;
                writing_ = true;
                ws_.async_close(websocket::close_reason(closeCode_), [self = Self()](boost::system::error_code) {
                    self->writing_ = false;
                });
            }
            return;
        }
        writing_ = true;
        ws_.text(queue_.front().text);
        ws_.async_write(asio::buffer(*queue_.front().data), [self = Self()](boost::system::error_code ec, std::size_t) {
            self->writing_ = false;
            if (ec) return self->Drop();
            self->queuedBytes_ -= self->queue_.front().data->size();
            self->queue_.pop_front();
            if (self->queue_.empty()) Queue().swap(self->queue_);
            self->WriteNext();
        });
    }

    void Finish(const std::string& how) {
        if (finished_) return;
        finished_ = true;
        queue_.clear();
        Drop();
        owner_.OnFinished(*this, how);
    }

    websocket::stream<Stream> ws_;
    beast::flat_buffer buffer_;  // the HTTP request
    std::unique_ptr<http::request_parser<http::empty_body>> parser_;
    std::string message_;
    std::optional<MessageBuffer> messageBuffer_;
    Queue queue_;
    std::size_t queuedBytes_ = 0;
    bool writing_ = false, closeRequested_ = false, closeSent_ = false, finished_ = false;
    std::uint16_t closeCode_ = 1000;
};

}  // namespace kl::relay::detail
