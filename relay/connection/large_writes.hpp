#pragma once
// A completion condition for asio::async_write that hands the socket large pieces.
#include <boost/system/error_code.hpp>
#include <cstddef>

namespace kl::relay {

// asio::transfer_all gives the stream at most 64 KB per write: a 300 KB message then costs five
// system calls, each followed by a trip through the scheduler, and over TLS a record split
// across two of them. The kernel takes what it can of a larger piece in one call.
struct LargeWrites {
    static constexpr std::size_t kPiece = std::size_t{4} << 20;
    std::size_t operator()(const boost::system::error_code& ec, std::size_t) const {
        return ec ? 0 : kPiece;
    }
};

}  // namespace kl::relay
