#include "relay/connection/socket_progress.hpp"

#include <linux/tcp.h>
#include <netinet/in.h>
#include <sys/socket.h>

namespace kl::relay {

namespace {

tcp_info Info(int fd) {
    tcp_info info{};  // all zero when the kernel cannot say
    socklen_t size = sizeof info;
    if (getsockopt(fd, IPPROTO_TCP, TCP_INFO, &info, &size) != 0) return {};
    return info;
}

}  // namespace

std::uint64_t AckedBytes(int fd) {
    return Info(fd).tcpi_bytes_acked;
}

std::uint64_t ReceivedBytes(int fd) {
    return Info(fd).tcpi_bytes_received;
}

}  // namespace kl::relay
