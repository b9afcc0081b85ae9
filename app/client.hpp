#pragma once
// The one record that outlives a single call: windows, layout, role and session flags,
// the own identity, the status line, the workers and the two queues.
#include <windows.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_set>
#include <vector>

#include "net/events.hpp"

namespace kl {
class Transport;
class CryptoSession;
class FrameDecoder;
}  // namespace kl

struct ClickRegion {
    std::uint32_t id = 0;
    std::wstring label;
    float x = 0, y = 0, width = 0, height = 0;  // layout units
};

struct QueuedEvent {
    std::uint32_t generation = 0;
    kl::NetEvent event;
};

// Owns a GDI+ bitmap (GpBitmap*, kept opaque here) and disposes of it.
struct GdiplusImageDeleter {
    void operator()(void* image) const noexcept;
};
using OwnedBitmap = std::unique_ptr<void, GdiplusImageDeleter>;

struct HeldFrame {
    std::vector<std::uint8_t> jpeg;  // empty when none is held
    unsigned width = 0, height = 0;  // from its frame header
    std::uint64_t sequence = 0;      // its envelope's
    std::uint32_t generation = 0;    // the session it belongs to
};

struct Client {
    Client();
    ~Client();
    Client(const Client&) = delete;
    Client& operator=(const Client&) = delete;

    // Opens the relay connection for a role (false host, true viewer) and sends registration first.
    void Open(bool viewer, const std::string& registration);

    HWND mainWindow = nullptr;
    HWND idEdit = nullptr;
    HWND keyEdit = nullptr;
    HWND bannerWindow = nullptr;
    HFONT editFont = nullptr;
    HBRUSH editBrush = nullptr;
    float scale = 1.0f;
    std::int32_t clientWidth = 1080;
    std::int32_t clientHeight = 680;
    std::uint32_t page = 0;
    std::uint32_t hoverId = 0;
    bool keyVisible = false;
    bool consentPending = false;
    bool viewerMode = false;
    bool hostReady = false;
    bool consentGiven = false;
    bool sessionActive = false;
    bool previewMode = false;
    std::uint32_t sessionGeneration = 0;
    std::uint64_t consentDeadline = 0;
    std::uint64_t requestDeadline = 0;
    std::uint64_t lastMoveTick = 0;
    // UI thread only: the mouse buttons (bit 0 left, 1 right, 2 middle) whose "down" went to the
    // host and whose "up" is still owed.
    std::uint8_t forwardedButtons = 0;
    // UI thread only: when the consent panel appeared, and the consent button pressed by real
    // input at least half a second later (0 for none): only its release on the same button counts.
    std::uint64_t consentShownTick = 0;
    std::uint32_t consentPressId = 0;
    // UI thread only: the clipboard's sequence number right after it took our ID and key, so
    // that a renewal or the exit can take them back while nothing else was copied since.
    DWORD copiedClipboardSequence = 0;
    std::string connectionId;
    std::string connectionKey;  // wiped before it is discarded or replaced
    std::string requestId;
    std::string requestNonce;
    std::wstring statusText = L"Sunucuya bağlanıyor…";
    std::vector<ClickRegion> buttons;
    OwnedBitmap remoteFrame;
    // Viewer: the newest checked screen picture of the drained batches, decoded when the
    // window is next painted, so a viewer slower than the stream shows the latest picture
    // and its input never waits behind pictures that are never shown.
    bool holdFrames = false;  // set while a drained batch is handled
    HeldFrame heldFrame;
    // Viewer: decodes and scales the held picture off the user-interface thread (made with the
    // first picture a window shows); `remoteScaled` is `remoteFrame` scaled for the place it had
    // then, which painting copies as it is while the place keeps that size.
    std::unique_ptr<kl::FrameDecoder> frameDecoder;
    std::vector<std::uint32_t> remoteScaled;
    int remoteScaledWidth = 0, remoteScaledHeight = 0;
    std::shared_ptr<kl::Transport> transport;
    std::shared_ptr<kl::CryptoSession> crypto;
    std::atomic<bool> streamRunning{false};
    std::atomic<bool> networkRunning{false};
    std::thread networkThread;
    std::thread captureThread;
    std::thread senderThread;
    std::shared_ptr<std::atomic<bool>> cancelFlag;
    std::atomic<std::uint32_t> activeGeneration{0};
    std::mutex eventMutex;
    std::deque<QueuedEvent> eventQueue;   // guarded by eventMutex
    std::size_t eventQueueBytes = 0;      // guarded by eventMutex
    std::atomic<bool> eventOverflow{false};
    bool eventPosted = false;             // guarded by eventMutex
    std::mutex sendMutex;
    std::condition_variable sendReady;
    std::deque<kl::OutgoingMessage> sendQueue;  // guarded by sendMutex
    std::size_t sendQueueBytes = 0;             // guarded by sendMutex
    std::unordered_set<std::string> seenRequests;
    // Milliseconds for the deadlines; GetTickCount64 unless a test puts its own clock here.
    std::function<std::uint64_t()> tickSource;
};

// Set by the entry point right after the record is built and cleared right before it goes;
// the window procedures reach the record only through it.
extern Client* g_app;
