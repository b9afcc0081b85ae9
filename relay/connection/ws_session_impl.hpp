#pragma once
// The definitions of WsSession's members: included only by the two files that make its plain and
// TLS sessions, so that nothing else compiles them.
#include "relay/connection/ws_session.hpp"

namespace kl::relay::detail {

template <class Stream>
void WsSession<Stream>::Start() {
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

template <class Stream>
void WsSession<Stream>::Send(std::shared_ptr<const std::string> data, bool text) {
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

template <class Stream>
void WsSession<Stream>::Close(std::uint16_t code) {
    if (closeRequested_ || finished_) return;
    if (!open_) return Drop();
    StartClose(code, AfterClose::AwaitReply, {});
    ResumeReading();  // the read loop sees the answer through
}

template <class Stream>
void WsSession<Stream>::Drop() {
    boost::system::error_code ignored;
    LowestLayer(stream_).close(ignored);
}

template <class Stream>
std::size_t WsSession<Stream>::unfilledBytes() const {
    if (abandoned_) return 0;
    const std::size_t unfilled = reader_.unfilled();
    if (unfilled == 0) return 0;
    auto& socket = LowestLayer(const_cast<Stream&>(stream_));
    const std::uint64_t came = ReceivedBytes(socket.native_handle()) - roomReceived_;
    const auto took =
        std::max<Clock::duration>(Clock::now() - roomGiven_, std::chrono::milliseconds(100));
    const std::uint64_t excused = came * kFillWithin / took;
    return excused >= unfilled ? 0 : unfilled - static_cast<std::size_t>(excused);
}

template <class Stream>
void WsSession<Stream>::DropForMemory() {
    if (finished_ || abandoned_) return;
    owner_.Refusal(*this, "memory_budget");
    Abandon("dropped: memory budget");
}

template <class Stream>
void WsSession<Stream>::ResumeReading() {
    if (!readHeld_) return;
    readHeld_ = false;
    lastInput_ = Clock::now();  // what it said while held is still unread
    if (open_ && !reading_ && !finished_) Read();
}

template <class Stream>
void WsSession<Stream>::ResumeWhenDrained(std::shared_ptr<Session> sender, std::size_t bound) {
    drainWaiter_ = std::move(sender);
    drainBound_ = bound;
    if (finished_ || queuedBytes_ <= drainBound_) ReleaseDrainWaiter();
}

template <class Stream>
bool WsSession<Stream>::KeepAlive(Clock::time_point now, Clock::duration limit) {
    // A sender held by flow control cannot be heard, however lively: not silent.
    if (!open_ || finished_ || closeRequested_ || readHeld_) return false;
    if (now - lastInput_ >= limit / 2) {
        // A read waiting for a good piece of a large frame wakes seldom on a slow uplink:
        // bytes the kernel received since the last look are input all the same.
        const auto received = ReceivedBytes(LowestLayer(stream_).native_handle());
        if (receivedAt_ > lastInput_ && received - receivedSeen_ >= kLivelyBytes) lastInput_ = now;
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

template <class Stream>
std::shared_ptr<WsSession<Stream>> WsSession<Stream>::Self() {
    return std::static_pointer_cast<WsSession>(shared_from_this());
}

template <class Stream>
void WsSession<Stream>::ReadRequest() {
    parser_ = std::make_unique<http::request_parser<http::empty_body>>();
    parser_->header_limit(kRequestHeaderLimit);
    parser_->body_limit(0);
    http::async_read(
        stream_, buffer_, *parser_,
        [self = Self()](boost::system::error_code ec, std::size_t) { self->OnRequest(ec); });
}

template <class Stream>
void WsSession<Stream>::OnRequest(boost::system::error_code ec) {
    if (ec == http::error::header_limit || ec == http::error::buffer_overflow)
        return Respond(http::status::request_header_fields_too_large, "Request headers too large\n",
                       "headers too large");
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
                          if (ec) return self->Finish("websocket upgrade failed: " + ec.message());
                          self->OnUpgraded();
                      });
}

template <class Stream>
void WsSession<Stream>::Respond(http::status status, const char* body, const char* failure) {
    const unsigned version = parser_->get().version();
    auto response =
        std::make_shared<http::response<http::string_body>>(status, version == 10 ? 10 : 11);
    response->set(http::field::content_type, "text/plain; charset=utf-8");
    if (status == http::status::upgrade_required)
        response->set(http::field::sec_websocket_version, "13");
    response->keep_alive(false);
    response->body() = body;
    response->prepare_payload();
    std::string how =
        failure ? std::string("websocket upgrade failed: ") + failure : std::string("http closed");
    http::async_write(
        stream_, *response,
        [self = Self(), response, how = std::move(how)](boost::system::error_code, std::size_t) {
            self->ArmDeadline(kCloseLinger, how);
            self->EndOutput([self, how] { self->Finish(how); });
        });
}

template <class Stream>
void WsSession<Stream>::OnUpgraded() {
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

template <class Stream>
void WsSession<Stream>::Read() {
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

template <class Stream>
bool WsSession<Stream>::MakeRoom() {
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
        roomGiven_ = Clock::now();
        // Bytes already waiting in the kernel count as come since.
        boost::system::error_code ignored;
        auto& socket = LowestLayer(stream_);
        roomReceived_ = ReceivedBytes(socket.native_handle()) - socket.available(ignored);
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

template <class Stream>
void WsSession<Stream>::AwaitInput() {
    ReleaseStage();
    if (lowWater_) lowWater_->Reset();
    AsyncWaitReadable(stream_, [self = Self()](boost::system::error_code ec) {
        if (ec || self->finished_) return self->OnReadError(ec);
        self->ReadStage();
    });
    Recharge();  // the budget counts what is held, and a waiting connection holds nothing
}

template <class Stream>
void WsSession<Stream>::ReadStage() {
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

template <class Stream>
void WsSession<Stream>::ReadPayload() {
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

template <class Stream>
bool WsSession<Stream>::OnEvent(ws::MessageReader::Event event) {
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

template <class Stream>
void WsSession<Stream>::OnReadError(boost::system::error_code ec) {
    reading_ = false;
    if (finished_) return;
    if (abandoned_) return Finish(*abandoned_);
    if (closeSent_) return Finish(ClosedHow());
    Linger("connection lost: " + ec.message());
}

template <class Stream>
std::string WsSession<Stream>::FailureText(std::uint16_t code) {
    switch (code) {
        case ws::kTooBig:
            return "message too big";
        case ws::kInvalidPayload:
            return "text that is not UTF-8";
        default:
            return "websocket protocol violated";
    }
}

template <class Stream>
void WsSession<Stream>::Stage() {
    if (!stage_) stage_ = std::make_unique_for_overwrite<char[]>(kStageBytes);
    if (stageHead_ > 0 && stageHead_ == stageTail_) stageHead_ = stageTail_ = 0;
}

template <class Stream>
void WsSession<Stream>::ReleaseStage() {
    if (stageHead_ == stageTail_) {
        stage_.reset();
        stageHead_ = stageTail_ = 0;
    }
}

template <class Stream>
void WsSession<Stream>::Linger(std::string how) {
    boost::system::error_code ignored;
    LowestLayer(stream_).shutdown(tcp::socket::shutdown_send, ignored);
    ArmDeadline(kCloseLinger, how);
    stageHead_ = stageTail_ = 0;
    Discard(std::make_shared<const std::string>(std::move(how)));
}

template <class Stream>
void WsSession<Stream>::Discard(std::shared_ptr<const std::string> how) {
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

template <class Stream>
bool WsSession<Stream>::Queue(std::shared_ptr<const std::string> data, std::uint8_t opcode,
                              bool control) {
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

template <class Stream>
void WsSession<Stream>::QueuePong() {
    auto pong = std::make_shared<const std::string>(reader_.control());
    const std::size_t waiting = writing_ ? 1 : 0;  // where a waiting control frame is
    if (queue_.size() > waiting && queue_[waiting].opcode == ws::kPong) {
        queuedBytes_ = queuedBytes_ - queue_[waiting].data->size() + pong->size();
        queue_[waiting].data = std::move(pong);
        return Recharge();
    }
    Queue(std::move(pong), ws::kPong, true);
}

template <class Stream>
void WsSession<Stream>::StartClose(std::uint16_t code, AfterClose after, std::string how) {
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

template <class Stream>
void WsSession<Stream>::WriteNext() {
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

template <class Stream>
template <class Handler>
void WsSession<Stream>::WriteFrame(std::uint8_t opcode, const std::string& payload,
                                   Handler&& handler) {
    const std::size_t header = ws::ServerHeader(opcode, payload.size(), header_);
    const std::array<asio::const_buffer, 2> frame{asio::buffer(header_.data(), header),
                                                  asio::buffer(payload)};
    asio::async_write(stream_, frame, LargeWrites{}, std::forward<Handler>(handler));
}

template <class Stream>
void WsSession<Stream>::SendClose() {
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

template <class Stream>
void WsSession<Stream>::OnCloseSent(boost::system::error_code ec) {
    switch (afterClose_) {
        case AfterClose::AwaitReply:
            if (ec) return Finish(ClosedHow());
            if (replied_) return EndOutput([self = Self()] { self->Finish(self->ClosedHow()); });
            ArmDeadline(kCloseLinger, ClosedHow());
            if (!reading_) Read();
            return;
        case AfterClose::Finish:
            return EndOutput([self = Self()] { self->Finish(self->afterHow_); });
        case AfterClose::Linger:
            return Linger(afterHow_);
    }
}

template <class Stream>
template <class Then>
void WsSession<Stream>::EndOutput(Then then) {
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

template <class Stream>
void WsSession<Stream>::Recharge() {
    const std::size_t now =
        queuedBytes_ + reader_.buffered() + (stage_ ? kStageBytes : 0) + HeldBytes(stream_) +
        (!open_ && !finished_ ? std::max(kUpgradeReserve, buffer_.capacity()) : 0);
    budget_->used = budget_->used - charged_ + now;
    charged_ = now;
}

template <class Stream>
void WsSession<Stream>::Finish(const std::string& how) {
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

template <class Stream>
void WsSession<Stream>::ArmDeadline(std::chrono::steady_clock::duration after, std::string how) {
    if (!deadline_) deadline_.emplace(stream_.get_executor());
    deadline_->expires_after(after);
    deadline_->async_wait([self = Self(), how = std::move(how)](boost::system::error_code ec) {
        if (!ec && !self->finished_) self->Finish(how);
    });
}

template <class Stream>
void WsSession<Stream>::ReleaseDrainWaiter() {
    if (auto sender = std::move(drainWaiter_)) sender->ResumeReading();
}

template <class Stream>
void WsSession<Stream>::Abandon(std::string how) {
    if (!abandoned_) abandoned_ = std::make_unique<const std::string>(how);
    Drop();
    asio::post(stream_.get_executor(), [self = Self(), how = std::move(how)] {
        if (!self->reading_) self->Finish(how);
    });
}

template <class Stream>
void WsSession<Stream>::WatchWriteProgress() {
    if (watchingProgress_) return;
    watchingProgress_ = true;
    lastProgress_ = growingSince_ = Clock::now();
    growthBase_ = lastLook_ = queuedBytes_;
    ackedSeen_ = AckedBytes(LowestLayer(stream_).native_handle());
    if (!progressTimer_) progressTimer_.emplace(stream_.get_executor());
    ArmProgressTimer();
}

template <class Stream>
void WsSession<Stream>::ArmProgressTimer() {
    const auto period =
        std::max<Clock::duration>(owner_.stalledReaderTime() / 4, std::chrono::milliseconds(50));
    progressTimer_->expires_after(std::min<Clock::duration>(period, std::chrono::seconds(1)));
    progressTimer_->async_wait([self = Self()](boost::system::error_code ec) {
        if (ec || self->finished_) return;
        self->CheckWriteProgress();
    });
}

template <class Stream>
void WsSession<Stream>::CheckWriteProgress() {
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

}  // namespace kl::relay::detail
