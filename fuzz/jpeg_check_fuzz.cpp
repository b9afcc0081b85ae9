// Arbitrary bytes through the frame structure check: it must never read out of bounds, and
// what it accepts must hold a frame within the limits.
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "screen/jpeg_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kl::JpegFrameInfo info;
    if (kl::CheckJpegStructure(data, size, info)) {
        if (info.width < 1 || info.width > kl::kMaxFrameWidth || info.height < 1 || info.height > kl::kMaxFrameHeight)
            std::abort();
        if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) std::abort();
    }
    return 0;
}
