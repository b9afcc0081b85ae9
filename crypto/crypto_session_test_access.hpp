#pragma once
// For tests and benchmarks only: moves a session's send counter to where real traffic cannot reach
// in a test.
#include <cstdint>

#include "crypto/crypto_session.hpp"

namespace kl {

struct CryptoSessionTestAccess {
    static void SetSendSequence(CryptoSession& session, std::uint64_t value);
    static void SetReceiveSequence(CryptoSession& session, std::uint64_t value);
};

}  // namespace kl
