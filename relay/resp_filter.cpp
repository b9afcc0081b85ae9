#include "relay/resp_filter.hpp"

#include <algorithm>
#include <charconv>
#include <cstring>

namespace kl::relay {

void RespFilter::Consumed() {
    if (--owed_ == 0) {
        owed_ = 1;
        replyBytes_ = 0;
    }
}

bool RespFilter::EndOfHeader(Sink sink, void* context) {
    if (header_.empty() || header_.back() != '\r') return Fail("a reply header without CR LF");
    long long n = 0;
    const char* first = header_.data();
    const char* last = header_.data() + header_.size() - 1;
    const auto parsed = std::from_chars(first, last, n);
    if (parsed.ec != std::errc() || parsed.ptr != last || n < -1)
        return Fail("a reply header with a bad length");
    state_ = State::Type;
    replyBytes_ += header_.size() + 2;
    const std::string line = std::string(1, type_) + header_ + "\n";
    if (type_ == '*') {
        if (n > static_cast<long long>(kMaxElements)) return Fail("a reply with too many elements");
        sink(context, line.data(), line.size());
        owed_ += static_cast<std::uint64_t>(std::max(n, 0LL));
        Consumed();
        return true;
    }
    if (n == -1) {
        sink(context, line.data(), line.size());
        Consumed();
        return true;
    }
    left_ = static_cast<std::uint64_t>(n) + 2;
    if (static_cast<std::uint64_t>(n) > maxBulk_) {
        static const char kEmpty[] = "$0\r\n\r\n";
        sink(context, kEmpty, sizeof kEmpty - 1);
        ++skipped_;
        state_ = State::Skip;
        return true;
    }
    sink(context, line.data(), line.size());
    state_ = State::Body;
    return true;
}

bool RespFilter::Feed(const char* data, std::size_t size, Sink sink, void* context) {
    if (!fault_.empty()) return false;
    const char* p = data;
    const char* const end = data + size;
    const char* pass = p;  // the start of kept bytes not yet handed on
    auto flush = [&] {
        if (p > pass) sink(context, pass, static_cast<std::size_t>(p - pass));
        pass = p;
    };
    // A whole reply is kept by hiredis until it ends: bounded by a few bulk strings' worth.
    const std::uint64_t maxReply = 2 * static_cast<std::uint64_t>(maxBulk_) + kMaxLine;
    while (p < end) {
        switch (state_) {
            case State::Type:
                type_ = *p;
                if (type_ == '$' || type_ == '*') {
                    flush();
                    pass = ++p;  // the header is handed on once judged
                    header_.clear();
                    state_ = State::Header;
                } else if (type_ == '+' || type_ == '-' || type_ == ':') {
                    ++p;
                    line_ = 1;
                    state_ = State::Line;
                } else {
                    return Fail("a reply of unknown type");
                }
                break;
            case State::Header: {
                const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
                const char* stop = nl ? nl : end;
                header_.append(p, stop);
                if (header_.size() > 24) return Fail("a reply header too long");
                p = nl ? nl + 1 : end;
                pass = p;
                if (nl && !EndOfHeader(sink, context)) return false;
                break;
            }
            case State::Line: {
                const char* nl = static_cast<const char*>(std::memchr(p, '\n', end - p));
                const char* stop = nl ? nl + 1 : end;
                line_ += static_cast<std::size_t>(stop - p);
                replyBytes_ += static_cast<std::uint64_t>(stop - p);
                p = stop;
                if (line_ > kMaxLine) return Fail("a reply line too long");
                if (nl) {
                    state_ = State::Type;
                    Consumed();
                }
                break;
            }
            case State::Body:
            case State::Skip: {
                const auto take = static_cast<std::size_t>(std::min<std::uint64_t>(left_, end - p));
                p += take;
                left_ -= take;
                if (state_ == State::Skip)
                    pass = p;
                else
                    replyBytes_ += take;
                if (left_ == 0) {
                    state_ = State::Type;
                    Consumed();
                }
                break;
            }
        }
        if (replyBytes_ > maxReply) return Fail("a reply too large");
    }
    flush();
    return true;
}

}  // namespace kl::relay
