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

#include "input/inject.hpp"
#include "net/events.hpp"
#include "screen/picture_choice.hpp"
#include "win/gdi_handles.hpp"

namespace kl {
class Transport;
class CryptoSession;
class FrameDecoder;
class AccessibleWindow;
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

    // --- UI thread only: read and written on the thread that runs the message loop ----------
    // Windows and layout.
    HWND mainWindow = nullptr;
    HWND idEdit = nullptr;
    HWND keyEdit = nullptr;
    HWND bannerWindow = nullptr;
    kl::unique_hfont editFont;
    kl::unique_hbrush editBrush;
    float scale = 1.0f;
    std::int32_t clientWidth = 1080;
    std::int32_t clientHeight = 680;
    std::uint32_t page = 0;
    std::uint32_t hoverId = 0;
    std::vector<ClickRegion> buttons;
    std::wstring statusText = L"Sunucuya bağlanıyor…";
    bool keyVisible = false;
    bool previewMode = false;
    // Role and session flags.
    bool viewerMode = false;
    bool hostReady = false;
    bool consentPending = false;
    bool consentGiven = false;
    bool sessionActive = false;
    // Bumped by every stop; events of an older generation are dropped (see activeGeneration).
    std::uint32_t sessionGeneration = 0;
    std::uint64_t consentDeadline = 0;
    std::uint64_t requestDeadline = 0;
    std::uint64_t lastMoveTick = 0;
    // The mouse buttons (bit 0 left, 1 right, 2 middle) whose "down" went to the host and whose
    // "up" is still owed.
    std::uint8_t forwardedButtons = 0;
    // When the consent panel appeared, and the consent button pressed by real input at least
    // half a second later (0 for none): only its release on the same button counts.
    std::uint64_t consentShownTick = 0;
    std::uint32_t consentPressId = 0;
    // The key (VK_SPACE or VK_RETURN) whose real press armed consentPressId; 0 for a click.
    std::uint32_t consentPressKey = 0;
    // Keyboard reach: the drawn button that holds the keyboard focus while the window itself has
    // it (0 for none), and whether its ring is drawn: from the first navigation key on, so that
    // nothing changes for someone who only uses the mouse.
    std::uint32_t focusId = 0;
    bool focusRingShown = false;
    // Windows' high-contrast mode is on: the system colours replace the design palette.
    bool highContrast = false;
    // What assistive technology was last told (WinEvents), so each change is announced once.
    bool announcedConsent = false;
    bool announcedSession = false;
    // The window's accessible object (WM_GETOBJECT), made on the first request and cut off from
    // the record when the window goes.
    kl::AccessibleWindow* accessible = nullptr;
    // The clipboard's sequence number right after it took our ID and key, so that a renewal or
    // the exit can take them back while nothing else was copied since.
    DWORD copiedClipboardSequence = 0;
    // Ctrl+Alt+Shift+F12 is ours (another program may hold it): only then do texts offer it.
    bool hotkeyRegistered = false;
    // Identity and the current request.
    std::string connectionId;
    std::string connectionKey;  // wiped before it is discarded or replaced
    std::string requestId;
    std::string requestNonce;
    std::unordered_set<std::string> seenRequests;
    // Viewer: the picture shown, and the newest checked picture of the drained batches, handed
    // to the decoding thread after the batch (decoded here when there is no window), so a viewer
    // slower than the stream shows the latest picture and its input never waits behind pictures.
    kl::unique_gdip_bitmap remoteFrame;
    bool holdFrames = false;  // set while a drained batch is handled
    HeldFrame heldFrame;
    // Viewer: decodes and scales the held picture off the user-interface thread (made with the
    // first picture a window shows); `remoteScaled` is `remoteFrame` scaled for the place it had
    // then, which painting copies as it is while the place keeps that size.
    std::unique_ptr<kl::FrameDecoder> frameDecoder;
    std::vector<std::uint32_t> remoteScaled;
    int remoteScaledWidth = 0, remoteScaledHeight = 0;

    // The workers: started and joined only here (Open, StartCapture, StopSession).
    std::thread networkThread;
    std::thread senderThread;
    std::thread captureThread;
    // The seams, all set the same way: a test sets them on its own record, nothing global.
    // Milliseconds for the deadlines: GetTickCount64 when empty.
    std::function<std::uint64_t()> tickSource;
    // The relay the next Open dials: the compiled-in one unless a test points elsewhere.
    std::wstring relayUrl;
    // Host input injection: the system's SendInput when null.
    kl::InputSender inputSender = nullptr;
    // The source of the input message being handled: GetCurrentInputMessageSource when empty.
    std::function<INPUT_MESSAGE_SOURCE()> inputSource;
    // The thread that built the record; UI-only functions check it in test and debug builds.
    DWORD uiThreadId = GetCurrentThreadId();

    // --- Shared with the workers, written only on the UI thread -----------------------------
    // Written only while no capture worker runs (before StartCapture, or after StopSession
    // joined it): that is why the capture worker reads both without a lock. The sender and
    // network workers hold their own copies of the transport.
    std::shared_ptr<kl::Transport> transport;
    std::shared_ptr<kl::CryptoSession> crypto;
    std::shared_ptr<std::atomic<bool>> cancelFlag;  // the network worker's copy is what it reads

    // --- Atomics: any thread ----------------------------------------------------------------
    std::atomic<bool> streamRunning{false};   // capture worker runs while true
    std::atomic<bool> networkRunning{false};  // sender worker runs while true (set under sendMutex)
    std::atomic<std::uint32_t> activeGeneration{0};  // events of other generations are dropped
    std::atomic<bool> eventOverflow{false};  // an event was lost: the drain ends the session

    // --- The two queues. Lock order: eventMutex and sendMutex are never held together, and
    // neither is held across a transport call (whose own locks nest sendSerialMutex ->
    // handleMutex -> stateMutex) or together with a CryptoSession's mutex.
    std::mutex eventMutex;               // workers -> UI
    std::deque<QueuedEvent> eventQueue;  // guarded by eventMutex
    std::size_t eventQueueBytes = 0;     // guarded by eventMutex
    bool eventPosted = false;            // guarded by eventMutex: a kDrainMessage is outstanding
    std::mutex sendMutex;                // UI and capture worker -> sender worker
    std::condition_variable sendReady;   // with sendMutex
    std::deque<kl::OutgoingMessage> sendQueue;  // guarded by sendMutex
    std::size_t sendQueueBytes = 0;             // guarded by sendMutex
    kl::LinkMeter linkMeter;  // guarded by sendMutex; what the path carries, for the capture worker
};

// Set by the entry point right after the record is built and cleared right before it goes;
// the window procedures reach the record only through it.
extern Client* g_app;

// Functions meant for the UI thread call this first: in test and debug builds a call from
// another thread stops the program at once instead of racing the message loop.
void ExpectUiThread(const Client& app) noexcept;
