#pragma once
// The WebSocket connection of one client: TLS handshake (when TLS), the HTTP upgrade on /ws,
// then frames read and written by the relay itself (ws_frame.*): one read and one write in
// flight, a bounded output queue, and the close. An idle connection waits for readability with
// no read buffer at all. Flow control: reading is held while the partner's output is backed up,
// and a peer that stops reading is dropped. The members are defined in ws_session_impl.hpp.
#include <openssl/evp.h>

#include <array>
#include <boost/asio.hpp>
#include <boost/asio/ssl/stream_base.hpp>
#include <boost/beast/core/flat_buffer.hpp>
#include <boost/beast/http.hpp>
#include <boost/beast/websocket/rfc6455.hpp>
#include <boost/container/deque.hpp>
#include <chrono>
#include <memory>
#include <optional>
#include <type_traits>

#include "relay/core/client_input.hpp"
#include "relay/connection/large_writes.hpp"
#include "relay/connection/low_water.hpp"
#include "relay/connection/message_pool.hpp"
#include "relay/connection/session.hpp"
#include "relay/connection/socket_progress.hpp"
#include "relay/connection/ws_frame.hpp"

namespace kl::relay::detail {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
using tcp = asio::ip::tcp;

// How long a closing connection's input is still read and thrown away, so that the client
// gets the close frame (1009 above all) before the TCP connection ends, even mid-send; and how
// long a close frame of ours waits for the client's.
inline constexpr auto kCloseLinger = std::chrono::seconds(2);

// Reads land in a small staging buffer, except the rest of a large frame, which is read
// straight into its message.
inline constexpr std::size_t kStageBytes = 16 * 1024;
inline constexpr std::size_t kDirectRead = 4 * 1024;

// What a queued message costs beyond its payload: the shared string, its control block and the
// queue's slot, as the allocator hands them out. A queue of empty messages is not empty.
inline constexpr std::size_t kMessageOverhead = 128;
// However small, no more messages than this wait for one reader.
inline constexpr std::size_t kMaxQueuedMessages = 16384;
// Held for a connection until its upgrade is done: the request's buffer and parser (the header
// limit bounds both) and, over TLS, OpenSSL's handshake buffers.
inline constexpr std::size_t kRequestHeaderLimit = 8192;
inline constexpr std::size_t kUpgradeReserve = 32 * 1024;
// A connection refused memory for its message's next piece waits this long between tries, and
// at most kRoomWaitLimit in all, before it is closed.
inline constexpr auto kRoomRetry = std::chrono::milliseconds(20);
inline constexpr auto kRoomWaitLimit = std::chrono::seconds(2);
// Input that shows a client is there: a whole frame, or a read of at least this much. A byte now
// and then into a frame announced large does not keep its connection (and its room) alive.
inline constexpr std::size_t kLivelyBytes = 512;
// Room a sender fills within this long, at the pace it has been sending, is earned.
inline constexpr auto kFillWithin = std::chrono::seconds(4);
// How much a reader's queue may grow, never shrinking, for the stalled-reader time.
inline constexpr std::size_t kGrowthSlack = 64 * 1024;

// A Sec-WebSocket-Key is the base64 of 16 bytes: 22 characters and "==".
inline bool IsWebSocketKey(std::string_view key) {
    if (key.size() != 24 || key.substr(22) != "==") return false;
    return std::all_of(key.begin(), key.begin() + 22, [](char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '+' || c == '/';
    });
}

// The value of Sec-WebSocket-Accept for a client's Sec-WebSocket-Key.
inline std::string WebSocketAccept(std::string_view key) {
    static constexpr std::string_view kGuid = "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    std::string joined(key);
    joined += kGuid;
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    EVP_Digest(joined.data(), joined.size(), digest, &length, EVP_sha1(), nullptr);
    std::string out(4 * ((length + 2) / 3), '\0');
    EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), digest, static_cast<int>(length));
    return out;
}

inline tcp::socket& LowestLayer(tcp::socket& socket) {
    return socket;
}
template <class Stream>
tcp::socket& LowestLayer(Stream& stream) {
    return stream.next_layer();
}
inline std::size_t HeldBytes(const tcp::socket&) {
    return 0;
}
template <class Stream>
std::size_t HeldBytes(const Stream& stream) {
    return stream.heldBytes();
}
template <class Handler>
void AsyncWaitReadable(tcp::socket& socket, Handler&& handler) {
    socket.async_wait(tcp::socket::wait_read, std::forward<Handler>(handler));
}
template <class Stream, class Handler>
void AsyncWaitReadable(Stream& stream, Handler&& handler) {
    stream.async_wait_readable(std::forward<Handler>(handler));
}

template <class Stream>
class WsSession final : public Session {
  public:
    static constexpr bool kTls = !std::is_same_v<Stream, tcp::socket>;

    template <class... Args>
    WsSession(SessionOwner& owner, ConnId id, std::string address, Args&&... args)
        : Session(owner, id, std::move(address)),
          stream_(std::forward<Args>(args)...),
          reader_(owner.maxTextBytes()),
          budget_(owner.memoryBudget()) {
        if constexpr (kTls) stream_.SetBudget(budget_.get());
    }

    ~WsSession() override { budget_->used -= charged_; }

    void Start() override;

    void Send(std::shared_ptr<const std::string> data, bool text) override;

    // After the queued output: our close frame, then the client's answer awaited.
    void Close(std::uint16_t code) override;

    void Drop() override;

    void AllowBinary() override { reader_.SetLimit(owner_.maxBinaryBytes()); }
    std::size_t queuedBytes() const override { return queuedBytes_; }
    // One already being dropped has nothing more to give.
    std::size_t chargedBytes() const override { return abandoned_ ? 0 : charged_; }
    // Room its sender would fill within a few seconds at the pace its bytes have reached this
    // host since the room was given (a slow uplink mid-frame) has not been left unearned; a byte
    // now and then excuses nothing.
    std::size_t unfilledBytes() const override;
    void DropForMemory() override;
    void HoldReading() override { readHeld_ = true; }
    void ResumeReading() override;
    void ResumeWhenDrained(std::shared_ptr<Session> sender, std::size_t bound) override;
    bool KeepAlive(Clock::time_point now, Clock::duration limit) override;

  private:
    struct Outgoing {
        std::shared_ptr<const std::string> data;
        std::uint8_t opcode;
    };
    // Unlike std::deque it allocates nothing while empty, and an idle connection's queue is.
    using OutputQueue = boost::container::deque<Outgoing>;
    // What follows our close frame: the client's close awaited (a close of ours), the end at once
    // (an answer to the client's), or its input drained for a while (a client that broke the
    // rules, perhaps still sending).
    enum class AfterClose { AwaitReply, Finish, Linger };

    std::shared_ptr<WsSession> Self();

    // --- The upgrade ------------------------------------------------------------------------

    void ReadRequest();

    void OnRequest(boost::system::error_code ec);

    // An answer other than the upgrade, then the end of the connection.
    void Respond(http::status status, const char* body, const char* failure = nullptr);

    void OnUpgraded();

    // --- Reading ------------------------------------------------------------------------------

    // Runs the read loop until it must wait for the socket (or is held, or ends).
    void Read();

    // The next piece of the message's storage, reserved from the budget before it is allocated.
    // Refused, the connection stops reading and tries again shortly, while the server makes room
    // by ending the connection that holds the most it has not earned; refused for long, it ends.
    bool MakeRoom();

    void AwaitInput();

    void ReadStage();

    // The rest of a large frame, straight into its message.
    void ReadPayload();

    // What a frame brought; false when reading stops here.
    bool OnEvent(ws::MessageReader::Event event);

    void OnReadError(boost::system::error_code ec);

    static std::string FailureText(std::uint16_t code);

    // How a connection that sent its close frame ended.
    std::string ClosedHow() const { return "closed code=" + std::to_string(closeCode_); }

    void Stage();
    void ReleaseStage();

    // After a close frame of ours (or a reset peer, which ends this at once): what the client
    // still sends is read and thrown away until it closes too, for kCloseLinger at most.
    void Linger(std::string how);

    void Discard(std::shared_ptr<const std::string> how);

    // --- Writing ------------------------------------------------------------------------------

    bool Queue(std::shared_ptr<const std::string> data, std::uint8_t opcode, bool control);

    // One pong waits at most, the answer to the latest ping: a client that pings and reads
    // nothing would otherwise have the relay keep a pong for every ping.
    void QueuePong();

    // Our close frame goes after what is queued (a close of ours) or after the write under way
    // (an answer, a failure): nothing else is sent once a close is due.
    void StartClose(std::uint16_t code, AfterClose after, std::string how);

    void WriteNext();

    // One frame, its header and payload in one write; `payload` must outlive the write.
    template <class Handler>
    void WriteFrame(std::uint8_t opcode, const std::string& payload, Handler&& handler);

    void SendClose();

    void OnCloseSent(boost::system::error_code ec);

    // The end of our output: close_notify over TLS, then the TCP half-close.
    template <class Then>
    void EndOutput(Then then);

    void Recharge();

    void Finish(const std::string& how);

    // Ends the connection with `how` unless it has ended by then.
    void ArmDeadline(std::chrono::steady_clock::duration after, std::string how);

    // --- Flow control ---------------------------------------------------------------------

    void ReleaseDrainWaiter();

    // With its reading held there is no read to fail and report the end: report it here, after
    // the caller (maybe the server, in the middle of forwarding) has returned.
    void Abandon(std::string how);

    // While output is owed, the peer must take some of it now and then: progress is a written
    // message or bytes newly acknowledged by the peer's TCP, so a slow link that still moves
    // keeps its connection however much waits, and a peer that stopped reading is dropped.
    void WatchWriteProgress();

    void ArmProgressTimer();

    void CheckWriteProgress();

    Stream stream_;
    // The upgrade's request; released once upgraded.
    beast::flat_buffer buffer_{kRequestHeaderLimit + kStageBytes};
    std::unique_ptr<http::request_parser<http::empty_body>> parser_;
    std::optional<asio::steady_timer> deadline_;  // the handshake, a close: not while open
    // Input.
    ws::MessageReader reader_;
    std::unique_ptr<char[]> stage_;  // only while input is under way
    std::size_t stageHead_ = 0, stageTail_ = 0;
    std::optional<LowWater> lowWater_;
    std::unique_ptr<asio::steady_timer> roomTimer_;  // while refused memory for a message
    Clock::time_point roomWaitSince_{};
    Clock::time_point lastInput_{}, pinged_{};
    Clock::time_point roomGiven_{};   // when the message's latest room was given
    std::uint64_t roomReceived_ = 0;  // and the bytes the socket had received then, less unread
    Clock::time_point receivedAt_{};  // when receivedSeen_ was taken, in a silence
    std::uint64_t receivedSeen_ = 0;
    // Output.
    OutputQueue queue_;
    std::size_t queuedBytes_ = 0;
    std::array<std::uint8_t, 10> header_{};  // of the frame being written
    std::shared_ptr<MemoryBudget> budget_;
    std::size_t charged_ = 0;  // what budget_ holds for this connection
    bool writing_ = false, closeRequested_ = false, closeSent_ = false, finished_ = false;
    std::uint16_t closeCode_ = 1000;
    bool replied_ = false;  // the client's close came while ours was being written
    AfterClose afterClose_ = AfterClose::AwaitReply;
    std::string afterHow_;
    std::unique_ptr<const std::string> abandoned_;  // why, once dropped by the relay
    // Flow control.
    bool reading_ = false, readHeld_ = false, watchingProgress_ = false;
    // Held strongly: a sender whose reading is held has no operation of its own keeping it alive.
    std::shared_ptr<Session> drainWaiter_;
    std::size_t drainBound_ = 0;
    std::optional<asio::steady_timer>
        progressTimer_;  // made on the first write: idle hosts pay nothing
    Clock::time_point lastProgress_;
    // The queue at the last look, and since when (and from what) it has grown at every look.
    std::size_t lastLook_ = 0, growthBase_ = 0;
    Clock::time_point growingSince_;
    std::uint64_t ackedSeen_ = 0;
};

}  // namespace kl::relay::detail
