#pragma once
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace kl::relay {

// Storage of large messages comes back once the last write of a forwarded message is done (and
// that of a TLS connection's ciphertext once it is written), and the next large message is read
// into it: memory already mapped, instead of fresh pages from the
// kernel (faulted in and zeroed) for every frame. Bounded, and per thread.
class MessagePool {
  public:
    static constexpr std::size_t kSmallest = 64 * 1024;
    static constexpr std::size_t kLargest = 1024 * 1024;
    static constexpr std::size_t kKept = 16;

    // An empty string with room for `bytes`, when one is kept.
    static std::string Take(std::size_t bytes) {
        auto& kept = Kept();
        for (auto it = kept.rbegin(); it != kept.rend(); ++it) {
            if (it->capacity() < bytes) continue;
            std::string s = std::move(*it);
            kept.erase(std::next(it).base());
            return s;
        }
        return {};
    }

    // Storage given back, kept when of a useful size and while there is room.
    static void Keep(std::string&& storage) {
        auto& kept = Kept();
        if (storage.capacity() >= kSmallest && storage.capacity() <= kLargest &&
            kept.size() < kKept) {
            kept.push_back(std::move(storage));
            kept.back().clear();
        }
    }

    // The message, shared by the writes that forward it; its storage is kept when they are done.
    static std::shared_ptr<const std::string> Share(std::string&& message) {
        return {new std::string(std::move(message)), [](const std::string* s) {
                    Keep(std::move(*const_cast<std::string*>(s)));
                    delete s;
                }};
    }

  private:
    static std::vector<std::string>& Kept() {
        thread_local std::vector<std::string> kept;
        return kept;
    }
};

}  // namespace kl::relay
