#pragma once
#include <sys/socket.h>

#include <algorithm>
#include <cstddef>

namespace kl::relay {

// The socket's receive low-water mark while a large message comes in: the relay wakes when a
// good piece of it is there instead of for every few kilobytes the sender's TCP delivers (each
// wake-up costs more than the reads it saves). Set from what the message still lacks, less what
// may already wait above the socket (a TLS record in the stream's buffers), so it never waits for
// bytes that are not coming; 1 again for a message's last piece and between messages. Never more
// than a third of the socket's receive buffer as the kernel reports it, well within what the
// buffer holds of a sender's bytes (they count their kernel overhead too): a mark the buffer
// cannot reach would leave the sender stopped by a closed window and the relay waiting.
class LowWater {
  public:
    static constexpr std::size_t kLargest = 160 * 1024;
    static constexpr std::size_t kAbove = 20 * 1024;
    static constexpr std::size_t kSmallest = 16 * 1024;

    explicit LowWater(int fd) : fd_(fd) {
        int buffer = 0;  // what Linux reports: twice the size set, overhead included
        socklen_t size = sizeof buffer;
        if (getsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &buffer, &size) == 0 && buffer > 0)
            largest_ = std::min(kLargest, static_cast<std::size_t>(buffer) / 3);
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

}  // namespace kl::relay
