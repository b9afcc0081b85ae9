#pragma once
// One hiredis asynchronous connection driven by the relay's own io_context: hiredis asks for
// read and write readiness through its event hooks and Asio waits on the socket, so the
// relay's thread never blocks on Redis.
#include <hiredis/async.h>

#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace kl::relay {

class RedisTlsBridge;

struct RedisTarget {
    std::string host;
    std::uint16_t port = 6379;
    int db = 0;
    std::string user, password;  // AUTH USER PASSWORD, or AUTH PASSWORD without a user
    bool tls = false;            // rediss://
    // With `tls`: the CAs that sign Redis's certificate (empty: the system's), and a client
    // certificate and key for a Redis that asks for one (both or neither).
    std::string caFile, certFile, keyFile;
    // The largest bulk string taken from Redis; a larger one arrives empty (see RespFilter).
    std::size_t maxBulkBytes = 512u << 20;
};

// Parses redis[s]://[USER@]HOST[:PORT][/DB]; throws std::invalid_argument with the reason. A
// password has no place in a URL that sits in the command line, readable by every local user.
RedisTarget ParseRedisUrl(const std::string& url);
// The password in `path` (its first line), for a file that others than its owner and group
// cannot read; throws std::invalid_argument with the reason, never with the password.
std::string ReadPasswordFile(const std::string& path);

class RedisConnection {
  public:
    // The reply, or nullptr when the connection went away before it came.
    using Reply = std::function<void(redisReply*)>;

    RedisConnection(boost::asio::io_context& ioc, RedisTarget target);
    ~RedisConnection();
    RedisConnection(const RedisConnection&) = delete;
    RedisConnection& operator=(const RedisConnection&) = delete;

    // Starts connecting; `onUp` runs once the connection (AUTH and SELECT queued) is usable,
    // `onDown` once when it is lost or cannot be made. Both run from the io_context later.
    void Connect(std::function<void()> onUp, std::function<void(const std::string&)> onDown);
    // Ends the connection now; pending replies get nullptr.
    void Disconnect(const std::string& why = "disconnected");
    bool up() const { return up_; }
    // Bulk strings from Redis passed on empty for their size since the connection began.
    std::uint64_t oversized() const;

    bool Command(const std::vector<std::string_view>& args, Reply reply);
    // A command already in the Redis protocol, sent without another copy of its arguments.
    bool Raw(const std::string& resp, Reply reply);
    // After SUBSCRIBE every pushed message of the channel goes to `onMessage`.
    bool Subscribe(const std::string& channel, std::function<void(std::string_view)> onMessage);

  private:
    struct Watch;
    static void OnConnect(const redisAsyncContext* ac, int status);
    static void OnDisconnect(const redisAsyncContext* ac, int status);
    static void OnReply(redisAsyncContext* ac, void* reply, void* privdata);
    static void OnPushed(redisAsyncContext* ac, void* reply, void* privdata);
    void Lost(const std::string& why);
    void ConnectTo(const std::string& host, std::uint16_t port);

    boost::asio::io_context& ioc_;
    RedisTarget target_;
    redisAsyncContext* ac_ = nullptr;
    std::shared_ptr<Watch> watch_;
    std::shared_ptr<RedisTlsBridge> bridge_;  // rediss:// only
    boost::asio::steady_timer connectTimer_;
    std::function<void()> onUp_;
    std::function<void(const std::string&)> onDown_;
    std::function<void(std::string_view)> onMessage_;
    bool up_ = false;
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// "*N\r\n$len\r\narg\r\n..." for a command whose last argument is `head` followed by `tail`.
std::string FormatCommand(const std::vector<std::string_view>& args, std::string_view tail = {});

}  // namespace kl::relay
