#include "relay/ws_frame.hpp"

#include <algorithm>
#include <cstring>

#if defined(__SSE2__)
#include <emmintrin.h>
#endif

#include "base/utf8.hpp"
#include "relay/message_pool.hpp"

namespace kl::relay::ws {

void Unmask(char* data, std::size_t size, const std::array<std::uint8_t, 4>& key,
            std::size_t phase) {
    // The key turned so that its byte `phase` meets data[0], repeated to 16 bytes.
    std::uint8_t turned[16];
    for (std::size_t i = 0; i < sizeof turned; ++i) turned[i] = key[(phase + i) & 3];
    std::size_t i = 0;
#if defined(__SSE2__)
    const __m128i mask = _mm_loadu_si128(reinterpret_cast<const __m128i*>(turned));
    for (; i + 64 <= size; i += 64) {
        auto* at = reinterpret_cast<__m128i*>(data + i);
        _mm_storeu_si128(at, _mm_xor_si128(_mm_loadu_si128(at), mask));
        _mm_storeu_si128(at + 1, _mm_xor_si128(_mm_loadu_si128(at + 1), mask));
        _mm_storeu_si128(at + 2, _mm_xor_si128(_mm_loadu_si128(at + 2), mask));
        _mm_storeu_si128(at + 3, _mm_xor_si128(_mm_loadu_si128(at + 3), mask));
    }
#endif
    std::uint64_t word;
    std::memcpy(&word, turned, sizeof word);
    for (; i + 8 <= size; i += 8) {
        std::uint64_t chunk;
        std::memcpy(&chunk, data + i, sizeof chunk);
        chunk ^= word;
        std::memcpy(data + i, &chunk, sizeof chunk);
    }
    for (; i < size; ++i) data[i] = static_cast<char>(data[i] ^ turned[i & 7]);
}

std::size_t ServerHeader(std::uint8_t opcode, std::uint64_t length,
                         std::array<std::uint8_t, 10>& out) {
    out[0] = static_cast<std::uint8_t>(0x80 | opcode);
    if (length < 126) {
        out[1] = static_cast<std::uint8_t>(length);
        return 2;
    }
    if (length <= 0xFFFF) {
        out[1] = 126;
        out[2] = static_cast<std::uint8_t>(length >> 8);
        out[3] = static_cast<std::uint8_t>(length);
        return 4;
    }
    out[1] = 127;
    for (int i = 0; i < 8; ++i) out[2 + i] = static_cast<std::uint8_t>(length >> (56 - 8 * i));
    return 10;
}

std::string ClosePayload(std::uint16_t code) {
    return {static_cast<char>(code >> 8), static_cast<char>(code & 0xFF)};
}

namespace {

bool IsControl(std::uint8_t opcode) {
    return (opcode & 0x8) != 0;
}

// Codes a peer may send in a close frame: the defined ones and those for applications.
bool IsSendableCloseCode(std::uint16_t code) {
    return (code >= 1000 && code <= 1003) || (code >= 1007 && code <= 1014) ||
           (code >= 3000 && code <= 4999);
}

}  // namespace

std::size_t MessageReader::Consume(const char* data, std::size_t size) {
    event_ = Event::None;
    std::size_t used = 0;
    while (used < size && event_ == Event::None) {
        const std::size_t have = size - used;
        switch (state_) {
            case State::Header:
                used += ParseHeader(data + used, have);
                break;
            case State::DataPayload: {
                const std::size_t n = std::min(PayloadLeft(), have);
                if (n == 0) return used;  // out of room: the caller grows it
                std::memcpy(Space(), data + used, n);
                used += n;
                Filled(n);
                break;
            }
            case State::ControlPayload: {
                const auto n = static_cast<std::size_t>(std::min<std::uint64_t>(left_, have));
                const std::size_t at = control_.size();
                control_.append(data + used, n);
                Unmask(control_.data() + at, n, key_, phase_);
                phase_ = (phase_ + n) & 3;
                left_ -= n;
                used += n;
                if (left_ == 0) FrameDone();
                break;
            }
        }
    }
    return used;
}

std::size_t MessageReader::ParseHeader(const char* data, std::size_t size) {
    // Takes no more than the header: what follows is payload the caller may route elsewhere.
    std::size_t need = 2;
    std::size_t used = 0;
    for (;;) {
        if (headerHave_ >= 2) {
            const std::uint8_t length7 = header_[1] & 0x7F;
            need = 2 + (length7 == 126 ? 2 : length7 == 127 ? 8 : 0) + 4;
        }
        if (headerHave_ == need) break;
        if (used == size) return used;
        header_[headerHave_++] = static_cast<std::uint8_t>(data[used++]);
        if (headerHave_ != 2) continue;
        // The first two bytes decide whether the frame is acceptable at all.
        const std::uint8_t opcode = header_[0] & 0x0F;
        const bool fin = (header_[0] & 0x80) != 0;
        const bool known = opcode <= kBinary || (opcode >= kClose && opcode <= kPong);
        if ((header_[0] & 0x70) != 0 || !known || (header_[1] & 0x80) == 0) {
            Fail(kProtocolError);  // extension bits, unknown opcodes, an unmasked client frame
            return used;
        }
        if (IsControl(opcode) ? (!fin || (header_[1] & 0x7F) > 125)
                              : ((opcode == kContinuation) != inMessage_)) {
            Fail(kProtocolError);
            return used;
        }
    }
    headerHave_ = 0;
    opcode_ = header_[0] & 0x0F;
    fin_ = (header_[0] & 0x80) != 0;
    const std::uint8_t length7 = header_[1] & 0x7F;
    std::size_t at = 2;
    std::uint64_t length = length7;
    if (length7 >= 126) {
        const std::size_t bytes = length7 == 126 ? 2 : 8;
        length = 0;
        for (std::size_t i = 0; i < bytes; ++i) length = (length << 8) | header_[at++];
        // Only the shortest form of a length, and no 64-bit length with its top bit set.
        if ((length7 == 126 && length < 126) ||
            (length7 == 127 && (length <= 0xFFFF || (length >> 63) != 0))) {
            Fail(kProtocolError);
            return used;
        }
    }
    std::copy_n(header_.begin() + at, 4, key_.begin());
    phase_ = 0;
    left_ = length;
    if (IsControl(opcode_)) {
        control_.clear();
        state_ = State::ControlPayload;
    } else {
        if (opcode_ != kContinuation) {
            inMessage_ = true;
            text_ = opcode_ == kText;
            size_ = 0;
        }
        const std::size_t limit = text_ ? std::min(max_, maxText_) : max_;
        if (length > limit - std::min(limit, size_)) {
            Fail(kTooBig);  // refused as the header arrives, before anything is buffered
            return used;
        }
        state_ = State::DataPayload;
    }
    if (left_ == 0) FrameDone();
    return used;
}

std::size_t MessageReader::NextRoom() const {
    const std::uint64_t end = size_ + left_;
    return static_cast<std::size_t>(
        std::min<std::uint64_t>(end, std::max(size_ + kRoomStep, 2 * size_)));
}

std::size_t MessageReader::RoomWanted() const {
    if (!NeedsRoom()) return 0;
    const std::size_t target = NextRoom(), capacity = message_.capacity();
    if (target <= capacity) return 0;
    // std::string at least doubles what it had when it grows.
    return std::max(target, 2 * capacity) - capacity;
}

void MessageReader::Grow() {
    const std::size_t target = NextRoom();
    if (target <= message_.size()) return;
    if (target > message_.capacity() && target >= MessagePool::kSmallest) {
        std::string kept = MessagePool::Take(target);
        if (kept.capacity() >= target) {
            kept.assign(message_, 0, size_);
            message_.swap(kept);
        }
    }
    message_.resize(target);
}

MessageReader::Event MessageReader::Filled(std::size_t n) {
    event_ = Event::None;
    Unmask(message_.data() + size_, n, key_, phase_);
    phase_ = (phase_ + n) & 3;
    size_ += n;
    left_ -= n;
    if (left_ == 0) FrameDone();
    return event_;
}

MessageReader::Event MessageReader::FrameDone() {
    state_ = State::Header;
    switch (opcode_) {
        case kPing:
            return event_ = Event::Ping;
        case kPong:
            return event_ = Event::Pong;
        case kClose:
            if (control_.empty()) {
                code_ = 1005;  // none given
                return event_ = Event::Close;
            }
            if (control_.size() < 2) return Fail(kProtocolError);
            code_ = static_cast<std::uint16_t>((static_cast<std::uint8_t>(control_[0]) << 8) |
                                               static_cast<std::uint8_t>(control_[1]));
            if (!IsSendableCloseCode(code_)) return Fail(kProtocolError);
            if (!IsUtf8(std::string_view(control_).substr(2))) return Fail(kInvalidPayload);
            return event_ = Event::Close;
        default:
            if (!fin_) return event_;
            inMessage_ = false;
            if (text_ && !IsUtf8(std::string_view(message_.data(), size_)))
                return Fail(kInvalidPayload);
            return event_ = Event::Message;
    }
}

MessageReader::Event MessageReader::Fail(std::uint16_t code) {
    code_ = code;
    return event_ = Event::Fail;
}

std::string MessageReader::TakeMessage() {
    message_.resize(size_);
    std::string out = std::move(message_);
    message_ = std::string();
    size_ = 0;
    return out;
}

}  // namespace kl::relay::ws
