#pragma once
#include <cstddef>
#include <string>
#include <vector>

namespace kl {

// Overwrites memory in a way the optimiser may not drop, for secrets about to be released.
void SecureWipe(void* data, std::size_t size) noexcept;

inline void SecureWipe(std::string& text) noexcept {
    SecureWipe(text.data(), text.size());
}
inline void SecureWipe(std::wstring& text) noexcept {
    SecureWipe(text.data(), text.size() * sizeof(wchar_t));
}

template <typename T>
void SecureWipe(std::vector<T>& bytes) noexcept {
    SecureWipe(bytes.data(), bytes.size() * sizeof(T));
}

// Wipes a fixed local buffer when the scope ends, on every path.
class ScopedWipe {
  public:
    ScopedWipe(void* data, std::size_t size) noexcept : data_(data), size_(size) {}
    ~ScopedWipe() { SecureWipe(data_, size_); }
    ScopedWipe(const ScopedWipe&) = delete;
    ScopedWipe& operator=(const ScopedWipe&) = delete;

  private:
    void* data_;
    std::size_t size_;
};

}  // namespace kl
