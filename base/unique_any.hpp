#pragma once
// One owner per OS handle: the deleter runs exactly once, when the owner goes.
#include <utility>

namespace kl {

template <typename Handle, auto Deleter, Handle Invalid = Handle{}>
class unique_any {
  public:
    unique_any() = default;
    explicit unique_any(Handle h) noexcept : handle_(h) {}
    ~unique_any() { reset(); }
    unique_any(unique_any&& other) noexcept : handle_(std::exchange(other.handle_, Invalid)) {}
    unique_any& operator=(unique_any&& other) noexcept {
        if (this != &other) reset(std::exchange(other.handle_, Invalid));
        return *this;
    }
    unique_any(const unique_any&) = delete;
    unique_any& operator=(const unique_any&) = delete;

    Handle get() const noexcept { return handle_; }
    Handle* put() noexcept {
        reset();
        return &handle_;
    }
    Handle release() noexcept { return std::exchange(handle_, Invalid); }
    void reset(Handle h = Invalid) noexcept {
        Handle old = std::exchange(handle_, h);
        if (old != Invalid) Deleter(old);
    }
    explicit operator bool() const noexcept { return handle_ != Invalid; }

  private:
    Handle handle_ = Invalid;
};

}  // namespace kl
