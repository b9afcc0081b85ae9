#pragma once
// The WebSocket connection of one client: TLS handshake (when TLS), the HTTP upgrade on /ws,
// one read and one write in flight, a bounded output queue, and the close. Flow control: reading
// is held while the partner's output is backed up, and a peer that stops reading is dropped.
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

#include "relay/client_input.hpp"
#include "relay/message_buffer.hpp"
#include "relay/session.hpp"
#include "relay/socket_progress.hpp"
#include "session/messages.hpp"

namespace boost::beast {

// Beast's server teardown of a TCP socket reads once and closes it, so a client still
// sending gets a reset, and many stacks drop the close frame (1009 above all) that came
// just before it. Ours only half-closes; the session then drains what is still coming for
// a bounded time before it closes (WsSession::Linger). Found by argument-dependent lookup
// and preferred, being more specialised than Beast's template.
template <class Handler>
void async_teardown(role_type role,
                    net::basic_stream_socket<net::ip::tcp, net::any_io_executor>& socket,
                    Handler&& handler) {
    error_code ec;
    if (role == role_type::server) socket.shutdown(net::socket_base::shutdown_send, ec);
    net::post(socket.get_executor(), beast::bind_front_handler(std::forward<Handler>(handler), ec));
}

}  // namespace boost::beast

namespace kl::relay::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
namespace websocket = beast::websocket;
using tcp = asio::ip::tcp;

// How long a closing connection's input is still read and thrown away, so that the client
// gets the close frame (1009 above all) before the TCP connection ends, even mid-send.
inline constexpr auto kCloseLinger = std::chrono::seconds(2);

template <class Stream>
class WsSession final : public Session {
  public:
    static constexpr bool kTls = !std::is_same_v<Stream, beast::tcp_stream>;

    template <class... Args>
    WsSession(SessionOwner& owner, ConnId id, std::string address, Args&&... args)
        : Session(owner, id, std::move(address)),
          ws_(std::forward<Args>(args)...),
          budget_(owner.memoryBudget()) {}

    ~WsSession() override { budget_->used -= charged_; }

    void Start() override {
        beast::get_lowest_layer(ws_).expires_after(owner_.handshakeTimeout());
        if constexpr (kTls) {
            ws_.next_layer().async_handshake(
                ssl::stream_base::server, [self = Self()](boost::system::error_code ec) {
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
            return Abandon("dropped: send buffer full");
        }
        if (!budget_->Fits(data->size())) {
            owner_.Refusal(*this, "memory_budget");
            return Abandon("dropped: memory budget");
        }
        const std::size_t size = data->size();
        try {
            queue_.push_back({std::move(data), text});
        } catch (const std::bad_alloc&) {
            owner_.Refusal(*this, "out_of_memory");
            return Abandon("dropped: out of memory");
        }
        queuedBytes_ += size;
        Recharge();
        if (!writing_) WriteNext();
    }

    void Close(std::uint16_t code) override {
        if (closeRequested_ || finished_) return;
        closeRequested_ = true;
        closeCode_ = code;
        if (!open_) return Drop();
        ResumeReading();  // the read loop sees the close through
        if (!writing_) WriteNext();
    }

    void Drop() override {
        boost::system::error_code ignored;
        beast::get_lowest_layer(ws_).socket().close(ignored);
    }

    void AllowBinary() override { ws_.read_message_max(owner_.maxBinaryBytes()); }
    std::size_t queuedBytes() const override { return queuedBytes_; }
    void HoldReading() override { readHeld_ = true; }
    void ResumeReading() override {
        if (!readHeld_) return;
        readHeld_ = false;
        if (open_ && !reading_ && !finished_) Read();
    }
    void ResumeWhenDrained(std::shared_ptr<Session> sender, std::size_t bound) override {
        drainWaiter_ = std::move(sender);
        drainBound_ = bound;
        if (finished_ || queuedBytes_ <= drainBound_) ReleaseDrainWaiter();
    }

  private:
    struct Outgoing {
        std::shared_ptr<const std::string> data;
        bool text;
    };
    // Unlike std::deque it allocates nothing while empty, and an idle connection's queue is.
    using Queue = boost::container::deque<Outgoing>;

    std::shared_ptr<WsSession> Self() {
        return std::static_pointer_cast<WsSession>(shared_from_this());
    }

    void ReadRequest() {
        parser_ = std::make_unique<http::request_parser<http::empty_body>>();
        parser_->header_limit(8192);
        parser_->body_limit(0);
        http::async_read(
            ws_.next_layer(), buffer_, *parser_,
            [self = Self()](boost::system::error_code ec, std::size_t) { self->OnRequest(ec); });
    }

    void OnRequest(boost::system::error_code ec) {
        if (ec) return Finish("http request failed: " + ec.message());
        const auto& request = parser_->get();
        const std::string_view target = request.target();
        const std::string_view path = target.substr(0, target.find('?'));
        if (path != "/ws" || !websocket::is_upgrade(request)) {
            owner_.Log(id_, "http 404 " + LogQuoted(path));
            auto response = std::make_shared<http::response<http::string_body>>(
                http::status::not_found, request.version());
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
        timeouts.handshake_timeout = owner_.handshakeTimeout();
        ws_.set_option(timeouts);
        ws_.set_option(websocket::stream_base::decorator([](websocket::response_type& response) {
            response.set(http::field::server, "kestrelink-relay");
        }));
        // Nobody has anything to send a peer before pairing: a sender of more is refused as
        // its frame header arrives, before anything is buffered.
        ws_.read_message_max(owner_.maxTextBytes());
        ws_.auto_fragment(false);
        ws_.async_accept(request, [self = Self()](boost::system::error_code ec) {
            if (ec) return self->Finish("websocket upgrade failed: " + ec.message());
            self->ReleaseUpgradeState();
            // From now on the handshake time only bounds a close (see kCloseLinger).
            websocket::stream_base::timeout timeouts;
            self->ws_.get_option(timeouts);
            timeouts.handshake_timeout = kCloseLinger;
            self->ws_.set_option(timeouts);
            self->open_ = true;
            self->owner_.OnOpened(*self);
            self->Read();
        });
    }

    void EndTransport() {
        if constexpr (kTls) {
            beast::get_lowest_layer(ws_).expires_after(std::chrono::seconds(2));
            ws_.next_layer().async_shutdown(
                [self = Self()](boost::system::error_code) { self->Finish("http closed"); });
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
        reading_ = true;
        messageBuffer_.reset();
        message_ = std::string();
        if (!lowWater_) lowWater_.emplace(beast::get_lowest_layer(ws_).socket().native_handle());
        messageBuffer_.emplace(message_, &*lowWater_);
        ws_.async_read(*messageBuffer_, [self = Self()](boost::system::error_code ec, std::size_t) {
            self->OnRead(ec);
        });
    }

    void OnRead(boost::system::error_code ec) {
        reading_ = false;
        lowWater_->Reset();
        if (ec) {
            if (ec == websocket::error::message_too_big) owner_.Refusal(*this, "message_too_big");
            if (closeSent_) return Finish("closed code=" + std::to_string(closeCode_));
            if (ec == websocket::error::closed)
                return Finish("closed by peer code=" + std::to_string(ws_.reason().code));
            return Linger("connection lost: " + ec.message());
        }
        try {
            messageBuffer_.reset();
            if (ws_.got_text())
                owner_.OnText(*this, message_);
            else
                owner_.OnBinary(*this, MessagePool::Share(std::move(message_)));
        } catch (const std::bad_alloc&) {
            owner_.Refusal(*this, "out_of_memory");
            return Finish("dropped: out of memory");
        }
        Recharge();
        if (!finished_ && !readHeld_ && !reading_) Read();
    }

    // After a close frame of ours (or a reset peer, which ends this at once): what the client
    // still sends is read and thrown away until it closes too, for kCloseLinger at most.
    void Linger(std::string how) {
        auto& transport = beast::get_lowest_layer(ws_);
        boost::system::error_code ignored;
        transport.socket().shutdown(tcp::socket::shutdown_send, ignored);
        transport.expires_after(kCloseLinger);  // a silent client
        Discard(std::make_shared<const std::string>(std::move(how)),
                std::chrono::steady_clock::now() + kCloseLinger);
    }

    void Discard(std::shared_ptr<const std::string> how,
                 std::chrono::steady_clock::time_point until) {
        beast::get_lowest_layer(ws_).async_read_some(
            buffer_.prepare(4096),
            [self = Self(), how, until](boost::system::error_code ec, std::size_t) {
                // The stream's own expiry cannot stop a client that never pauses.
                if (ec || std::chrono::steady_clock::now() >= until) return self->Finish(*how);
                self->Discard(how, until);
            });
    }

    void WriteNext() {
        if (queue_.empty()) {
            if (closeRequested_ && !closeSent_) {
                closeSent_ = true;
                writing_ = true;
                ws_.async_close(
                    websocket::close_reason(closeCode_),
                    [self = Self()](boost::system::error_code) { self->writing_ = false; });
            }
            return;
        }
        writing_ = true;
        WatchWriteProgress();
        ws_.text(queue_.front().text);
        ws_.async_write(asio::buffer(*queue_.front().data),
                        [self = Self()](boost::system::error_code ec, std::size_t) {
                            self->writing_ = false;
                            if (self->finished_)
                                return self->Drop();  // finished: the queue is gone
                            if (ec) return self->Abandon("connection lost: " + ec.message());
                            self->queuedBytes_ -= self->queue_.front().data->size();
                            self->queue_.pop_front();
                            if (self->queue_.empty()) Queue().swap(self->queue_);
                            self->Recharge();
                            self->lastProgress_ = Clock::now();
                            if (self->queuedBytes_ <= self->drainBound_) self->ReleaseDrainWaiter();
                            self->WriteNext();
                        });
    }

    void Recharge() {
        const std::size_t now = queuedBytes_ + buffer_.capacity() + message_.capacity();
        budget_->used = budget_->used - charged_ + now;
        charged_ = now;
    }

    void Finish(const std::string& how) {
        if (finished_) return;
        finished_ = true;
        queue_.clear();
        queuedBytes_ = 0;
        Recharge();
        if (progressTimer_) progressTimer_->cancel();
        Drop();
        ReleaseDrainWaiter();
        owner_.OnFinished(*this, how);
    }

    // --- Flow control ---------------------------------------------------------------------

    void ReleaseDrainWaiter() {
        if (auto sender = std::move(drainWaiter_)) sender->ResumeReading();
    }

    // With its reading held there is no read to fail and report the end: report it here, after
    // the caller (maybe the server, in the middle of forwarding) has returned.
    void Abandon(std::string how) {
        Drop();
        asio::post(ws_.get_executor(), [self = Self(), how = std::move(how)] {
            if (!self->reading_) self->Finish(how);
        });
    }

    // While output is owed, the peer must take some of it now and then: progress is a written
    // message or bytes newly acknowledged by the peer's TCP, so a slow link that still moves
    // keeps its connection however much waits, and a peer that stopped reading is dropped.
    void WatchWriteProgress() {
        if (watchingProgress_) return;
        watchingProgress_ = true;
        lastProgress_ = Clock::now();
        ackedSeen_ = AckedBytes(beast::get_lowest_layer(ws_).socket().native_handle());
        if (!progressTimer_) progressTimer_.emplace(ws_.get_executor());
        ArmProgressTimer();
    }

    void ArmProgressTimer() {
        const auto period = std::max<Clock::duration>(owner_.stalledReaderTime() / 4,
                                                      std::chrono::milliseconds(50));
        progressTimer_->expires_after(std::min<Clock::duration>(period, std::chrono::seconds(1)));
        progressTimer_->async_wait([self = Self()](boost::system::error_code ec) {
            if (ec || self->finished_) return;
            self->CheckWriteProgress();
        });
    }

    void CheckWriteProgress() {
        if (!writing_) {
            watchingProgress_ = false;
            return;
        }
        const auto now = Clock::now();
        const auto acked = AckedBytes(beast::get_lowest_layer(ws_).socket().native_handle());
        if (acked != ackedSeen_) {
            ackedSeen_ = acked;
            lastProgress_ = now;
        } else if (now - lastProgress_ >= owner_.stalledReaderTime()) {
            watchingProgress_ = false;
            owner_.Refusal(*this, "slow_reader");
            return Abandon("dropped: reads nothing");
        }
        ArmProgressTimer();
    }

    websocket::stream<Stream> ws_;
    beast::flat_buffer buffer_;  // the HTTP request
    std::unique_ptr<http::request_parser<http::empty_body>> parser_;
    std::string message_;
    std::optional<MessageBuffer> messageBuffer_;
    std::optional<LowWater> lowWater_;
    Queue queue_;
    std::size_t queuedBytes_ = 0;
    std::shared_ptr<MemoryBudget> budget_;
    std::size_t charged_ = 0;  // what budget_ holds for this connection
    bool writing_ = false, closeRequested_ = false, closeSent_ = false, finished_ = false;
    std::uint16_t closeCode_ = 1000;
    // Flow control.
    bool reading_ = false, readHeld_ = false, watchingProgress_ = false;
    // Held strongly: a sender whose reading is held has no operation of its own keeping it alive.
    std::shared_ptr<Session> drainWaiter_;
    std::size_t drainBound_ = 0;
    std::optional<asio::steady_timer>
        progressTimer_;  // made on the first write: idle hosts pay nothing
    Clock::time_point lastProgress_;
    std::uint64_t ackedSeen_ = 0;
};

}  // namespace kl::relay::detail
