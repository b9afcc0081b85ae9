#pragma once
// The buffer a WebSocket message is read into: a std::string of the message's own, handed on
// afterwards without a copy. While it is empty it lets Beast read only a small first piece, so
// the read that waits on an idle connection holds kFirstPiece bytes instead of a frame's 1536.
#include <sys/socket.h>

#include <algorithm>
#include <boost/asio/buffer.hpp>
#include <cstddef>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

namespace kl::relay {

// Storage of large messages comes back once the last write of a forwarded message is done, and
// the next large message is read into it: memory already mapped, instead of fresh pages from the
// kernel (faulted in and zeroed) for every frame. Bounded, and per thread.
class MessagePool {
  public:
    static constexpr std::size_t kSmallest = 64 * 1024;
    static constexpr std::size_t kLargest = 1024 * 1024;
    static constexpr std::size_t kKept = 16;

    // An empty string with room for `bytes`, when one is kept.
    static std::string Take(std::size_t bytes) {
        auto& kept = Kept();
        for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
            if (it->capacity() < bytes) continue;
            std::string s = std::move(*it);
            kept.erase(std::next(it).base());
            return s;
        }
        return {};
    }

    // The message, shared by the writes that forward it; its storage is kept when they are done.
    static std::shared_ptr<const std::string> Share(std::string&& message) {
        return {new std::string(std::move(message)), [](const std::string* s) {
                    auto& kept = Kept();
                    if (s->capacity() >= kSmallest && s->capacity() <= kLargest &&
                        kept.size() < kKept) {
                        kept.push_back(std::move(*const_cast<std::string*>(s)));
                        kept.back().clear();
                    }
                    delete s;
                }};
    }

  private:
    static std::vector<std::string>& Kept() {
        thread_local std::vector<std::string> kept;
        return kept;
    }
};

// The socket's receive low-water mark while a large message comes in: the relay wakes when a
// good piece of it is there instead of for every few kilobytes the sender's TCP delivers. Set
// from what the message still lacks, less what may already wait above the socket (Beast's frame
// buffer, a TLS record in OpenSSL's), so it never waits for bytes that are not coming; 1 again
// for a message's last piece and between messages. Never more than a small part of the socket's
// receive buffer: a mark the buffer cannot reach (its bytes count their kernel overhead too)
// leaves the sender stopped by a closed window and the relay waiting for a wake-up that the
// kernel never gives.
class LowWater {
  public:
    static constexpr std::size_t kLargest = 64 * 1024;
    static constexpr std::size_t kAbove = 20 * 1024;
    static constexpr std::size_t kSmallest = 16 * 1024;

    explicit LowWater(int fd) : fd_(fd) {
        int buffer = 0;  // what Linux reports: twice the size set, overhead included
        socklen_t size = sizeof buffer;
        if (getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, &size) == 0 && buffer > 0)
            largest_ = std::min(kLargest, static_cast<std::size_t>(buffer) / 8);
    }
    void Want(std::size_t bytes) {
        const std::size_t lacking = std::min(bytes, largest_);
        const int mark = lacking >= kSmallest + kAbove ? static_cast<int>(lacking - kAbove) : 1;
        if (mark != mark_) Set(mark);
    }
    void Reset() {
        if (mark_ != 1) Set(1);
    }

  private:
    void Set(int mark) {
        if (setsockopt(fd_, SOL_SOCKET, SO_RCVLOWAT, &mark, sizeof mark) == 0) mark_ = mark;
    }
    int fd_;
    std::size_t largest_ = 0;  // no mark at all when the buffer is unknown
    int mark_ = 1;
};

class MessageBuffer {
  public:
    using const_buffers_type = boost::asio::const_buffer;
    using mutable_buffers_type = boost::asio::mutable_buffer;

    static constexpr std::size_t kFirstPiece = 64;

    MessageBuffer(std::string& storage, LowWater* lowWater) : s_(storage), lowWater_(lowWater) {
        s_.clear();
    }
    // The string holds the message alone once reading is done.
    ~MessageBuffer() {
        if (s_.size() > size_) s_.resize(size_);
    }
    MessageBuffer(const MessageBuffer&) = delete;
    MessageBuffer& operator=(const MessageBuffer&) = delete;

    std::size_t size() const noexcept { return size_; }
    std::size_t max_size() const noexcept { return size_ == 0 ? kFirstPiece : s_.max_size(); }
    std::size_t capacity() const noexcept { return s_.capacity(); }
    const_buffers_type data() const noexcept { return {s_.data(), size_}; }

    // Beast asks for the rest of the frame on every read, however little the socket has. The
    // string keeps the size it grew to, so its bytes are zeroed once per message, not once per
    // read: growing it back after each read made every read cost what the message still lacks.
    mutable_buffers_type prepare(std::size_t n) {
        if (n > max_size() - size_) throw std::length_error("message buffer overflow");
        if (size_ > 0 && lowWater_ != nullptr) lowWater_->Want(n);
        const std::size_t need = size_ + n;
        if (need > s_.size()) {
            if (need > s_.capacity() && need >= MessagePool::kSmallest) {
                std::string kept = MessagePool::Take(need);
                if (kept.capacity() >= need) {
                    kept.assign(s_, 0, size_);
                    s_.swap(kept);
                }
            }
            s_.resize(need);
        }
        return {s_.data() + size_, n};
    }
    void commit(std::size_t n) noexcept { size_ += std::min(n, s_.size() - size_); }
    void consume(std::size_t n) {
        n = std::min(n, size_);
        s_.erase(0, n);
        size_ -= n;
    }

  private:
    std::string& s_;
    LowWater* lowWater_;
    std::size_t size_ = 0;
};

}  // namespace kl::relay
