#pragma once
// The WebSocket connection of one client: TLS handshake (when TLS), the HTTP upgrade on /ws,
// then frames read and written by the relay itself (relay/ws_frame.*): one read and one write in
// flight, a bounded output queue, and the close. An idle connection waits for readability with
// no read buffer at all. Flow control: reading is held while the partner's output is backed up,
// and a peer that stops reading is dropped.
#include <openssl/evp.h>

#include <array>
#include <boost/asio.hpp>
#include <boost/asio/ssl/stream_base.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <boost/container/deque.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <type_traits>

#include "relay/client_input.hpp"
#include "relay/large_writes.hpp"
#include "relay/low_water.hpp"
#include "relay/message_pool.hpp"
#include "relay/session.hpp"
#include "relay/socket_progress.hpp"
#include "relay/ws_frame.hpp"

namespace kl::relay::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// How long a closing connection's input is still read and thrown away, so that the client
// gets the close frame (1009 above all) before the TCP connection ends, even mid-send; and how
// long a close frame of ours waits for the client's.
inline constexpr auto kCloseLinger = std::chrono::seconds(2);

// Reads land in a small staging buffer, except the rest of a large frame, which is read
// straight into its message.
inline constexpr std::size_t kStageBytes = 16 * 1024;
inline constexpr std::size_t kDirectRead = 4 * 1024;

// What a queued message costs beyond its payload: the shared string, its control block and the
// queue's slot, as the allocator hands them out. A queue of empty messages is not empty.
inline constexpr std::size_t kMessageOverhead = 128;
// However small, no more messages than this wait for one reader.
inline constexpr std::size_t kMaxQueuedMessages = 16384;
// Held for a connection until its upgrade is done: the request's buffer and parser (the header
// limit bounds both) and, over TLS, OpenSSL's handshake buffers.
inline constexpr std::size_t kRequestHeaderLimit = 8192;
inline constexpr std::size_t kUpgradeReserve = 32 * 1024;
// A connection refused memory for its message's next piece waits this long between tries, and
// at most kRoomWaitLimit in all, before it is closed.
inline constexpr auto kRoomRetry = std::chrono::milliseconds(20);
inline constexpr auto kRoomWaitLimit = std::chrono::seconds(2);
// Input that shows a client is there: a whole frame, or a read of at least this much. A byte now
// and then into a frame announced large does not keep its connection (and its room) alive.
inline constexpr std::size_t kLivelyBytes = 512;
// How much a reader's queue may grow, never shrinking, for the stalled-reader time.
inline constexpr std::size_t kGrowthSlack = 64 * 1024;

// A Sec-WebSocket-Key is the base64 of 16 bytes: 22 characters and "==".
inline bool IsWebSocketKey(std::string_view key) {
    if (key.size() != 24 || key.substr(22) != "==") return false;
    return std::all_of(key.begin(), key.begin() + 22, [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '+' || c == '/';
    });
}

// The value of Sec-WebSocket-Accept for a client's Sec-WebSocket-Key.
inline std::string WebSocketAccept(std::string_view key) {
    static constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    std::string joined(key);
    joined += kGuid;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(joined.data(), joined.size(), digest, &length, EVP_sha1(), nullptr);
    std::string out(4 * ((length + 2) / 3), '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), digest, static_cast<int>(length));
    return out;
}

inline tcp::socket& LowestLayer(tcp::socket& socket) {
    return socket;
}
template <class Stream>
tcp::socket& LowestLayer(Stream& stream) {
    return stream.next_layer();
}
inline std::size_t HeldBytes(const tcp::socket&) {
    return 0;
}
template <class Stream>
std::size_t HeldBytes(const Stream& stream) {
    return stream.heldBytes();
}
template <class Handler>
void AsyncWaitReadable(tcp::socket& socket, Handler&& handler) {
    socket.async_wait(tcp::socket::wait_read, std::forward<Handler>(handler));
}
template <class Stream, class Handler>
void AsyncWaitReadable(Stream& stream, Handler&& handler) {
    stream.async_wait_readable(std::forward<Handler>(handler));
}

template <class Stream>
class WsSession final : public Session {
  public:
    static constexpr bool kTls = !std::is_same_v<Stream, tcp::socket>;

    template <class... Args>
    WsSession(SessionOwner& owner, ConnId id, std::string address, Args&&... args)
        : Session(owner, id, std::move(address)),
          stream_(std::forward<Args>(args)...),
          reader_(owner.maxTextBytes()),
          budget_(owner.memoryBudget()) {
        if constexpr (kTls) stream_.SetBudget(budget_.get());
    }

    ~WsSession() override { budget_->used -= charged_; }

    void Start() override {
        Recharge();  // the upgrade's reserve, taken before anything is read
        ArmDeadline(owner_.handshakeTimeout(), "handshake timed out");
        if constexpr (kTls) {
            stream_.async_handshake(
                asio::ssl::stream_base::server, [self = Self()](boost::system::error_code ec) {
                    if (ec) return self->Finish("tls handshake failed: " + ec.message());
                    self->ReadRequest();
                });
        } else {
            ReadRequest();
        }
    }

    void Send(std::shared_ptr<const std::string> data, bool text) override {
        if (!open_ || closeRequested_ || finished_) return;
        const std::size_t cost = data->size() + kMessageOverhead;
        if (queuedBytes_ + cost > owner_.sendBufferBytes() || queue_.size() >= kMaxQueuedMessages) {
            owner_.Refusal(*this, "slow_reader");
            return Abandon("dropped: send buffer full");
        }
        // Short of budget, the connection holding the most it has not earned is ended for this
        // message (until it has finished, the budget is over by the message at most).
        if (!budget_->Fits(cost) && !owner_.Reclaim(*this, cost)) {
            owner_.Refusal(*this, "memory_budget");
            return Abandon("dropped: memory budget");
        }
        if (Queue(std::move(data), text ? ws::kText : ws::kBinary, false)) WriteNext();
    }

    // After the queued output: our close frame, then the client's answer awaited.
    void Close(std::uint16_t code) override {
        if (closeRequested_ || finished_) return;
        if (!open_) return Drop();
        StartClose(code, AfterClose::AwaitReply, {});
        ResumeReading();  // the read loop sees the answer through
    }

    void Drop() override {
        boost::system::error_code ignored;
        LowestLayer(stream_).close(ignored);
    }

    void AllowBinary() override { reader_.SetLimit(owner_.maxBinaryBytes()); }
    std::size_t queuedBytes() const override { return queuedBytes_; }
    // One already being dropped has nothing more to give.
    std::size_t chargedBytes() const override { return abandoned_ ? 0 : charged_; }
    std::size_t unfilledBytes() const override { return abandoned_ ? 0 : reader_.unfilled(); }
    void DropForMemory() override {
        if (finished_ || abandoned_) return;
        owner_.Refusal(*this, "memory_budget");
        Abandon("dropped: memory budget");
    }
    void HoldReading() override { readHeld_ = true; }
    void ResumeReading() override {
        if (!readHeld_) return;
        readHeld_ = false;
        lastInput_ = Clock::now();  // what it said while held is still unread
        if (open_ && !reading_ && !finished_) Read();
    }
    void ResumeWhenDrained(std::shared_ptr<Session> sender, std::size_t bound) override {
        drainWaiter_ = std::move(sender);
        drainBound_ = bound;
        if (finished_ || queuedBytes_ <= drainBound_) ReleaseDrainWaiter();
    }
    bool KeepAlive(Clock::time_point now, Clock::duration limit) override {
        // A sender held by flow control cannot be heard, however lively: not silent.
        if (!open_ || finished_ || closeRequested_ || readHeld_) return false;
        if (now - lastInput_ >= limit / 2) {
            // A read waiting for a good piece of a large frame wakes seldom on a slow uplink:
            // bytes the kernel received since the last look are input all the same.
            const auto received = ReceivedBytes(LowestLayer(stream_).native_handle());
            if (receivedAt_ > lastInput_ && received - receivedSeen_ >= kLivelyBytes)
                lastInput_ = now;
            receivedSeen_ = received;
            receivedAt_ = now;
        }
        const auto silent = now - lastInput_;
        if (silent >= limit) {
            Drop();  // its pending read fails and ends it
            return true;
        }
        if (silent >= limit / 2 && pinged_ <= lastInput_) {
            pinged_ = now;
            if (Queue(std::make_shared<const std::string>(), ws::kPing, true)) WriteNext();
        }
        return false;
    }

  private:
    struct Outgoing {
        std::shared_ptr<const std::string> data;
        std::uint8_t opcode;
    };
    // Unlike std::deque it allocates nothing while empty, and an idle connection's queue is.
    using OutputQueue = boost::container::deque<Outgoing>;
    // What follows our close frame: the client's close awaited (a close of ours), the end at once
    // (an answer to the client's), or its input drained for a while (a client that broke the
    // rules, perhaps still sending).
    enum class AfterClose { AwaitReply, Finish, Linger };

    std::shared_ptr<WsSession> Self() {
        return std::static_pointer_cast<WsSession>(shared_from_this());
    }

    // --- The upgrade ------------------------------------------------------------------------

    void ReadRequest() {
        parser_ = std::make_unique<http::request_parser<http::empty_body>>();
        parser_->header_limit(kRequestHeaderLimit);
        parser_->body_limit(0);
        http::async_read(
            stream_, buffer_, *parser_,
            [self = Self()](boost::system::error_code ec, std::size_t) { self->OnRequest(ec); });
    }

    void OnRequest(boost::system::error_code ec) {
        if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
            return Respond(http::status::request_header_fields_too_large,
                           "Request headers too large\n", "headers too large");
        if (ec) return Finish("http request failed: " + ec.message());
        const auto& request = parser_->get();
        const std::string_view target = request.target();
        const std::string_view path = target.substr(0, target.find('?'));
        if (path != "/ws") {
            owner_.Log(id_, "http 404 " + LogQuoted(path));
            return Respond(http::status::not_found, "Not found\n");
        }
        // What comes to /ws must be a WebSocket handshake: a GET of HTTP/1.1 or later that asks
        // to upgrade.
        if (!beast::websocket::is_upgrade(request))
            return Respond(http::status::bad_request, "Bad WebSocket upgrade\n", "not an upgrade");
        const std::string_view key = request[http::field::sec_websocket_key];
        if (request[http::field::host].empty() || !IsWebSocketKey(key))
            return Respond(http::status::bad_request, "Bad WebSocket upgrade\n", "bad upgrade");
        if (request[http::field::sec_websocket_version] != "13")
            return Respond(http::status::upgrade_required, "WebSocket version 13 only\n",
                           "websocket version");
        auto response = std::make_shared<std::string>(
            "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: upgrade\r\n"
            "Sec-WebSocket-Accept: " +
            WebSocketAccept(key) + "\r\nServer: kestrelink-relay\r\n\r\n");
        asio::async_write(stream_, asio::buffer(*response),
                          [self = Self(), response](boost::system::error_code ec, std::size_t) {
                              if (ec)
                                  return self->Finish("websocket upgrade failed: " + ec.message());
                              self->OnUpgraded();
                          });
    }

    // An answer other than the upgrade, then the end of the connection.
    void Respond(http::status status, const char* body, const char* failure = nullptr) {
        const unsigned version = parser_->get().version();
        auto response =
            std::make_shared<http::response<http::string_body>>(status, version == 10 ? 10 : 11);
        response->set(http::field::content_type, "text/plain; charset=utf-8");
        if (status == http::status::upgrade_required)
            response->set(http::field::sec_websocket_version, "13");
        response->keep_alive(false);
        response->body() = body;
        response->prepare_payload();
        std::string how = failure ? std::string("websocket upgrade failed: ") + failure
                                  : std::string("http closed");
        http::async_write(stream_, *response,
                          [self = Self(), response, how = std::move(how)](boost::system::error_code,
                                                                          std::size_t) {
                              self->ArmDeadline(kCloseLinger, how);
                              self->EndOutput([self, how] { self->Finish(how); });
                          });
    }

    void OnUpgraded() {
        deadline_.reset();
        // Bytes the client sent right behind its request are its first frames.
        if (buffer_.size() > kStageBytes)
            return Finish("websocket upgrade failed: data sent before the upgrade");
        if (buffer_.size() > 0) {
            Stage();
            stageTail_ = asio::buffer_copy(asio::buffer(stage_.get(), kStageBytes), buffer_.data());
        }
        // The request and the buffer it came in are not needed any more: an idle connection
        // holds no more than its socket and the wait for input.
        parser_.reset();
        buffer_ = beast::flat_buffer();
        Recharge();
        open_ = true;
        lastInput_ = Clock::now();
        owner_.OnOpened(*this);
        if (!finished_) Read();
    }

    // --- Reading ------------------------------------------------------------------------------

    // Runs the read loop until it must wait for the socket (or is held, or ends).
    void Read() {
        reading_ = true;
        for (;;) {
            if (finished_ || (readHeld_ && !closeSent_) || (reader_.NeedsRoom() && !MakeRoom())) {
                reading_ = false;
                return;
            }
            if (stageHead_ < stageTail_) {
                stageHead_ += reader_.Consume(stage_.get() + stageHead_, stageTail_ - stageHead_);
                if (stageHead_ == stageTail_) stageHead_ = stageTail_ = 0;
                if (!OnEvent(reader_.event())) {
                    reading_ = false;
                    return;
                }
                continue;
            }
            if (reader_.PayloadLeft() >= kDirectRead) return ReadPayload();
            if (reader_.Idle()) return AwaitInput();
            return ReadStage();
        }
    }

    // The next piece of the message's storage, reserved from the budget before it is allocated.
    // Refused, the connection stops reading and tries again shortly, while the server makes room
    // by ending the connection that holds the most it has not earned; refused for long, it ends.
    bool MakeRoom() {
        const std::size_t want = reader_.RoomWanted();
        if (budget_->Fits(want)) {
            try {
                reader_.Grow();
            } catch (const std::bad_alloc&) {
                owner_.Refusal(*this, "out_of_memory");
                Abandon("dropped: out of memory");
                return false;
            }
            roomWaitSince_ = {};
            Recharge();
            return true;
        }
        const auto now = Clock::now();
        if (roomWaitSince_ == Clock::time_point{}) roomWaitSince_ = now;
        if (now - roomWaitSince_ >= kRoomWaitLimit) {
            DropForMemory();
            return false;
        }
        const bool freed = owner_.Reclaim(*this, want);
        if (!roomTimer_) roomTimer_ = std::make_unique<asio::steady_timer>(stream_.get_executor());
        roomTimer_->expires_after(freed ? Clock::duration::zero() : Clock::duration(kRoomRetry));
        roomTimer_->async_wait([self = Self()](boost::system::error_code ec) {
            if (ec || self->finished_ || self->reading_) return;
            self->Read();
        });
        return false;
    }

    void AwaitInput() {
        ReleaseStage();
        if (lowWater_) lowWater_->Reset();
        AsyncWaitReadable(stream_, [self = Self()](boost::system::error_code ec) {
            if (ec || self->finished_) return self->OnReadError(ec);
            self->ReadStage();
        });
        Recharge();  // the budget counts what is held, and a waiting connection holds nothing
    }

    void ReadStage() {
        Stage();
        if (lowWater_) lowWater_->Reset();
        stream_.async_read_some(asio::buffer(stage_.get() + stageTail_, kStageBytes - stageTail_),
                                [self = Self()](boost::system::error_code ec, std::size_t n) {
                                    if (ec || self->finished_) return self->OnReadError(ec);
                                    if (n >= kLivelyBytes) self->lastInput_ = Clock::now();
                                    self->stageTail_ += n;
                                    self->Read();
                                });
    }

    // The rest of a large frame, straight into its message.
    void ReadPayload() {
        const std::size_t left = reader_.PayloadLeft();
        if (!lowWater_) lowWater_.emplace(LowestLayer(stream_).native_handle());
        lowWater_->Want(left);
        stream_.async_read_some(asio::buffer(reader_.Space(), left),
                                [self = Self()](boost::system::error_code ec, std::size_t n) {
                                    if (ec || self->finished_) return self->OnReadError(ec);
                                    if (n >= kLivelyBytes) self->lastInput_ = Clock::now();
                                    if (!self->OnEvent(self->reader_.Filled(n))) {
                                        self->reading_ = false;
                                        return;
                                    }
                                    self->Read();
                                });
    }

    // What a frame brought; false when reading stops here.
    bool OnEvent(ws::MessageReader::Event event) {
        using Event = ws::MessageReader::Event;
        if (event != Event::None) lastInput_ = Clock::now();
        switch (event) {
            case Event::None:
            case Event::Pong:
                break;
            case Event::Message:
                if (closeSent_) {
                    reader_.TakeMessage();  // the client's last words before its close
                    break;
                }
                try {
                    // Counted once: by the queue it goes to, no longer by this reader.
                    std::string message = reader_.TakeMessage();
                    Recharge();
                    if (reader_.text())
                        owner_.OnText(*this, message);
                    else
                        owner_.OnBinary(*this, MessagePool::Share(std::move(message)));
                } catch (const std::bad_alloc&) {
                    owner_.Refusal(*this, "out_of_memory");
                    Finish("dropped: out of memory");
                    return false;
                }
                break;
            case Event::Ping:
                if (!closeRequested_) QueuePong();
                WriteNext();
                break;
            case Event::Close:
                if (!closeSent_) {
                    StartClose(reader_.code(), AfterClose::Finish,
                               "closed by peer code=" + std::to_string(reader_.code()));
                } else if (writing_) {
                    replied_ = true;  // both closes crossed: ours is still being written
                } else {
                    EndOutput([self = Self()] { self->Finish(self->ClosedHow()); });
                }
                return false;
            case Event::Fail:
                if (reader_.code() == ws::kTooBig) owner_.Refusal(*this, "message_too_big");
                if (closeSent_) {
                    Finish(ClosedHow());
                } else {
                    StartClose(reader_.code(), AfterClose::Linger,
                               "connection lost: " + FailureText(reader_.code()));
                }
                return false;
        }
        Recharge();
        return !finished_;
    }

    void OnReadError(boost::system::error_code ec) {
        reading_ = false;
        if (finished_) return;
        if (abandoned_) return Finish(*abandoned_);
        if (closeSent_) return Finish(ClosedHow());
        Linger("connection lost: " + ec.message());
    }

    static std::string FailureText(std::uint16_t code) {
        switch (code) {
            case ws::kTooBig:
                return "message too big";
            case ws::kInvalidPayload:
                return "text that is not UTF-8";
            default:
                return "websocket protocol violated";
        }
    }

    // How a connection that sent its close frame ended.
    std::string ClosedHow() const { return "closed code=" + std::to_string(closeCode_); }

    void Stage() {
        if (!stage_) stage_ = std::make_unique_for_overwrite<char[]>(kStageBytes);
        if (stageHead_ > 0 && stageHead_ == stageTail_) stageHead_ = stageTail_ = 0;
    }
    void ReleaseStage() {
        if (stageHead_ == stageTail_) {
            stage_.reset();
            stageHead_ = stageTail_ = 0;
        }
    }

    // After a close frame of ours (or a reset peer, which ends this at once): what the client
    // still sends is read and thrown away until it closes too, for kCloseLinger at most.
    void Linger(std::string how) {
        boost::system::error_code ignored;
        LowestLayer(stream_).shutdown(tcp::socket::shutdown_send, ignored);
        ArmDeadline(kCloseLinger, how);
        stageHead_ = stageTail_ = 0;
        Discard(std::make_shared<const std::string>(std::move(how)));
    }

    void Discard(std::shared_ptr<const std::string> how) {
        Stage();
        reading_ = true;
        // Below TLS: the bytes are thrown away, so there is nothing to decrypt.
        LowestLayer(stream_).async_read_some(
            asio::buffer(stage_.get(), kStageBytes),
            [self = Self(), how](boost::system::error_code ec, std::size_t) {
                self->reading_ = false;
                if (ec) return self->Finish(*how);
                if (!self->finished_) self->Discard(how);
            });
    }

    // --- Writing ------------------------------------------------------------------------------

    bool Queue(std::shared_ptr<const std::string> data, std::uint8_t opcode, bool control) {
        const std::size_t size = data->size();
        try {
            // A control frame goes before the data waiting, never into the middle of a write.
            const auto at =
                control && !queue_.empty() ? queue_.begin() + (writing_ ? 1 : 0) : queue_.end();
            queue_.insert(at, {std::move(data), opcode});
        } catch (const std::bad_alloc&) {
            owner_.Refusal(*this, "out_of_memory");
            Abandon("dropped: out of memory");
            return false;
        }
        queuedBytes_ += size + kMessageOverhead;
        Recharge();
        return true;
    }

    // One pong waits at most, the answer to the latest ping: a client that pings and reads
    // nothing would otherwise have the relay keep a pong for every ping.
    void QueuePong() {
        auto pong = std::make_shared<const std::string>(reader_.control());
        const std::size_t waiting = writing_ ? 1 : 0;  // where a waiting control frame is
        if (queue_.size() > waiting && queue_[waiting].opcode == ws::kPong) {
            queuedBytes_ = queuedBytes_ - queue_[waiting].data->size() + pong->size();
            queue_[waiting].data = std::move(pong);
            return Recharge();
        }
        Queue(std::move(pong), ws::kPong, true);
    }

    // Our close frame goes after what is queued (a close of ours) or after the write under way
    // (an answer, a failure): nothing else is sent once a close is due.
    void StartClose(std::uint16_t code, AfterClose after, std::string how) {
        if (closeSent_) return;
        if (!closeRequested_) {
            closeRequested_ = true;
            closeCode_ = code;
        }
        afterClose_ = after;
        afterHow_ = std::move(how);
        if (after != AfterClose::AwaitReply) {
            while (queue_.size() > (writing_ ? 1u : 0u)) {
                queuedBytes_ -= queue_.back().data->size() + kMessageOverhead;
                queue_.pop_back();
            }
            Recharge();
        }
        WriteNext();
    }

    void WriteNext() {
        // One write at a time: the end of a write resumes a held sender, whose messages read
        // meanwhile may have started the next write already.
        if (writing_) return;
        if (queue_.empty()) {
            if (closeRequested_ && !closeSent_) SendClose();
            return;
        }
        writing_ = true;
        WatchWriteProgress();
        WriteFrame(queue_.front().opcode, *queue_.front().data,
                   [self = Self()](boost::system::error_code ec, std::size_t) {
                       self->writing_ = false;
                       if (self->finished_) return self->Drop();  // finished: the queue is gone
                       if (ec) return self->Abandon("connection lost: " + ec.message());
                       self->queuedBytes_ -= self->queue_.front().data->size() + kMessageOverhead;
                       self->queue_.pop_front();
                       if (self->queue_.empty()) OutputQueue().swap(self->queue_);
                       self->Recharge();
                       self->lastProgress_ = Clock::now();
                       if (self->queuedBytes_ <= self->drainBound_) self->ReleaseDrainWaiter();
                       self->WriteNext();
                   });
        Recharge();  // the ciphertext of a write over TLS is made as it starts
    }

    // One frame, its header and payload in one write; `payload` must outlive the write.
    template <class Handler>
    void WriteFrame(std::uint8_t opcode, const std::string& payload, Handler&& handler) {
        const std::size_t header = ws::ServerHeader(opcode, payload.size(), header_);
        const std::array<asio::const_buffer, 2> frame{asio::buffer(header_.data(), header),
                                                      asio::buffer(payload)};
        asio::async_write(stream_, frame, LargeWrites{}, std::forward<Handler>(handler));
    }

    void SendClose() {
        closeSent_ = true;
        writing_ = true;
        // A client that reads nothing cannot hold the close (nor the close_notify after it) open.
        ArmDeadline(kCloseLinger, afterClose_ == AfterClose::AwaitReply ? ClosedHow() : afterHow_);
        // A client's close without a code is answered without one.
        auto payload = std::make_shared<const std::string>(
            closeCode_ == 1005 ? std::string() : ws::ClosePayload(closeCode_));
        WriteFrame(ws::kClose, *payload,
                   [self = Self(), payload](boost::system::error_code ec, std::size_t) {
                       self->writing_ = false;
                       if (self->finished_) return;
                       self->OnCloseSent(ec);
                   });
    }

    void OnCloseSent(boost::system::error_code ec) {
        switch (afterClose_) {
            case AfterClose::AwaitReply:
                if (ec) return Finish(ClosedHow());
                if (replied_)
                    return EndOutput([self = Self()] { self->Finish(self->ClosedHow()); });
                ArmDeadline(kCloseLinger, ClosedHow());
                if (!reading_) Read();
                return;
            case AfterClose::Finish:
                return EndOutput([self = Self()] { self->Finish(self->afterHow_); });
            case AfterClose::Linger:
                return Linger(afterHow_);
        }
    }

    // The end of our output: close_notify over TLS, then the TCP half-close.
    template <class Then>
    void EndOutput(Then then) {
        if constexpr (kTls) {
            stream_.async_shutdown([self = Self(), then](boost::system::error_code) mutable {
                boost::system::error_code ignored;
                LowestLayer(self->stream_).shutdown(tcp::socket::shutdown_send, ignored);
                then();
            });
        } else {
            boost::system::error_code ignored;
            LowestLayer(stream_).shutdown(tcp::socket::shutdown_send, ignored);
            then();
        }
    }

    void Recharge() {
        const std::size_t now =
            queuedBytes_ + reader_.buffered() + (stage_ ? kStageBytes : 0) + HeldBytes(stream_) +
            (!open_ && !finished_ ? std::max(kUpgradeReserve, buffer_.capacity()) : 0);
        budget_->used = budget_->used - charged_ + now;
        charged_ = now;
    }

    void Finish(const std::string& how) {
        if (finished_) return;
        finished_ = true;
        queue_.clear();
        queuedBytes_ = 0;
        // A read under way (ended by a deadline, say) may have filled them already, or over
        // TLS still decrypts into them: they go with the session then.
        if (!reading_) {
            reader_ = ws::MessageReader(0);
            stage_.reset();
        }
        Recharge();
        if (progressTimer_) progressTimer_->cancel();
        if (deadline_) deadline_->cancel();
        if (roomTimer_) roomTimer_->cancel();
        Drop();
        ReleaseDrainWaiter();
        owner_.OnFinished(*this, how);
    }

    // Ends the connection with `how` unless it has ended by then.
    void ArmDeadline(std::chrono::steady_clock::duration after, std::string how) {
        if (!deadline_) deadline_.emplace(stream_.get_executor());
        deadline_->expires_after(after);
        deadline_->async_wait([self = Self(), how = std::move(how)](boost::system::error_code ec) {
            if (!ec && !self->finished_) self->Finish(how);
        });
    }

    // --- Flow control ---------------------------------------------------------------------

    void ReleaseDrainWaiter() {
        if (auto sender = std::move(drainWaiter_)) sender->ResumeReading();
    }

    // With its reading held there is no read to fail and report the end: report it here, after
    // the caller (maybe the server, in the middle of forwarding) has returned.
    void Abandon(std::string how) {
        if (!abandoned_) abandoned_ = std::make_unique<const std::string>(how);
        Drop();
        asio::post(stream_.get_executor(), [self = Self(), how = std::move(how)] {
            if (!self->reading_) self->Finish(how);
        });
    }

    // While output is owed, the peer must take some of it now and then: progress is a written
    // message or bytes newly acknowledged by the peer's TCP, so a slow link that still moves
    // keeps its connection however much waits, and a peer that stopped reading is dropped.
    void WatchWriteProgress() {
        if (watchingProgress_) return;
        watchingProgress_ = true;
        lastProgress_ = growingSince_ = Clock::now();
        growthBase_ = lastLook_ = queuedBytes_;
        ackedSeen_ = AckedBytes(LowestLayer(stream_).native_handle());
        if (!progressTimer_) progressTimer_.emplace(stream_.get_executor());
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
        // Taking a little now and then is not enough when the queue only ever grows: a sender of
        // many small messages, say, that flow control has not stopped.
        if (queuedBytes_ <= lastLook_) {
            growingSince_ = now;
            growthBase_ = queuedBytes_;
        }
        lastLook_ = queuedBytes_;
        if (now - growingSince_ >= owner_.stalledReaderTime() &&
            queuedBytes_ > growthBase_ + kGrowthSlack) {
            watchingProgress_ = false;
            owner_.Refusal(*this, "slow_reader");
            return Abandon("dropped: queue keeps growing");
        }
        const auto acked = AckedBytes(LowestLayer(stream_).native_handle());
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

    Stream stream_;
    // The upgrade's request; released once upgraded.
    beast::flat_buffer buffer_{kRequestHeaderLimit + kStageBytes};
    std::unique_ptr<http::request_parser<http::empty_body>> parser_;
    std::optional<asio::steady_timer> deadline_;  // the handshake, a close: not while open
    // Input.
    ws::MessageReader reader_;
    std::unique_ptr<char[]> stage_;  // only while input is under way
    std::size_t stageHead_ = 0, stageTail_ = 0;
    std::optional<LowWater> lowWater_;
    std::unique_ptr<asio::steady_timer> roomTimer_;  // while refused memory for a message
    Clock::time_point roomWaitSince_{};
    Clock::time_point lastInput_{}, pinged_{};
    Clock::time_point receivedAt_{};  // when receivedSeen_ was taken, in a silence
    std::uint64_t receivedSeen_ = 0;
    // Output.
    OutputQueue queue_;
    std::size_t queuedBytes_ = 0;
    std::array<std::uint8_t, 10> header_{};  // of the frame being written
    std::shared_ptr<MemoryBudget> budget_;
    std::size_t charged_ = 0;  // what budget_ holds for this connection
    bool writing_ = false, closeRequested_ = false, closeSent_ = false, finished_ = false;
    std::uint16_t closeCode_ = 1000;
    bool replied_ = false;  // the client's close came while ours was being written
    AfterClose afterClose_ = AfterClose::AwaitReply;
    std::string afterHow_;
    std::unique_ptr<const std::string> abandoned_;  // why, once dropped by the relay
    // Flow control.
    bool reading_ = false, readHeld_ = false, watchingProgress_ = false;
    // Held strongly: a sender whose reading is held has no operation of its own keeping it alive.
    std::shared_ptr<Session> drainWaiter_;
    std::size_t drainBound_ = 0;
    std::optional<asio::steady_timer>
        progressTimer_;  // made on the first write: idle hosts pay nothing
    Clock::time_point lastProgress_;
    // The queue at the last look, and since when (and from what) it has grown at every look.
    std::size_t lastLook_ = 0, growthBase_ = 0;
    Clock::time_point growingSince_;
    std::uint64_t ackedSeen_ = 0;
};

}  // namespace kl::relay::detail
