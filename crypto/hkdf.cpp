#include "crypto/hkdf.hpp"

#include <algorithm>
#include <cstring>
#include <stdexcept>
#include <vector>

#include "crypto/secure_wipe.hpp"

namespace kl {

void HkdfExpand(const std::uint8_t* prk32, const std::uint8_t* info, std::size_t infoLength,
                std::uint8_t* out, std::size_t outLength) {
    if (outLength > 8160 || infoLength > 4096) throw std::length_error("HKDF output too large");
    std::vector<std::uint8_t> work;
    work.reserve(infoLength + 33);
    std::uint8_t block[32] = {};
    struct WipeOnExit {
        std::vector<std::uint8_t>& work;
        std::uint8_t* block;
        ~WipeOnExit() {
            SecureWipe(work.data(), work.capacity());
            SecureWipe(block, 32);
        }
    } wipe{work, block};

    std::size_t produced = 0;
    for (unsigned counter = 1; produced < outLength; ++counter) {
        work.clear();
        if (counter > 1) work.insert(work.end(), block, block + 32);
        if (infoLength != 0) work.insert(work.end(), info, info + infoLength);
        work.push_back(static_cast<std::uint8_t>(counter));
        HmacSha256(prk32, 32, work.data(), work.size(), block);
        std::size_t take = std::min<std::size_t>(outLength - produced, 32);
        std::memcpy(out + produced, block, take);
        produced += take;
    }
}

}  // namespace kl
