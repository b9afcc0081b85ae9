#pragma once
// The program's one relay connection: a WebSocket over WinHTTP in asynchronous mode, with a
// receive thread that delivers whole messages as events. Open, send and close may be called
// from different threads; close also from inside the event callback.
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "net/events.hpp"

namespace kl {

// The relay the program talks to, compiled in (a test build's loopback relay or the release's).
extern const wchar_t* const kDefaultRelayUrl;

// "label (Windows error code)".
std::string FormatWindowsError(const char* label, unsigned long code);

struct TransportState;

class Transport {
  public:
    Transport();
    ~Transport();
    Transport(const Transport&) = delete;
    Transport& operator=(const Transport&) = delete;

    // Connects and starts the receive thread; false with a reason for the user otherwise.
    bool Open(const std::wstring& url, std::function<void(NetEvent)> onEvent, std::string& error);
    // One whole message each; blocks until WinHTTP reports completion (at most 20 s). The bytes are
    // taken over: a send cut short by a close returns while WinHTTP may still read them, so the
    // connection keeps them until its handles are closed.
    bool SendText(const std::string& text);
    bool SendBinary(std::vector<std::uint8_t> bytes);
    // Graceful close (status 1000, at most 200 ms), then the handles; joins the receive thread.
    void Close();

  private:
    std::unique_ptr<TransportState> state_;
};

}  // namespace kl
