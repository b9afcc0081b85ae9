#pragma once
// One relay connection as the server sees it, whatever its stream (plain or TLS), and what a
// connection reports back. Everything runs on the relay's one I/O thread.
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl/context.hpp>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

#include "relay/router.hpp"

namespace kl::relay {

class Session;

// The memory all connections hold: read buffers, the message being read, queued output (each
// message with its overhead), TLS buffers and the upgrade's request. A connection reserves what it
// will hold before allocating it. Shared, so that a connection ended by anything, even an
// exception, gives back what it held.
struct MemoryBudget {
    std::size_t limit = 0, used = 0;
    bool Fits(std::size_t more) const { return used <= limit && more <= limit - used; }
};

class SessionOwner {
  public:
    virtual void OnOpened(Session& session) = 0;
    virtual void OnText(Session& session, std::string_view text) = 0;
    virtual void OnBinary(Session& session, std::shared_ptr<const std::string> data) = 0;
    virtual void OnFinished(Session& session, const std::string& how) = 0;
    virtual void Refusal(Session& session, const char* reason) = 0;
    virtual void Log(ConnId id, const std::string& line) = 0;
    virtual std::size_t sendBufferBytes() const = 0;
    virtual std::size_t maxBinaryBytes() const = 0;
    // A connection with output owed that has not been read by its peer for this long is dropped.
    virtual std::chrono::milliseconds stalledReaderTime() const = 0;
    virtual std::size_t maxTextBytes() const = 0;
    virtual std::chrono::milliseconds handshakeTimeout() const = 0;
    virtual std::shared_ptr<MemoryBudget> memoryBudget() = 0;
    // `asker` was refused `want` bytes of the budget: true when a connection holding more was
    // ended to make room (its memory comes back once it has finished).
    virtual bool Reclaim(Session& asker, std::size_t want) = 0;

  protected:
    ~SessionOwner() = default;
};

class Session : public std::enable_shared_from_this<Session> {
  public:
    Session(SessionOwner& owner, ConnId id, std::string address)
        : owner_(owner), id_(id), address_(std::move(address)) {}
    virtual ~Session() = default;
    virtual void Start() = 0;
    virtual void Send(std::shared_ptr<const std::string> data, bool text) = 0;
    virtual void Close(std::uint16_t code) = 0;  // after the queued output
    virtual void Drop() = 0;                     // at once, without a close frame
    ConnId id() const { return id_; }
    const std::string& address() const { return address_; }
    bool open() const { return open_; }
    // Until then only text up to the text limit is read; a paired peer may send frames.
    virtual void AllowBinary() = 0;

    // Flow control between the two sides of a session: output queued here, including the
    // message being written; reading held back; and the one sender that waits until this
    // connection's output has drained to `bound` (or the connection ends).
    virtual std::size_t queuedBytes() const = 0;
    // What the memory budget holds for this connection, and the part of it that is room made for
    // a message's payload not yet arrived.
    virtual std::size_t chargedBytes() const = 0;
    virtual std::size_t unfilledBytes() const = 0;
    virtual void DropForMemory() = 0;
    virtual void HoldReading() = 0;
    virtual void ResumeReading() = 0;
    virtual void ResumeWhenDrained(std::shared_ptr<Session> sender, std::size_t bound) = 0;
    // A client silent for half of `limit` is pinged (once per silence), one silent for all of
    // it is dropped; true when dropped now.
    virtual bool KeepAlive(Clock::time_point now, Clock::duration limit) = 0;

  protected:
    SessionOwner& owner_;
    const ConnId id_;
    const std::string address_;
    bool open_ = false;
};

// Each in its own translation unit: the session templates are slow to optimise.
std::shared_ptr<Session> MakePlainSession(SessionOwner& owner, ConnId id, std::string address,
                                          boost::asio::ip::tcp::socket socket);
std::shared_ptr<Session> MakeTlsSession(SessionOwner& owner, ConnId id, std::string address,
                                        boost::asio::ip::tcp::socket socket,
                                        boost::asio::ssl::context& tls);

}  // namespace kl::relay
