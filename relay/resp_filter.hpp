#pragma once
// Redis replies as they arrive, judged before hiredis buffers them: hiredis keeps a reply's
// bytes until the reply is whole, so a published message of any size would otherwise be held
// in full. A bulk string above the bound is passed on as an empty one (its bytes skipped as
// they come), so the message is dropped, not the connection; a reply that cannot be judged
// that way (a huge array, an endless line, a bad header) is a fault and the connection goes.
#include <cstddef>
#include <cstdint>
#include <string>

namespace kl::relay {

class RespFilter {
  public:
    // Where the bytes to keep go, in order.
    using Sink = void (*)(void* context, const char* data, std::size_t size);

    explicit RespFilter(std::size_t maxBulkBytes) : maxBulk_(maxBulkBytes) {}
    // False on a fault; nothing more may be fed then.
    bool Feed(const char* data, std::size_t size, Sink sink, void* context);
    std::uint64_t skipped() const { return skipped_; }  // bulk strings passed on empty
    const std::string& fault() const { return fault_; }

    static constexpr std::size_t kMaxElements = 4096;
    static constexpr std::size_t kMaxLine = 64 * 1024;

  private:
    enum class State { Type, Header, Line, Body, Skip };
    bool Fail(const char* why) {
        fault_ = why;
        return false;
    }
    bool EndOfHeader(Sink sink, void* context);
    void Consumed();  // one element of the current reply is complete

    std::size_t maxBulk_;
    State state_ = State::Type;
    char type_ = 0;
    std::string header_;      // a '$' or '*' line without its type, up to the CR LF
    std::size_t line_ = 0;    // bytes of a simple line so far
    std::uint64_t left_ = 0;  // of a bulk body with its CR LF, kept or skipped
    std::uint64_t owed_ = 1;  // elements still to come in the current reply
    std::uint64_t replyBytes_ = 0;
    std::uint64_t skipped_ = 0;
    std::string fault_;
};

}  // namespace kl::relay
