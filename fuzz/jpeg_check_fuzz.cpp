// Arbitrary bytes through the frame structure check and the metadata stripping: neither may
// read out of bounds, what the check accepts must hold a frame within the limits, and what is
// left for the decoder must pass the check alike and hold no segment that stripping would remove.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "screen/jpeg_check.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    kl::JpegFrameInfo info;
    const bool accepted = kl::CheckJpegStructure(data, size, info);
    if (accepted) {
        if (info.width < 1 || info.width > kl::kMaxFrameWidth || info.height < 1 ||
            info.height > kl::kMaxFrameHeight)
            std::abort();
        if (size < 4 || data[0] != 0xFF || data[1] != 0xD8) std::abort();
    }
    std::vector<kl::ByteRange> ranges;
    if (!kl::JpegRangesWithoutMetadata(data, size, ranges)) {
        if (!ranges.empty()) std::abort();
        return 0;
    }
    std::vector<std::uint8_t> kept;
    std::size_t end = 0;
    for (const kl::ByteRange& r : ranges) {
        if (r.length == 0 || r.offset < end || r.offset > size || r.length > size - r.offset)
            std::abort();
        end = r.offset + r.length;
        kept.insert(kept.end(), data + r.offset, data + end);
    }
    if (!accepted) return 0;
    kl::JpegFrameInfo again;
    if (!kl::CheckJpegStructure(kept.data(), kept.size(), again) || again.width != info.width ||
        again.height != info.height || again.components != info.components)
        std::abort();
    std::vector<kl::ByteRange> twice;
    if (!kl::JpegRangesWithoutMetadata(kept.data(), kept.size(), twice) || twice.size() != 1 ||
        twice[0].offset != 0 || twice[0].length != kept.size())
        std::abort();
    return 0;
}
