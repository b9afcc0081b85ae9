#pragma once
// How far the peer's TCP has taken a connection's output, to tell a slow reader from one that
// stopped, and whether a client's input still arrives while no read wakes for it. Apart from the
// Beast code because it needs the kernel's own tcp_info.
#include <cstdint>

namespace kl::relay {

// Bytes of this socket's output the peer has acknowledged so far; 0 when the kernel cannot say.
std::uint64_t AckedBytes(int fd);
// Bytes this socket has received so far, read or not; 0 when the kernel cannot say.
std::uint64_t ReceivedBytes(int fd);

}  // namespace kl::relay
