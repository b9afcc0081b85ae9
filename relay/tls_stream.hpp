#pragma once
// TLS under the relay's WebSocket sessions. OpenSSL reads ciphertext from and writes it to this
// object's own buffers: a large message leaves as all its records in one socket write and arrives
// through reads as large as the socket has ready. Asio's stream goes through a 17 KB BIO pair
// instead, one socket operation and two extra copies for every 16 KB record.
#include <boost/asio/compose.hpp>
#include <boost/asio/coroutine.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/ssl/context.hpp>
#include <boost/asio/ssl/stream_base.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <algorithm>
#include <chrono>
#include <cstddef>
#include <memory>
#include <string>

#include "relay/large_writes.hpp"
#include "relay/session.hpp"

typedef struct ssl_st SSL;

namespace kl::relay {

class TlsStream {
  public:
    using next_layer_type = boost::asio::ip::tcp::socket;
    using executor_type = next_layer_type::executor_type;
    using error_code = boost::system::error_code;

    TlsStream(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& context);
    ~TlsStream();
    TlsStream(const TlsStream&) = delete;
    TlsStream& operator=(const TlsStream&) = delete;

    executor_type get_executor() noexcept { return next_.get_executor(); }
    // Reads grow their buffer only while the budget has room for it; null: always.
    void SetBudget(const MemoryBudget* budget) { budget_ = budget; }
    // What the stream holds of its own: ciphertext received and not yet decrypted, and that of
    // a write under way.
    std::size_t heldBytes() const { return inSize_ + out_.capacity() + sending_.capacity(); }
    next_layer_type& next_layer() noexcept { return next_; }

    // Only the server's side: the relay never connects out.
    template <class Handler>
    auto async_handshake(boost::asio::ssl::stream_base::handshake_type, Handler&& handler) {
        return boost::asio::async_compose<Handler, void(error_code)>(HandshakeOp(*this), handler,
                                                                     next_);
    }

    template <class MutableBuffers, class Handler>
    auto async_read_some(const MutableBuffers& buffers, Handler&& handler) {
        return boost::asio::async_compose<Handler, void(error_code, std::size_t)>(
            ReadOp<MutableBuffers>(*this, buffers), handler, next_);
    }

    // Encrypts up to kMaxWrite bytes of the buffers and writes all their records at once.
    template <class ConstBuffers, class Handler>
    auto async_write_some(const ConstBuffers& buffers, Handler&& handler) {
        return boost::asio::async_compose<Handler, void(error_code, std::size_t)>(
            WriteOp<ConstBuffers>(*this, buffers), handler, next_);
    }

    // Sends close_notify; does not wait for the peer's.
    template <class Handler>
    auto async_shutdown(Handler&& handler) {
        return boost::asio::async_compose<Handler, void(error_code)>(ShutdownOp(*this), handler,
                                                                     next_);
    }

    // Completes once a read would find something: decrypted or undecrypted bytes already held,
    // or the socket readable. An idle connection waits here holding no read buffer.
    template <class Handler>
    void async_wait_readable(Handler&& handler) {
        if (HasInput())
            return boost::asio::post(
                next_.get_executor(),
                [h = std::forward<Handler>(handler)]() mutable { h(error_code()); });
        ReleaseInput();
        next_.async_wait(next_layer_type::wait_read, std::forward<Handler>(handler));
    }

  private:
    // The ciphertext of one write waits here until the socket takes it, for as long as a slow
    // reader needs: a frame is written a quarter-megabyte at a time (a 300 KB screen picture in
    // two writes), not all at once.
    static constexpr std::size_t kMaxWrite = 256 * 1024;
    static constexpr std::size_t kRecord = 16 * 1024;  // the largest plaintext of a TLS record
    // One read decrypts at most this many records before others run: a flood of tiny records
    // or key updates costs its sender turns, not the relay's one thread.
    static constexpr int kSliceRecords = 32;
    // Output that reading makes (key update answers, alerts) and that the client does not take.
    static constexpr std::size_t kMaxReadOutput = 64 * 1024;
    // Key updates a client may ask for: a burst, then a few a second.
    static constexpr double kKeyUpdateBurst = 64, kKeyUpdatesPerSecond = 16;
    enum class Step { Ready, WantRead, Sliced, Failed };

    Step Handshake(error_code& ec);
    // Decrypts into [data, data + size) what the buffered ciphertext holds, several records at
    // once.
    Step Decrypt(void* data, std::size_t size, std::size_t& got, error_code& ec);
    bool Encrypt(const void* data, std::size_t size, error_code& ec);
    // Two pieces in one record: a frame's header and the start of its payload.
    bool EncryptJoined(const void* first, std::size_t firstSize, const void* second,
                       std::size_t secondSize, error_code& ec);

    // Encrypts up to kMaxWrite bytes of the buffers; a short piece shares its record with the
    // start of the next rather than making a record of its own.
    template <class ConstBuffers>
    bool EncryptBuffers(const ConstBuffers& buffers, std::size_t& total, error_code& ec) {
        static constexpr std::size_t kShortPiece = 64;
        ReserveOutput(std::min(boost::asio::buffer_size(buffers), kMaxWrite));
        const auto end = boost::asio::buffer_sequence_end(buffers);
        for (auto it = boost::asio::buffer_sequence_begin(buffers);
             it != end && total < kMaxWrite;) {
            const boost::asio::const_buffer b = *it++;
            const std::size_t n = std::min(b.size(), kMaxWrite - total);
            if (n == 0) continue;
            std::size_t joined = 0;
            if (n <= kShortPiece && it != end) {
                const boost::asio::const_buffer next = *it;
                joined = std::min({next.size(), kRecord - n, kMaxWrite - total - n});
                if (joined > 0) {
                    if (!EncryptJoined(b.data(), n, next.data(), joined, ec)) return false;
                    total += n + joined;
                    ++it;
                    const std::size_t rest = std::min(next.size() - joined, kMaxWrite - total);
                    if (rest > 0 &&
                        !Encrypt(static_cast<const char*>(next.data()) + joined, rest, ec))
                        return false;
                    total += rest;
                    continue;
                }
            }
            if (!Encrypt(b.data(), n, ec)) return false;
            total += n;
        }
        return true;
    }
    void QueueShutdown();
    boost::asio::mutable_buffer InputSpace();
    void Received(std::size_t n);
    void Grow(std::size_t size);
    void ReleaseInput();
    void ReleaseRecordBuffers();
    // Room for the records of `plaintext` bytes at once, so that the ciphertext does not grow
    // (and copy itself) record by record; from the thread's pool of message storage, and given
    // back to it once written, with OpenSSL's buffers: a connection that sent a large message does
    // not keep its size.
    void ReserveOutput(std::size_t plaintext);
    void ReleaseOutput();
    bool HasInput() const;
    // Output made while reading (alerts, key updates) goes out when no write is on the socket;
    // false when too much of it waits for a client that does not read.
    bool FlushFromRead(error_code& ec);
    bool HasOutput() const { return !out_.empty(); }
    boost::asio::const_buffer TakeOutput();
    void Sent();
    error_code ReadError(const error_code& socketError) const;

    friend struct TlsBio;
    static void OnMessage(int writing, int version, int type, const void* data, std::size_t size,
                          SSL* ssl, void* stream);
    int BioRead(char* data, int size);
    void BioWrite(const char* data, int size) { out_.append(data, static_cast<std::size_t>(size)); }

    // Completes without running the handler inside the call that started the operation.
    template <class Self, class... Args>
    static void Finish(Self& self, bool suspended, Args... args) {
        if (suspended) return self.complete(args...);
        auto executor = self.get_executor();
        boost::asio::post(executor,
                          [self = std::move(self), args...]() mutable { self.complete(args...); });
    }

    struct HandshakeOp : boost::asio::coroutine {
        explicit HandshakeOp(TlsStream& stream) : s(stream) {}
        TlsStream& s;
        bool suspended = false;
        Step step = Step::WantRead;
        error_code result;

        template <class Self>
        void operator()(Self& self, error_code ec = {}, std::size_t n = 0) {
            BOOST_ASIO_CORO_REENTER(*this) {
                for (;;) {
                    step = s.Handshake(result);
                    if (s.HasOutput()) {
                        s.writing_ = true;
                        suspended = true;
                        BOOST_ASIO_CORO_YIELD boost::asio::async_write(
                            s.next_, s.TakeOutput(), LargeWrites{}, std::move(self));
                        s.Sent();
                        if (ec) return self.complete(ec);
                    }
                    if (step != Step::WantRead) break;
                    suspended = true;
                    BOOST_ASIO_CORO_YIELD s.next_.async_read_some(s.InputSpace(), std::move(self));
                    if (ec) return self.complete(s.ReadError(ec));
                    s.Received(n);
                }
                Finish(self, suspended, result);
            }
        }
    };

    template <class MutableBuffers>
    struct ReadOp : boost::asio::coroutine {
        ReadOp(TlsStream& stream, const MutableBuffers& b) : s(stream), buffers(b) {}
        TlsStream& s;
        MutableBuffers buffers;
        bool suspended = false;
        std::size_t total = 0;
        Step step = Step::Ready;
        error_code result;

        template <class Self>
        void operator()(Self& self, error_code ec = {}, std::size_t n = 0) {
            BOOST_ASIO_CORO_REENTER(*this) {
                for (;;) {
                    step = Step::Ready;
                    for (auto it = boost::asio::buffer_sequence_begin(buffers);
                         it != boost::asio::buffer_sequence_end(buffers) && step == Step::Ready;
                         ++it) {
                        const boost::asio::mutable_buffer b = *it;
                        std::size_t got = 0;
                        step = s.Decrypt(b.data(), b.size(), got, result);
                        total += got;
                        if (got < b.size()) break;
                    }
                    if (step != Step::Failed && !s.FlushFromRead(result)) step = Step::Failed;
                    if (total > 0 || step == Step::Failed || boost::asio::buffer_size(buffers) == 0)
                        break;
                    if (step == Step::Sliced) {
                        // Records that held no data: the rest after the others' turn.
                        suspended = true;
                        BOOST_ASIO_CORO_YIELD boost::asio::post(s.next_.get_executor(),
                                                                std::move(self));
                        continue;
                    }
                    suspended = true;
                    BOOST_ASIO_CORO_YIELD s.next_.async_read_some(s.InputSpace(), std::move(self));
                    if (ec) {
                        result = s.ReadError(ec);
                        break;
                    }
                    s.Received(n);
                }
                // Bytes already decrypted are delivered; a failure after them shows on the next
                // read.
                Finish(self, suspended, total > 0 ? error_code() : result, total);
            }
        }
    };

    template <class ConstBuffers>
    struct WriteOp : boost::asio::coroutine {
        WriteOp(TlsStream& stream, const ConstBuffers& b) : s(stream), buffers(b) {}
        TlsStream& s;
        ConstBuffers buffers;
        std::size_t total = 0;

        template <class Self>
        void operator()(Self& self, error_code ec = {}, std::size_t = 0) {
            BOOST_ASIO_CORO_REENTER(*this) {
                if (!s.EncryptBuffers(buffers, total, ec))
                    return Finish(self, false, ec, std::size_t{0});
                while (s.HasOutput()) {
                    s.writing_ = true;
                    BOOST_ASIO_CORO_YIELD boost::asio::async_write(s.next_, s.TakeOutput(),
                                                                   LargeWrites{}, std::move(self));
                    s.Sent();
                    if (ec) return self.complete(ec, std::size_t{0});
                }
                s.ReleaseOutput();
                if (total == 0) return Finish(self, false, ec, total);
                self.complete(ec, total);
            }
        }
    };

    struct ShutdownOp : boost::asio::coroutine {
        explicit ShutdownOp(TlsStream& stream) : s(stream) {}
        TlsStream& s;

        template <class Self>
        void operator()(Self& self, error_code ec = {}, std::size_t = 0) {
            BOOST_ASIO_CORO_REENTER(*this) {
                s.QueueShutdown();
                if (s.writing_ || !s.HasOutput()) return Finish(self, false, error_code());
                s.writing_ = true;
                BOOST_ASIO_CORO_YIELD boost::asio::async_write(s.next_, s.TakeOutput(),
                                                               LargeWrites{}, std::move(self));
                s.Sent();
                self.complete(ec);
            }
        }
    };

    next_layer_type next_;
    SSL* ssl_ = nullptr;
    // Ciphertext received, not yet read by OpenSSL; given back while the connection waits.
    std::unique_ptr<unsigned char[]> in_;
    std::size_t inSize_ = 0, inHead_ = 0, inTail_ = 0;
    std::string out_;      // ciphertext made, not yet on the socket
    std::string sending_;  // ciphertext on the socket now
    bool writing_ = false;
    const MemoryBudget* budget_ = nullptr;
    int sliceRecords_ = 0;  // records begun in this read's slice
    bool flooded_ = false;  // key updates asked faster than allowed
    double keyUpdates_ = kKeyUpdateBurst;
    std::chrono::steady_clock::time_point keyUpdatesAt_ = std::chrono::steady_clock::now();
};

}  // namespace kl::relay
