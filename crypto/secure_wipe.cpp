#include "crypto/secure_wipe.hpp"

#include <cstring>

namespace kl {

void SecureWipe(void* data, std::size_t size) noexcept {
    if (data == nullptr || size == 0) return;
    std::memset(data, 0, size);
    // The barrier tells the compiler the zeros are read, so the store cannot be dropped.
    __asm__ __volatile__("" : : "r"(data) : "memory");
}

}  // namespace kl
