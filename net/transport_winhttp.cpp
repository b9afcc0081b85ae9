// winsock2.h first: windows.h would bring in the old winsock.h, and winhttp.h declares
// WINHTTP_CONNECTION_INFO only after it.
// clang-format off
#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>
#include <winhttp.h>
// clang-format on

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstring>
#include <mutex>
#include <thread>

#include "net/relay_url.hpp"
#include "net/transport.hpp"
#include "base/limits.hpp"

#ifndef KL_RELAY_URL
#define KL_RELAY_URL L"wss://relay.kestrelink.example/ws"
#endif

namespace kl {

const wchar_t* const kDefaultRelayUrl = KL_RELAY_URL;

std::string FormatWindowsError(const char* label, unsigned long code) {
    return std::string(label) + " (Windows error " + std::to_string(code) + ")";
}

namespace {

constexpr std::size_t kMaxMessage = kMaxMessageBytes;
// A screen frame (a few hundred KiB) arrives in one or two receive calls rather than a handful:
// under Wine each call is a round trip through WinHTTP's worker thread.
constexpr DWORD kReceiveBufferSize = 524288;
constexpr auto kStepWait = std::chrono::seconds(20);
constexpr auto kShutdownWait = std::chrono::milliseconds(200);
// How long a close waits for WinHTTP's closing notifications before it lets the connection
// linger until they arrive. Wine finishes a handshake task already running before it reports
// the request handle closed, so a close must not wait for it.
constexpr auto kCloseWait = std::chrono::milliseconds(500);
constexpr DWORD kHandshakeReceiveTimeout = 20000;
constexpr DWORD kTimeoutError = 12002;    // ERROR_WINHTTP_TIMEOUT
constexpr DWORD kCancelledError = 12017;  // ERROR_WINHTTP_OPERATION_CANCELLED
constexpr DWORD kAutomaticProxy = 4;      // WINHTTP_ACCESS_TYPE_AUTOMATIC_PROXY
constexpr DWORD kNotifications = 0x0F7E0C00;
constexpr char kCancelled[] = "Connection cancelled";

struct Connection;

bool RunningUnderWine() {
    const HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll != nullptr && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

bool SameAddress(const SOCKADDR_STORAGE& a, const SOCKADDR_STORAGE& b) {
    if (a.ss_family != b.ss_family) return false;
    if (a.ss_family == AF_INET) {
        const auto& x = reinterpret_cast<const sockaddr_in&>(a);
        const auto& y = reinterpret_cast<const sockaddr_in&>(b);
        return x.sin_port == y.sin_port && x.sin_addr.s_addr == y.sin_addr.s_addr;
    }
    if (a.ss_family == AF_INET6) {
        const auto& x = reinterpret_cast<const sockaddr_in6&>(a);
        const auto& y = reinterpret_cast<const sockaddr_in6&>(b);
        return x.sin6_port == y.sin6_port &&
               std::memcmp(&x.sin6_addr, &y.sin6_addr, sizeof x.sin6_addr) == 0;
    }
    return false;
}

// Faults of Wine 8's WinHTTP, mended on the WebSocket's socket (found by its local address;
// Windows' own WinHTTP is never touched):
// - WinHTTP sends frames with overlapped WSASend on a socket tied to a completion port, without
//   skipping the port when a send completes at once. Each such send leaves a completion behind,
//   and the next send that has to wait (a slow uplink) takes that stale one for its own: WinHTTP
//   refills its frame buffer while the socket still sends from it, and the relay receives
//   damaged frames. Later Wine sets this skip mode itself when it creates the socket.
// - Windows keeps a connection's unsent data near what the path carries in a round trip; the
//   Linux socket grows to megabytes on a slow link, seconds of frames the host can no longer
//   replace with newer ones, and the viewer's input then reached the host seconds late as well.
//   A fixed buffer keeps that backlog under one frame.
// - The socket keeps Nagle's algorithm: each part of a frame short of a full segment waits until
//   the relay acknowledges the one before, and Linux holds that acknowledgement up to 40 ms on
//   a busy connection, so every changing-screen frame reached the relay about 40 ms late. The
//   relay and klpeer send without that delay; so does this socket.
constexpr int kWineSendBufferBytes = 65536;

void MendSocketUnderWine(HINTERNET request) {
    if (!RunningUnderWine()) return;
    WINHTTP_CONNECTION_INFO info{};
    DWORD size = sizeof info;
    info.cbSize = size;
    if (!WinHttpQueryOption(request, WINHTTP_OPTION_CONNECTION_INFO, &info, &size)) return;
    WSADATA data;
    if (WSAStartup(MAKEWORD(2, 2), &data) != 0) return;
    // Handles are small multiples of four; the scan stops at the first match.
    for (std::uintptr_t value = 4; value < 0x10000; value += 4) {
        const auto socket = static_cast<SOCKET>(value);
        SOCKADDR_STORAGE local{};
        int length = sizeof local;
        if (getsockname(socket, reinterpret_cast<sockaddr*>(&local), &length) != 0) continue;
        if (!SameAddress(local, info.LocalAddress)) continue;
        SetFileCompletionNotificationModes(reinterpret_cast<HANDLE>(value),
                                           FILE_SKIP_COMPLETION_PORT_ON_SUCCESS);
        setsockopt(socket, SOL_SOCKET, SO_SNDBUF,
                   reinterpret_cast<const char*>(&kWineSendBufferBytes),
                   sizeof kWineSendBufferBytes);
        const BOOL noDelay = TRUE;
        setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&noDelay),
                   sizeof noDelay);
        break;
    }
    WSACleanup();
}

// The lock and condition the status callback uses. They live apart from the connection so that
// a callback that has just notified a waiter, who may then destroy the connection, still
// unlocks memory it owns.
struct SyncBlock {
    std::mutex stateMutex;
    std::condition_variable stateChanged;
};

struct HandleContext {
    Connection* owner;
    int kind;  // 0 handshake request, 1 WebSocket
};

struct Connection : std::enable_shared_from_this<Connection> {
    Connection() = default;
    ~Connection() {
        CloseHandles(false);
        onEvent = nullptr;
    }

    bool Connect(const RelayEndpoint& endpoint, std::string& error);
    bool Send(std::vector<std::uint8_t> data, WINHTTP_WEB_SOCKET_BUFFER_TYPE type);
    void Shutdown();
    // With `mayLinger`, waits at most kCloseWait and then keeps the connection alive until the
    // notifications still owed have arrived; otherwise waits for them.
    void CloseHandles(bool mayLinger = true);
    bool NotificationsOwed() const {
        return (requestHandleOpen && !requestHandleClosed) ||
               (socketHandleOpen && !socketHandleClosed);
    }
    void MarkCancelled() {
        cancelled = true;
        open = false;
        std::lock_guard<std::mutex> state(stateMutex);
        stateChanged.notify_all();  // waits also end on a cancel
    }
    void Deliver(NetEvent event);
    void ReceiveLoop() noexcept;
    void ReceiveMessages(std::string& error);

    HandleContext requestContext{this, 0};
    HandleContext socketContext{this, 1};
    std::mutex handleMutex;  // guards the four handles while a call on them is issued
    std::shared_ptr<SyncBlock> sync = std::make_shared<SyncBlock>();
    std::mutex& stateMutex = sync->stateMutex;  // guards the flags and numbers the callback writes
    std::condition_variable& stateChanged = sync->stateChanged;
    std::mutex sendSerialMutex;  // one message in flight, in call order
    HINTERNET session = nullptr, connect = nullptr, request = nullptr, socket = nullptr;
    bool requestHandleOpen = false, socketHandleOpen = false;
    bool requestHandleClosed = false, socketHandleClosed = false;
    bool stepDone = false, sendDone = true, receiveDone = false;
    bool shutdownStarted = false, shutdownDone = false;
    DWORD stepError = 0, sendError = 0, receiveError = 0;
    DWORD receivedBytes = 0, receivedBufferType = 0;
    std::vector<std::uint8_t> receiveBuffer = std::vector<std::uint8_t>(kReceiveBufferSize);
    // The message in flight. Owned here rather than by the caller: a send that returns early on a
    // close leaves WinHTTP reading it until the socket's closing notification, and the connection
    // (lingering if need be) outlives that. Guarded by sendSerialMutex.
    std::vector<std::uint8_t> sendBuffer;
    std::atomic<bool> cancelled{false};
    std::atomic<bool> open{false};
    std::function<void(NetEvent)> onEvent;
    std::shared_ptr<Connection> lingering;  // guarded by stateMutex; see CloseHandles
};

void CALLBACK StatusCallback(HINTERNET, DWORD_PTR context, DWORD status, LPVOID info,
                             DWORD length) {
    if (context == 0) return;
    const auto* handle = reinterpret_cast<const HandleContext*>(context);
    Connection& c = *handle->owner;
    // Destroyed in reverse order: the lock is released first, then a lingering connection, and
    // the lock's memory last. Nothing touches `c` after the unlock.
    const std::shared_ptr<SyncBlock> sync = c.sync;
    std::shared_ptr<Connection> release;
    std::lock_guard<std::mutex> lock(sync->stateMutex);

    switch (status) {
        case WINHTTP_CALLBACK_STATUS_SENDREQUEST_COMPLETE:
        case WINHTTP_CALLBACK_STATUS_HEADERS_AVAILABLE:
            c.stepDone = true;
            break;
        case WINHTTP_CALLBACK_STATUS_REQUEST_ERROR:
            if (handle->kind == 0) {
                if (info != nullptr && length >= sizeof(WINHTTP_ASYNC_RESULT)) {
                    c.stepError = static_cast<const WINHTTP_ASYNC_RESULT*>(info)->dwError;
                    c.stepDone = true;
                }
            } else if (info != nullptr && length >= sizeof(WINHTTP_WEB_SOCKET_ASYNC_RESULT)) {
                const auto* result = static_cast<const WINHTTP_WEB_SOCKET_ASYNC_RESULT*>(info);
                if (result->Operation == WINHTTP_WEB_SOCKET_SEND_OPERATION) {
                    c.sendError = result->AsyncResult.dwError;
                    c.sendDone = true;
                } else if (result->Operation == WINHTTP_WEB_SOCKET_RECEIVE_OPERATION) {
                    c.receiveError = result->AsyncResult.dwError;
                    c.receiveDone = true;
                } else {
                    c.shutdownDone = true;
                }
            }
            break;
        case WINHTTP_CALLBACK_STATUS_WRITE_COMPLETE:
            c.sendDone = true;
            break;
        case WINHTTP_CALLBACK_STATUS_READ_COMPLETE:
            if (handle->kind == 1 && info != nullptr &&
                length >= sizeof(WINHTTP_WEB_SOCKET_STATUS)) {
                const auto* result = static_cast<const WINHTTP_WEB_SOCKET_STATUS*>(info);
                c.receivedBytes = result->dwBytesTransferred;
                c.receivedBufferType = static_cast<DWORD>(result->eBufferType);
                c.receiveDone = true;
            }
            break;
        case WINHTTP_CALLBACK_STATUS_SHUTDOWN_COMPLETE:
            c.shutdownDone = true;
            break;
        case WINHTTP_CALLBACK_STATUS_HANDLE_CLOSING:
            if (handle->kind == 0)
                c.requestHandleClosed = true;
            else
                c.socketHandleClosed = true;
            if (!c.NotificationsOwed()) release = std::move(c.lingering);
            break;
        default:
            break;
    }
    sync->stateChanged.notify_all();
}

bool Connection::Connect(const RelayEndpoint& endpoint, std::string& error) {
    std::unique_lock<std::mutex> handles(handleMutex);
    if (cancelled) {
        error = kCancelled;
        return false;
    }
    auto fail = [&](const char* label) {
        error = FormatWindowsError(label, GetLastError());
        return false;
    };
    session = WinHttpOpen(L"Kestrelink-Native/1.0",
                          endpoint.loopback ? WINHTTP_ACCESS_TYPE_NO_PROXY : kAutomaticProxy,
                          WINHTTP_NO_PROXY_NAME, WINHTTP_NO_PROXY_BYPASS, WINHTTP_FLAG_ASYNC);
    if (session == nullptr) return fail("Open network session");
    if (!WinHttpSetTimeouts(session, 10000, 15000, 15000, 0)) return fail("Set network timeouts");
    DWORD protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2 | WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_3;
    if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols, sizeof protocols)) {
        protocols = WINHTTP_FLAG_SECURE_PROTOCOL_TLS1_2;  // a system without TLS 1.3
        if (!WinHttpSetOption(session, WINHTTP_OPTION_SECURE_PROTOCOLS, &protocols,
                              sizeof protocols))
            return fail("Set TLS protocols");
    }
    connect = WinHttpConnect(session, endpoint.host.c_str(), endpoint.port, 0);
    if (connect == nullptr) return fail("Create connection");
    request =
        WinHttpOpenRequest(connect, L"GET", endpoint.path.c_str(), nullptr, WINHTTP_NO_REFERER,
                           WINHTTP_DEFAULT_ACCEPT_TYPES, endpoint.secure ? WINHTTP_FLAG_SECURE : 0);
    if (request == nullptr) return fail("Create handshake");
    // The handshake's reads are bounded like the step wait: Wine reads the reply inside the send
    // task and does not cancel it on close. Lifted again once the upgrade is answered.
    if (!WinHttpSetTimeouts(request, 10000, 15000, 15000, kHandshakeReceiveTimeout))
        return fail("Set network timeouts");
    DWORD responseTimeout = kHandshakeReceiveTimeout;
    if (!WinHttpSetOption(request, WINHTTP_OPTION_RECEIVE_RESPONSE_TIMEOUT, &responseTimeout,
                          sizeof responseTimeout))
        return fail("Set network timeouts");
    DWORD_PTR requestValue = reinterpret_cast<DWORD_PTR>(&requestContext);
    if (!WinHttpSetOption(request, WINHTTP_OPTION_CONTEXT_VALUE, &requestValue,
                          sizeof requestValue))
        return fail("Set network context");
    if (WinHttpSetStatusCallback(request, StatusCallback, kNotifications, 0) ==
        WINHTTP_INVALID_STATUS_CALLBACK)
        return fail("Set network callback");
    {
        std::lock_guard<std::mutex> state(stateMutex);
        requestHandleOpen = true;
    }
    DWORD features =
        WINHTTP_DISABLE_COOKIES | WINHTTP_DISABLE_REDIRECTS | WINHTTP_DISABLE_AUTHENTICATION;
    if (!WinHttpSetOption(request, WINHTTP_OPTION_DISABLE_FEATURE, &features, sizeof features))
        return fail("Configure handshake");
    if (!WinHttpSetOption(request, WINHTTP_OPTION_UPGRADE_TO_WEB_SOCKET, nullptr, 0))
        return fail("Configure handshake");

    // Rows "Send handshake" and "Receive handshake": issue under the handle lock, wait without it,
    // so a close from another thread can cut the wait short.
    auto step = [&](const char* label, bool send) {
        if (request == nullptr || cancelled) {
            error = kCancelled;
            return false;
        }
        {
            std::lock_guard<std::mutex> state(stateMutex);
            stepDone = false;
            stepError = 0;
        }
        const BOOL issued = send ? WinHttpSendRequest(request, WINHTTP_NO_ADDITIONAL_HEADERS, 0,
                                                      WINHTTP_NO_REQUEST_DATA, 0, 0,
                                                      reinterpret_cast<DWORD_PTR>(&requestContext))
                                 : WinHttpReceiveResponse(request, nullptr);
        if (!issued) {
            const DWORD code = GetLastError();
            if (code != ERROR_IO_PENDING) {
                error = FormatWindowsError(label, code);
                return false;
            }
        }
        handles.unlock();
        std::unique_lock<std::mutex> state(stateMutex);
        const bool signalled =
            stateChanged.wait_until(state, std::chrono::steady_clock::now() + kStepWait,
                                    [&] { return stepDone || requestHandleClosed || cancelled; });
        if (!signalled) {
            state.unlock();
            error = FormatWindowsError(label, kTimeoutError);
            CloseHandles();
            handles.lock();
            return false;
        }
        const bool ok = !requestHandleClosed && !cancelled && stepError == 0;
        if (!ok) error = FormatWindowsError(label, stepError != 0 ? stepError : kCancelledError);
        state.unlock();
        handles.lock();
        return ok;
    };
    if (!step("Send handshake", true)) return false;
    if (!step("Receive handshake", false)) return false;
    if (request == nullptr || cancelled) {
        error = kCancelled;
        return false;
    }
    DWORD statusCode = 0, size = sizeof statusCode;
    if (!WinHttpQueryHeaders(request, WINHTTP_QUERY_STATUS_CODE | WINHTTP_QUERY_FLAG_NUMBER,
                             WINHTTP_HEADER_NAME_BY_INDEX, &statusCode, &size,
                             WINHTTP_NO_HEADER_INDEX))
        return fail("Read handshake status");
    if (statusCode != 101) {
        error = "Relay refused WebSocket upgrade (HTTP " + std::to_string(statusCode) + ")";
        return false;
    }
    if (!WinHttpSetTimeouts(request, 10000, 15000, 15000, 0)) return fail("Set network timeouts");
    MendSocketUnderWine(request);
    socket = WinHttpWebSocketCompleteUpgrade(request, reinterpret_cast<DWORD_PTR>(&socketContext));
    if (socket == nullptr) return fail("Upgrade WebSocket");
    {
        std::lock_guard<std::mutex> state(stateMutex);
        socketHandleOpen = true;
    }
    DWORD keepAlive = 30000;
    if (!WinHttpSetOption(socket, WINHTTP_OPTION_WEB_SOCKET_KEEPALIVE_INTERVAL, &keepAlive,
                          sizeof keepAlive))
        return fail("Set WebSocket keepalive");
    WinHttpCloseHandle(request);
    request = nullptr;
    open = true;
    handles.unlock();
    return !cancelled;
}

bool Connection::Send(std::vector<std::uint8_t> data, WINHTTP_WEB_SOCKET_BUFFER_TYPE type) {
    static std::uint8_t dummy = 0;  // WinHTTP wants a pointer even for an empty message
    const std::size_t size = data.size();
    if (size > kMaxMessage || cancelled || !open) return false;
    std::lock_guard<std::mutex> serial(sendSerialMutex);
    {
        std::unique_lock<std::mutex> handles(handleMutex);
        if (socket == nullptr || cancelled || !open) return false;
        {
            std::lock_guard<std::mutex> state(stateMutex);
            sendDone = false;
            sendError = 0;
        }
        // Only after the previous send completed (sendDone was true under the serial lock).
        sendBuffer = std::move(data);
        const DWORD result = WinHttpWebSocketSend(
            socket, type, size == 0 ? &dummy : sendBuffer.data(), static_cast<DWORD>(size));
        if (result != NO_ERROR && result != ERROR_IO_PENDING) {
            std::lock_guard<std::mutex> state(stateMutex);
            sendError = result;
            sendDone = true;
        }
    }
    std::unique_lock<std::mutex> state(stateMutex);
    const bool signalled =
        stateChanged.wait_until(state, std::chrono::steady_clock::now() + kStepWait,
                                [&] { return sendDone || socketHandleClosed || cancelled; });
    const bool ok = signalled && sendDone && sendError == 0 && !cancelled;
    const bool finished = sendDone;
    state.unlock();
    if (finished) sendBuffer = {};  // WinHTTP is done with it; keep no frame around
    if (!ok) CloseHandles();
    return ok;
}

void Connection::Shutdown() {
    MarkCancelled();
    std::unique_lock<std::mutex> handles(handleMutex);
    bool allowed, inProgress;
    {
        std::lock_guard<std::mutex> state(stateMutex);
        inProgress = shutdownStarted && !shutdownDone && socket != nullptr;
        allowed = sendDone && !shutdownStarted;
        if (allowed && socket != nullptr) shutdownStarted = true;
    }
    if (socket == nullptr || !allowed) {
        handles.unlock();
        // Another thread's close frame is on its way: closing the handles now could cut it off,
        // so give it the same bounded wait its sender gives it.
        if (inProgress) {
            std::unique_lock<std::mutex> state(stateMutex);
            stateChanged.wait_until(state, std::chrono::steady_clock::now() + kShutdownWait,
                                    [&] { return shutdownDone || socketHandleClosed; });
        }
        return CloseHandles();
    }
    const DWORD result =
        WinHttpWebSocketShutdown(socket, WINHTTP_WEB_SOCKET_SUCCESS_CLOSE_STATUS, nullptr, 0);
    handles.unlock();
    if (result == NO_ERROR || result == ERROR_IO_PENDING) {
        std::unique_lock<std::mutex> state(stateMutex);
        stateChanged.wait_until(state, std::chrono::steady_clock::now() + kShutdownWait,
                                [&] { return shutdownDone || socketHandleClosed; });
    }
    CloseHandles();
}

void Connection::CloseHandles(bool mayLinger) {
    MarkCancelled();
    {
        std::lock_guard<std::mutex> handles(handleMutex);
        for (HINTERNET* handle : {&socket, &request, &connect, &session}) {
            if (*handle != nullptr) WinHttpCloseHandle(*handle);
            *handle = nullptr;
        }
    }
    // No status callback may reach a destroyed connection: either the notifications still owed
    // arrive now, or the connection keeps itself alive until they do.
    std::unique_lock<std::mutex> state(stateMutex);
    if (!mayLinger) return stateChanged.wait(state, [&] { return !NotificationsOwed(); });
    if (stateChanged.wait_for(state, kCloseWait, [&] { return !NotificationsOwed(); })) return;
    if (!lingering) lingering = weak_from_this().lock();
}

void Connection::Deliver(NetEvent event) {
    if (!onEvent) return;
    try {
        onEvent(std::move(event));
    } catch (...) {
        CloseHandles();
    }
}

void Connection::ReceiveMessages(std::string& error) {
    std::vector<std::uint8_t> assembly;
    bool previousText = false, previousPartial = false;
    for (;;) {
        {
            std::lock_guard<std::mutex> handles(handleMutex);
            if (socket == nullptr || cancelled) break;
            {
                std::lock_guard<std::mutex> state(stateMutex);
                receiveDone = false;
                receiveError = 0;
                receivedBytes = 0;
            }
            const DWORD result = WinHttpWebSocketReceive(socket, receiveBuffer.data(),
                                                         kReceiveBufferSize, nullptr, nullptr);
            if (result != NO_ERROR && result != ERROR_IO_PENDING) {
                std::lock_guard<std::mutex> state(stateMutex);
                receiveError = result;
                receiveDone = true;
            }
        }
        DWORD bytes, code, type;
        {
            std::unique_lock<std::mutex> state(stateMutex);
            // Not woken by a cancel alone: the closer's graceful shutdown is still going out, and
            // this thread's end sequence would close the handles under it. The receive completes
            // when the close is answered or the handles are closed, both bounded.
            stateChanged.wait(state, [&] { return receiveDone || socketHandleClosed; });
            if (cancelled || socketHandleClosed) break;
            bytes = receivedBytes;
            code = receiveError;
            type = receivedBufferType;
        }
        if (code != 0) {
            error = FormatWindowsError("Receive WebSocket", code);
            break;
        }
        if (type == WINHTTP_WEB_SOCKET_CLOSE_BUFFER_TYPE) break;
        const bool text = type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE ||
                          type == WINHTTP_WEB_SOCKET_UTF8_FRAGMENT_BUFFER_TYPE;
        const bool final = type == WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE ||
                           type == WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE;
        if (bytes > kReceiveBufferSize || assembly.size() + bytes > kMaxMessage) {
            error = "Relay message exceeded the 8 MiB limit";
            break;
        }
        if (previousPartial && previousText != text) {
            error = "Invalid mixed WebSocket fragments";
            break;
        }
        assembly.insert(assembly.end(), receiveBuffer.begin(), receiveBuffer.begin() + bytes);
        if (final) {
            NetEvent event;
            event.kind = text ? NetEvent::Text : NetEvent::Binary;
            event.bytes = std::move(assembly);
            if (text) event.text.assign(event.bytes.begin(), event.bytes.end());
            assembly = {};
            Deliver(std::move(event));
        }
        if (cancelled) break;
        previousText = text;
        previousPartial = !final;
    }
}

void Connection::ReceiveLoop() noexcept {
    std::string error;
    try {
        ReceiveMessages(error);
    } catch (...) {
        // A message that cannot be stored (memory) ends the connection like any broken stream.
        error.clear();
        error.shrink_to_fit();
        error = "Out of memory";  // fits the string's own storage: no allocation
    }
    const bool closedLocally = cancelled;
    Shutdown();
    try {
        if (!closedLocally && !error.empty()) Deliver({NetEvent::Error, {}, error});
    } catch (...) {
    }
    try {
        Deliver({NetEvent::Closed,
                 {},
                 closedLocally ? "Connection closed" : "Relay connection closed"});
    } catch (...) {
        NetEvent closed;  // without its text, but the session still learns that it ended
        closed.kind = NetEvent::Closed;
        Deliver(std::move(closed));
    }
}

}  // namespace

struct TransportState {
    std::mutex mutex;  // guards the two fields below; never held during connection work
    std::shared_ptr<Connection> connection;
    std::thread receiveThread;
};

Transport::Transport() : state_(std::make_unique<TransportState>()) {}

Transport::~Transport() {
    Close();
}

bool Transport::Open(const std::wstring& url, std::function<void(NetEvent)> onEvent,
                     std::string& error) {
    error.clear();
    Close();
    RelayEndpoint endpoint{};
    if (!ParseRelayUrl(url, endpoint, error)) return false;
    auto connection = std::make_shared<Connection>();
    connection->onEvent = std::move(onEvent);
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        state_->connection = connection;
    }
    if (!connection->Connect(endpoint, error)) {
        connection->CloseHandles();
        if (error.empty()) error = kCancelled;
        return false;
    }
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->connection != connection || connection->cancelled) {
        error = kCancelled;
        return false;
    }
    state_->receiveThread = std::thread([connection] { connection->ReceiveLoop(); });
    return true;
}

bool Transport::SendText(const std::string& text) {
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        connection = state_->connection;
    }
    return connection && connection->Send(std::vector<std::uint8_t>(text.begin(), text.end()),
                                          WINHTTP_WEB_SOCKET_UTF8_MESSAGE_BUFFER_TYPE);
}

bool Transport::SendBinary(std::vector<std::uint8_t> bytes) {
    std::shared_ptr<Connection> connection;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        connection = state_->connection;
    }
    return connection &&
           connection->Send(std::move(bytes), WINHTTP_WEB_SOCKET_BINARY_MESSAGE_BUFFER_TYPE);
}

void Transport::Close() {
    std::shared_ptr<Connection> connection;
    std::thread receiver;
    {
        std::lock_guard<std::mutex> lock(state_->mutex);
        connection = std::move(state_->connection);
        receiver = std::move(state_->receiveThread);
    }
    if (connection) connection->Shutdown();
    if (receiver.joinable()) {
        if (receiver.get_id() == std::this_thread::get_id())
            receiver.detach();
        else
            receiver.join();
    }
}

}  // namespace kl
