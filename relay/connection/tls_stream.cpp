#include "relay/connection/tls_stream.hpp"

#include "relay/connection/message_pool.hpp"

#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/ssl.h>

#include <boost/asio/ssl/error.hpp>
#include <cstring>
#include <new>

namespace kl::relay {

namespace {

// One TLS record with its header and tag; reads grow to kLargeRead once they fill the buffer.
constexpr std::size_t kFirstRead = 16 * 1024 + 512;
constexpr std::size_t kLargeRead = 256 * 1024;

boost::system::error_code SslError(int result) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code != 0) return {static_cast<int>(code), boost::asio::error::get_ssl_category()};
    if (result == SSL_ERROR_ZERO_RETURN) return boost::asio::error::eof;
    return boost::asio::ssl::error::stream_truncated;
}

}  // namespace

// The BIO that connects OpenSSL to the stream's buffers.
struct TlsBio {
    static TlsStream& Stream(BIO* bio) { return *static_cast<TlsStream*>(BIO_get_data(bio)); }

    static int Create(BIO* bio) {
        BIO_set_init(bio, 1);
        return 1;
    }
    static int Write(BIO* bio, const char* data, int size) {
        BIO_clear_retry_flags(bio);
        Stream(bio).BioWrite(data, size);
        return size;
    }
    static int Read(BIO* bio, char* data, int size) {
        BIO_clear_retry_flags(bio);
        const int n = Stream(bio).BioRead(data, size);
        if (n == 0) {
            BIO_set_retry_read(bio);
            return -1;
        }
        return n;
    }
    static long Control(BIO*, int command, long, void*) {
        return command == BIO_CTRL_FLUSH ? 1 : 0;
    }

    static BIO_METHOD* Method() {
        static BIO_METHOD* const method = [] {
            BIO_METHOD* m =
                BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "kestrelink relay");
            if (m == nullptr || BIO_meth_set_create(m, Create) != 1 ||
                BIO_meth_set_write(m, Write) != 1 || BIO_meth_set_read(m, Read) != 1 ||
                BIO_meth_set_ctrl(m, Control) != 1)
                throw std::bad_alloc();
            return m;
        }();
        return method;
    }
};

TlsStream::TlsStream(boost::asio::ip::tcp::socket socket, boost::asio::ssl::context& context)
    : next_(std::move(socket)) {
    ssl_ = SSL_new(context.native_handle());
    BIO* bio = BIO_new(TlsBio::Method());
    if (ssl_ == nullptr || bio == nullptr) {
        BIO_free(bio);
        SSL_free(ssl_);
        throw std::bad_alloc();
    }
    BIO_set_data(bio, this);
    SSL_set_bio(ssl_, bio, bio);
    SSL_set_msg_callback(ssl_, &TlsStream::OnMessage);
    SSL_set_msg_callback_arg(ssl_, this);
    SSL_set_accept_state(ssl_);
    boost::system::error_code ignored;
    next_.non_blocking(true, ignored);
}

TlsStream::~TlsStream() {
    SSL_free(ssl_);
}

TlsStream::Step TlsStream::Handshake(error_code& ec) {
    sliceRecords_ = 0;
    ERR_clear_error();
    const int result = SSL_do_handshake(ssl_);
    if (result == 1) return Step::Ready;
    const int error = SSL_get_error(ssl_, result);
    if (error == SSL_ERROR_WANT_READ) return Step::WantRead;
    ec = SslError(error);
    return Step::Failed;
}

// Every record's header, and every handshake message after the handshake, passes here.
void TlsStream::OnMessage(int writing, int, int type, const void* data, std::size_t size, SSL*,
                          void* arg) {
    if (writing) return;
    auto& s = *static_cast<TlsStream*>(arg);
    if (type == SSL3_RT_HEADER) {
        ++s.sliceRecords_;
    } else if (type == SSL3_RT_HANDSHAKE && size > 0 &&
               static_cast<const unsigned char*>(data)[0] == SSL3_MT_KEY_UPDATE) {
        const auto now = std::chrono::steady_clock::now();
        const double seconds = std::chrono::duration<double>(now - s.keyUpdatesAt_).count();
        s.keyUpdatesAt_ = now;
        s.keyUpdates_ = std::min(kKeyUpdateBurst, s.keyUpdates_ + seconds * kKeyUpdatesPerSecond);
        if (s.keyUpdates_ < 1)
            s.flooded_ = true;
        else
            s.keyUpdates_ -= 1;
    }
}

TlsStream::Step TlsStream::Decrypt(void* data, std::size_t size, std::size_t& got, error_code& ec) {
    auto* at = static_cast<unsigned char*>(data);
    got = 0;
    sliceRecords_ = 0;
    ERR_clear_error();  // once: a record read well leaves the queue as it was
    while (got < size) {
        std::size_t n = 0;
        const int result = SSL_read_ex(ssl_, at + got, size - got, &n);
        if (flooded_) {
            ec = make_error_code(boost::system::errc::protocol_error);
            return Step::Failed;
        }
        if (result == 1) {
            got += n;
            continue;
        }
        const int error = SSL_get_error(ssl_, result);
        if (error == SSL_ERROR_WANT_READ)
            return sliceRecords_ >= kSliceRecords && inTail_ > inHead_ ? Step::Sliced
                                                                       : Step::WantRead;
        ec = SslError(error);
        return Step::Failed;
    }
    return Step::Ready;
}

bool TlsStream::Encrypt(const void* data, std::size_t size, error_code& ec) {
    ERR_clear_error();
    std::size_t written = 0;
    const int result = SSL_write_ex(ssl_, data, size, &written);
    if (result == 1 && written == size) return true;
    ec = SslError(SSL_get_error(ssl_, result));
    return false;
}

bool TlsStream::EncryptJoined(const void* first, std::size_t firstSize, const void* second,
                              std::size_t secondSize, error_code& ec) {
    thread_local std::vector<unsigned char> joint;
    joint.resize(firstSize + secondSize);
    std::memcpy(joint.data(), first, firstSize);
    std::memcpy(joint.data() + firstSize, second, secondSize);
    return Encrypt(joint.data(), joint.size(), ec);
}

void TlsStream::QueueShutdown() {
    ERR_clear_error();
    SSL_shutdown(ssl_);
    ERR_clear_error();
}

int TlsStream::BioRead(char* data, int size) {
    // The slice is over, or the client floods: what is left waits (or is never read).
    if (sliceRecords_ >= kSliceRecords || flooded_) return 0;
    const std::size_t n = std::min<std::size_t>(static_cast<std::size_t>(size), inTail_ - inHead_);
    if (n == 0) return 0;
    std::memcpy(data, in_.get() + inHead_, n);
    inHead_ += n;
    if (inHead_ == inTail_) inHead_ = inTail_ = 0;
    return static_cast<int>(n);
}

boost::asio::mutable_buffer TlsStream::InputSpace() {
    if (inHead_ > 0) {
        std::memmove(in_.get(), in_.get() + inHead_, inTail_ - inHead_);
        inTail_ -= inHead_;
        inHead_ = 0;
    }
    if (!in_) Grow(kFirstRead);
    return boost::asio::buffer(in_.get() + inTail_, inSize_ - inTail_);
}

void TlsStream::Received(std::size_t n) {
    inTail_ += n;
    if (inTail_ == inSize_ && inSize_ < kLargeRead &&
        (budget_ == nullptr || budget_->Fits(kLargeRead - inSize_)))
        Grow(kLargeRead);
}

// Not zeroed: every byte read is written by the socket first.
void TlsStream::Grow(std::size_t size) {
    auto bigger = std::make_unique_for_overwrite<unsigned char[]>(size);
    if (inTail_ > 0) std::memcpy(bigger.get(), in_.get(), inTail_);
    in_ = std::move(bigger);
    inSize_ = size;
}

void TlsStream::ReleaseInput() {
    if (inHead_ != inTail_) return;
    in_.reset();
    inSize_ = inHead_ = inTail_ = 0;
    ReleaseRecordBuffers();
}

// OpenSSL's own mode for this frees and allocates its read buffer for every record; here its
// buffers go back once a message is written or the connection waits for input. Nothing is freed
// while a record is half read: OpenSSL refuses then, but before 3.0.14 it freed a decrypted
// record that was still being read, so that is checked here too.
void TlsStream::ReleaseRecordBuffers() {
    if (SSL_pending(ssl_) > 0) return;
    SSL_free_buffers(ssl_);
}

void TlsStream::ReserveOutput(std::size_t plaintext) {
    static constexpr std::size_t kRecordOverhead = 64;  // header, tag, more
    const std::size_t room = out_.size() + plaintext + (plaintext / kRecord + 2) * kRecordOverhead;
    if (out_.capacity() >= room) return;
    if (out_.empty() && room >= MessagePool::kSmallest) {  // a short write takes no large storage
        MessagePool::Keep(std::move(out_));
        out_ = MessagePool::Take(room);
    }
    out_.reserve(room);
}

void TlsStream::ReleaseOutput() {
    ReleaseRecordBuffers();
    if (out_.empty()) {
        MessagePool::Keep(std::move(out_));
        out_ = std::string();
    }
    MessagePool::Keep(std::move(sending_));
    sending_ = std::string();
}

boost::asio::const_buffer TlsStream::TakeOutput() {
    sending_.swap(out_);
    out_.clear();
    return boost::asio::buffer(sending_);
}

void TlsStream::Sent() {
    writing_ = false;
    sending_.clear();
}

bool TlsStream::FlushFromRead(error_code& ec) {
    if (out_.empty()) return true;
    // While a write is under way what reading made waits for it, and is held to the same cap:
    // a client that reads nothing holds a write open for as long as it likes.
    if (!writing_) {
        boost::system::error_code ignored;
        const std::size_t n = next_.write_some(boost::asio::buffer(out_), ignored);
        if (!ignored) out_.erase(0, n);
    }
    if (out_.size() <= kMaxReadOutput) return true;
    ec = boost::asio::error::no_buffer_space;
    return false;
}

boost::system::error_code TlsStream::ReadError(const error_code& socketError) const {
    if (socketError == boost::asio::error::eof) return boost::asio::ssl::error::stream_truncated;
    return socketError;
}

bool TlsStream::HasInput() const {
    return inTail_ > inHead_ || SSL_pending(ssl_) > 0;
}

}  // namespace kl::relay
