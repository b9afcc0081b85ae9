#pragma once
// The buffer a WebSocket message is read into: a std::string of the message's own, handed on
// afterwards without a copy. While it is empty it lets Beast read only a small first piece, so
// the read that waits on an idle connection holds kFirstPiece bytes instead of a frame's 1536.
#include <boost/asio/buffer.hpp>
#include <algorithm>
#include <cstddef>
#include <stdexcept>
#include <string>

namespace kl::relay {

class MessageBuffer {
public:
    using const_buffers_type = boost::asio::const_buffer;
    using mutable_buffers_type = boost::asio::mutable_buffer;

    static constexpr std::size_t kFirstPiece = 64;

    explicit MessageBuffer(std::string& storage) : s_(storage) { s_.clear(); }

    std::size_t size() const noexcept { return size_; }
    std::size_t max_size() const noexcept { return size_ == 0 ? kFirstPiece : s_.max_size(); }
    std::size_t capacity() const noexcept { return s_.capacity(); }
    const_buffers_type data() const noexcept { return {s_.data(), size_}; }

    mutable_buffers_type prepare(std::size_t n) {
        if (n > max_size() - size_) throw std::length_error("message buffer overflow");
        s_.resize(size_ + n);
        return {s_.data() + size_, n};
    }
    void commit(std::size_t n) noexcept {
        size_ += std::min(n, s_.size() - size_);
        s_.resize(size_);
    }
    void consume(std::size_t n) {
        n = std::min(n, size_);
        s_.erase(0, n);
        size_ -= n;
    }

private:
    std::string& s_;
    std::size_t size_ = 0;
};

}  // namespace kl::relay
