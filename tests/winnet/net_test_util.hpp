#pragma once
// Shared by the transport and queue tests: where the servers listen, and an event recorder.
#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>
#include <vector>

#include "net/events.hpp"

namespace kltest {

// Started by the wrapper script before the test binary: the real relay on the build's test port
// and the script server on the next one.
inline std::wstring PortUrl(int offset, const std::wstring& path) {
    return L"ws://127.0.0.1:" + std::to_wstring(KL_TEST_PORT + offset) + path;
}
inline const std::wstring kRelayUrl = PortUrl(0, L"/ws");
inline std::wstring ScriptUrl(const std::wstring& scenario) {
    return PortUrl(1, L"/" + scenario);
}

class EventLog {
  public:
    std::function<void(kl::NetEvent)> Sink() {
        return [this](kl::NetEvent event) {
            std::lock_guard<std::mutex> lock(mutex_);
            events_.push_back(std::move(event));
            changed_.notify_all();
        };
    }
    // True once at least `count` events arrived within `limit`.
    bool WaitFor(std::size_t count, std::chrono::milliseconds limit = std::chrono::seconds(15)) {
        std::unique_lock<std::mutex> lock(mutex_);
        return changed_.wait_for(lock, limit, [&] { return events_.size() >= count; });
    }
    std::vector<kl::NetEvent> Events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return events_;
    }
    std::string Kinds() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::string kinds;
        for (const auto& e : events_) kinds += "TBCE"[e.kind];
        return kinds;
    }

  private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<kl::NetEvent> events_;
};

}  // namespace kltest
