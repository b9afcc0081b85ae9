#pragma once
// WebSocket framing as the relay's side of a connection sees it: client frames in (masked,
// possibly fragmented, control frames between fragments), server frames out. No I/O here: the
// session feeds bytes in and reads large payloads straight into the message being built, so a
// forwarded message is unmasked in place and never copied.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace kl::relay::ws {

enum Opcode : std::uint8_t {
    kContinuation = 0x0,
    kText = 0x1,
    kBinary = 0x2,
    kClose = 0x8,
    kPing = 0x9,
    kPong = 0xA,
};

// Close codes the relay sends when a client breaks the rules.
inline constexpr std::uint16_t kProtocolError = 1002;
inline constexpr std::uint16_t kInvalidPayload = 1007;
inline constexpr std::uint16_t kTooBig = 1009;

// XORs [data, data + size) with the client's key starting at key byte `phase` (0 to 3).
void Unmask(char* data, std::size_t size, const std::array<std::uint8_t, 4>& key,
            std::size_t phase);

// A server frame's header (never masked) into `out`; returns its length (2, 4 or 10).
std::size_t ServerHeader(std::uint8_t opcode, std::uint64_t length,
                         std::array<std::uint8_t, 10>& out);

// A close frame's payload: the code, big-endian, and no reason.
std::string ClosePayload(std::uint16_t code);

class MessageReader {
  public:
    enum class Event { None, Message, Ping, Pong, Close, Fail };

    // Text messages are held to `maxText` always; binary ones to it until SetLimit (pairing).
    explicit MessageReader(std::size_t maxText) : max_(maxText), maxText_(maxText) {}
    void SetLimit(std::size_t maxBinary) { max_ = maxBinary; }

    // Takes bytes that arrived: frame headers, payload (unmasked into the message or the control
    // frame) and so on, up to the end of the input, the first event or the end of the message's
    // room, whichever comes first. Returns how many bytes it took.
    std::size_t Consume(const char* data, std::size_t size);

    // A message's storage grows as its payload arrives, never on the strength of a header: at
    // most kRoomStep ahead of what came, or double what came for a long message. RoomWanted()
    // is the new storage the next step takes (non-zero only when the room is used up and more
    // payload is owed); when NeedsRoom() the caller reserves it and calls Grow().
    static constexpr std::size_t kRoomStep = 512 * 1024;
    bool NeedsRoom() const {
        return state_ == State::DataPayload && left_ > 0 && message_.size() == size_;
    }
    std::size_t RoomWanted() const;
    void Grow();

    // Between headers nothing is owed; inside a data frame's payload the session may read the
    // rest of its room straight into the message: up to PayloadLeft() bytes at Space(), then
    // Filled(k) for the k bytes that came, which unmasks them in place.
    bool BetweenFrames() const { return state_ == State::Header && headerHave_ == 0; }
    bool Idle() const { return BetweenFrames() && !inMessage_; }
    std::size_t PayloadLeft() const {
        return state_ == State::DataPayload ? static_cast<std::size_t>(std::min<std::uint64_t>(
                                                  left_, message_.size() - size_))
                                            : 0;
    }
    char* Space() { return message_.data() + size_; }
    Event Filled(std::size_t n);

    // The event Consume or Filled stopped at; cleared by the next call to either.
    Event event() const { return event_; }
    // Event::Message: the message (moved out, the reader starts the next one) and its kind.
    std::string TakeMessage();
    bool text() const { return text_; }
    // Event::Ping and Event::Close: the control frame's payload; Event::Close: the code sent
    // (1005 when none was) and Event::Fail: the code to close with.
    const std::string& control() const { return control_; }
    std::uint16_t code() const { return code_; }
    // A message under way and the storage of the one being built.
    std::size_t buffered() const { return message_.capacity() + control_.capacity(); }
    // Of that, room made for payload that has not arrived.
    std::size_t unfilled() const { return message_.capacity() - size_; }

  private:
    enum class State { Header, DataPayload, ControlPayload };

    std::size_t ParseHeader(const char* data, std::size_t size);
    Event Fail(std::uint16_t code);
    Event FrameDone();

    std::size_t NextRoom() const;

    std::size_t max_, maxText_;
    State state_ = State::Header;
    std::array<std::uint8_t, 14> header_{};
    std::size_t headerHave_ = 0;
    // The frame being read.
    std::uint8_t opcode_ = 0;
    bool fin_ = false;
    std::array<std::uint8_t, 4> key_{};
    std::size_t phase_ = 0;  // where in the key the next payload byte starts
    std::uint64_t left_ = 0;
    // The message being built (text or binary, maybe over several frames).
    bool inMessage_ = false, text_ = false;
    std::string message_;
    std::size_t size_ = 0;  // bytes of message_ that hold payload; it may be longer
    std::string control_;
    std::uint16_t code_ = 0;
    Event event_ = Event::None;
};

}  // namespace kl::relay::ws
