#include "peer/frames.hpp"

#include <jpeglib.h>
#include <setjmp.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <stdexcept>

#include "screen/jpeg_check.hpp"

namespace kl::peer {

namespace {

constexpr unsigned char kApp15 = 0xEF;
constexpr std::size_t kStampSegment = 2 + 2 + 4 + 8;  // marker, length, "KLTS", time

std::string Segment(const char tag[4], const std::string& body) {
    const std::size_t length = 2 + 4 + body.size();
    std::string s{'\xFF', static_cast<char>(kApp15), static_cast<char>(length >> 8),
                  static_cast<char>(length & 0xFF)};
    s.append(tag, 4);
    return s + body;
}

}  // namespace

std::int64_t MonotonicNs() {
    return std::chrono::duration_cast<std::chrono::nanoseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

FrameSource FrameSource::FromFolder(const std::string& folder) {
    std::vector<std::filesystem::path> paths;
    for (const auto& entry : std::filesystem::directory_iterator(folder)) {
        auto ext = entry.path().extension().string();
        std::transform(ext.begin(), ext.end(), ext.begin(),
                       [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
        if (entry.is_regular_file() && (ext == ".jpg" || ext == ".jpeg"))
            paths.push_back(entry.path());
    }
    if (paths.empty()) throw std::runtime_error("no .jpg or .jpeg file in " + folder);
    std::sort(paths.begin(), paths.end());
    FrameSource source;
    for (const auto& path : paths) {
        std::ifstream in(path, std::ios::binary);
        std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        if (!in.good() && !in.eof()) throw std::runtime_error("cannot read " + path.string());
        source.frames_.push_back(std::move(bytes));
    }
    return source;
}

FrameSource FrameSource::TestPattern(int width, int height, int variants) {
    FrameSource source;
    for (int i = 0; i < variants; ++i)
        source.frames_.push_back(EncodePattern(width, height, i, 75));
    return source;
}

std::string FrameSource::Next(std::int64_t sendTimeNs, std::size_t minBytes) {
    const std::string& frame = frames_[next_++ % frames_.size()];
    if (frame.size() < 2) return frame;  // not a JPEG: sent as it is
    std::string stamp(8, '\0');
    for (int i = 0; i < 8; ++i)
        stamp[i] = static_cast<char>(static_cast<std::uint64_t>(sendTimeNs) >> (56 - 8 * i));
    std::string out = frame.substr(0, 2) + Segment("KLTS", stamp);
    // Padding after the stamp, in segments of at most 65535 bytes.
    std::size_t total = frame.size() + kStampSegment;
    while (total < minBytes) {
        // Each segment adds 8 bytes of header to its body; a body holds at most 65529 bytes.
        const std::size_t missing = minBytes - total;
        const std::size_t body = std::min<std::size_t>(65529, missing > 8 ? missing - 8 : 0);
        out += Segment("KLPD", std::string(body, '\0'));
        total += body + 8;
    }
    return out + frame.substr(2);
}

std::optional<std::int64_t> EmbeddedSendTime(const std::string& frame) {
    if (frame.size() < 2 + kStampSegment || static_cast<unsigned char>(frame[2]) != 0xFF ||
        static_cast<unsigned char>(frame[3]) != kApp15 || frame.compare(6, 4, "KLTS") != 0)
        return std::nullopt;
    std::uint64_t t = 0;
    for (int i = 0; i < 8; ++i) t = (t << 8) | static_cast<unsigned char>(frame[10 + i]);
    return static_cast<std::int64_t>(t);
}

namespace {
struct DecodeError {
    jpeg_error_mgr mgr;
    jmp_buf back;
};
}  // namespace

std::optional<std::uint32_t> ColourAt(const std::string& jpeg, int x, int y) {
    // libjpeg gets only what the viewer's own check lets through, so a frame cannot make it
    // work for long on few bytes.
    JpegFrameInfo info;
    if (!CheckJpegStructure(reinterpret_cast<const std::uint8_t*>(jpeg.data()), jpeg.size(), info))
        return std::nullopt;
    jpeg_decompress_struct cinfo{};
    DecodeError error{};
    cinfo.err = jpeg_std_error(&error.mgr);
    // libjpeg's default answer to a damaged file is to end the process.
    error.mgr.error_exit = [](j_common_ptr c) {
        longjmp(reinterpret_cast<DecodeError*>(c->err)->back, 1);
    };
    error.mgr.output_message = [](j_common_ptr) {};
    std::vector<unsigned char> row;
    std::optional<std::uint32_t> colour;
    if (setjmp(error.back) != 0) {
        jpeg_destroy_decompress(&cinfo);
        return std::nullopt;
    }
    jpeg_create_decompress(&cinfo);
    jpeg_mem_src(&cinfo, reinterpret_cast<const unsigned char*>(jpeg.data()),
                 static_cast<unsigned long>(jpeg.size()));
    jpeg_read_header(&cinfo, TRUE);
    cinfo.scale_num = 1;
    cinfo.scale_denom = 8;
    cinfo.out_color_space = JCS_RGB;
    jpeg_start_decompress(&cinfo);
    const int sx = x / 8, sy = y / 8;
    if (x >= 0 && y >= 0 && sx < static_cast<int>(cinfo.output_width) &&
        sy < static_cast<int>(cinfo.output_height)) {
        row.resize(static_cast<std::size_t>(cinfo.output_width) * 3);
        JSAMPROW rows[1] = {row.data()};
        while (static_cast<int>(cinfo.output_scanline) <= sy) jpeg_read_scanlines(&cinfo, rows, 1);
        const unsigned char* p = row.data() + sx * 3;
        colour = (std::uint32_t{p[0]} << 16) | (std::uint32_t{p[1]} << 8) | p[2];
    }
    jpeg_abort_decompress(&cinfo);
    jpeg_destroy_decompress(&cinfo);
    return colour;
}

std::string EncodePattern(int width, int height, int variant, int quality, bool progressive) {
    jpeg_compress_struct cinfo{};
    jpeg_error_mgr jerr{};
    cinfo.err = jpeg_std_error(&jerr);
    jpeg_create_compress(&cinfo);
    unsigned char* buffer = nullptr;
    unsigned long size = 0;
    jpeg_mem_dest(&cinfo, &buffer, &size);
    cinfo.image_width = static_cast<JDIMENSION>(width);
    cinfo.image_height = static_cast<JDIMENSION>(height);
    cinfo.input_components = 3;
    cinfo.in_color_space = JCS_RGB;
    jpeg_set_defaults(&cinfo);
    jpeg_set_quality(&cinfo, quality, TRUE);
    if (progressive) jpeg_simple_progression(&cinfo);
    jpeg_start_compress(&cinfo, TRUE);
    std::vector<unsigned char> row(static_cast<std::size_t>(width) * 3);
    const int barLeft = (variant * 37) % std::max(1, width);
    while (cinfo.next_scanline < cinfo.image_height) {
        const int y = static_cast<int>(cinfo.next_scanline);
        for (int x = 0; x < width; ++x) {
            const bool bar = x >= barLeft && x < barLeft + width / 10;
            row[x * 3 + 0] =
                bar ? 255 : static_cast<unsigned char>(x * 255 / std::max(1, width - 1));
            row[x * 3 + 1] =
                bar ? 255 : static_cast<unsigned char>(y * 255 / std::max(1, height - 1));
            row[x * 3 + 2] = bar ? 255 : static_cast<unsigned char>(((x / 32 + y / 32) % 2) * 160);
        }
        JSAMPROW rows[1] = {row.data()};
        jpeg_write_scanlines(&cinfo, rows, 1);
    }
    jpeg_finish_compress(&cinfo);
    std::string out(reinterpret_cast<const char*>(buffer), size);
    jpeg_destroy_compress(&cinfo);
    std::free(buffer);
    return out;
}

}  // namespace kl::peer
