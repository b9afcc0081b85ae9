#include "relay/redis_client.hpp"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <boost/asio/posix/stream_descriptor.hpp>
#include <boost/asio/post.hpp>
#include <cerrno>
#include <charconv>
#include <fstream>
#include <stdexcept>

#include "relay/redis_tls.hpp"
#include "relay/resp_filter.hpp"

// Exported by hiredis 0.14 (its adapters' read path ends in it) though its header does not
// declare it: runs the callbacks of the replies the reader holds.
extern "C" void redisProcessCallbacks(redisAsyncContext* ac);

namespace kl::relay {

namespace asio = boost::asio;

namespace {
constexpr auto kConnectTime = std::chrono::seconds(3);

struct Pending {
    RedisConnection::Reply reply;
};
}  // namespace

RedisTarget ParseRedisUrl(const std::string& url) {
    RedisTarget t;
    t.tls = url.rfind("rediss://", 0) == 0;
    if (!t.tls && url.rfind("redis://", 0) != 0)
        throw std::invalid_argument("--redis needs redis://HOST:PORT[/DB] or rediss://, got \"" +
                                    url + "\"");
    std::string rest = url.substr(t.tls ? 9 : 8);
    const auto slash = rest.find('/');
    std::string path = slash == std::string::npos ? "" : rest.substr(slash + 1);
    rest = rest.substr(0, slash);
    const auto at = rest.rfind('@');
    if (at != std::string::npos) {
        t.user = rest.substr(0, at);
        rest = rest.substr(at + 1);
        // Named neither in the error nor anywhere else: it may be the password itself.
        if (t.user.find(':') != std::string::npos)
            throw std::invalid_argument(
                "--redis: a password in the URL is readable by every local user; give "
                "redis://USER@HOST and --redis-password-file");
        if (t.user.empty()) throw std::invalid_argument("--redis: an empty user before @");
    }
    std::string port;
    if (!rest.empty() && rest[0] == '[') {
        const auto close = rest.find(']');
        if (close == std::string::npos)
            throw std::invalid_argument("--redis: unclosed [ in \"" + url + "\"");
        t.host = rest.substr(1, close - 1);
        if (close + 1 < rest.size()) {
            if (rest[close + 1] != ':')
                throw std::invalid_argument("--redis: bad address in \"" + url + "\"");
            port = rest.substr(close + 2);
        }
    } else {
        const auto colon = rest.find(':');
        t.host = rest.substr(0, colon);
        if (colon != std::string::npos) port = rest.substr(colon + 1);
    }
    if (t.host.empty()) throw std::invalid_argument("--redis needs a host in \"" + url + "\"");
    auto number = [&](const std::string& s, long max, const char* what) {
        long v = -1;
        const auto r = std::from_chars(s.data(), s.data() + s.size(), v);
        if (s.empty() || r.ec != std::errc() || r.ptr != s.data() + s.size() || v < 0 || v > max)
            throw std::invalid_argument(std::string("--redis: bad ") + what + " in \"" + url +
                                        "\"");
        return v;
    };
    if (!port.empty()) t.port = static_cast<std::uint16_t>(number(port, 65535, "port"));
    if (t.port == 0) throw std::invalid_argument("--redis: bad port in \"" + url + "\"");
    if (!path.empty()) t.db = static_cast<int>(number(path, 15, "database number"));
    return t;
}

std::string ReadPasswordFile(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode))
        throw std::invalid_argument("--redis-password-file: cannot read " + path);
    if ((st.st_mode & S_IRWXO) != 0)
        throw std::invalid_argument("--redis-password-file: " + path +
                                    " may be read by anyone; make it mode 0600 or 0640");
    std::ifstream in(path);
    std::string password;
    if (!in || !std::getline(in, password))
        throw std::invalid_argument("--redis-password-file: cannot read " + path);
    if (!password.empty() && password.back() == '\r') password.pop_back();
    if (password.empty())
        throw std::invalid_argument("--redis-password-file: " + path + " is empty");
    return password;
}

std::string FormatCommand(const std::vector<std::string_view>& args, std::string_view tail) {
    std::size_t size = 16 + tail.size();
    for (auto a : args) size += a.size() + 16;
    std::string out;
    out.reserve(size);
    out += '*' + std::to_string(args.size()) + "\r\n";
    for (std::size_t i = 0; i < args.size(); ++i) {
        const bool last = i + 1 == args.size();
        out += '$' + std::to_string(args[i].size() + (last ? tail.size() : 0)) + "\r\n";
        out.append(args[i].data(), args[i].size());
        if (last) out.append(tail.data(), tail.size());
        out += "\r\n";
    }
    return out;
}

// Readiness waits on hiredis's socket. The descriptor stays hiredis's: it is released, never
// closed, when hiredis cleans up.
struct RedisConnection::Watch : std::enable_shared_from_this<Watch> {
    Watch(asio::io_context& ioc, int fd, std::size_t maxBulk) : sd(ioc, fd), filter(maxBulk) {}
    asio::posix::stream_descriptor sd;
    RespFilter filter;
    std::function<void(const std::string&)> onFault;
    redisAsyncContext* ac = nullptr;
    bool reading = false, writing = false, readArmed = false, writeArmed = false;

    void ArmRead() {
        if (readArmed || !ac) return;
        readArmed = true;
        sd.async_wait(asio::posix::stream_descriptor::wait_read,
                      [self = shared_from_this()](boost::system::error_code ec) {
                          if (ec) {
                              self->readArmed = false;
                              return;
                          }
                          self->OnReadable();
                      });
    }
    // Asio waits are edge-triggered: a socket not read to its end gives no new readiness
    // until more arrives, so a pause in the middle goes on from a posted handler instead.
    void OnReadable() {
        readArmed = false;
        if (!ac || !reading) return;
        const bool drained = Read();
        if (!ac || !reading) return;
        if (drained) return ArmRead();
        readArmed = true;
        asio::post(sd.get_executor(), [self = shared_from_this()] { self->OnReadable(); });
    }
    // hiredis reads 16 KiB per readiness; a relay's channel carries frames of up to 8 MiB, so
    // read what the socket holds in large pieces and hand it to hiredis's reader at once.
    // True when the socket has been read to its end (or the connection is gone).
    bool Read() {
        redisAsyncContext* a = ac;
        if (!(a->c.flags & REDIS_CONNECTED)) {
            redisAsyncHandleRead(a);  // the connect step; replies come with the next readiness
            return true;
        }
        static thread_local std::unique_ptr<char[]> buffer(new char[kReadChunk]);
        bool fed = false;
        for (int i = 0; i < 16; ++i) {
            const ssize_t n = ::read(a->c.fd, buffer.get(), kReadChunk);
            if (n > 0) {
                if (!filter.Feed(buffer.get(), static_cast<std::size_t>(n), &FeedReader,
                                 a->c.reader)) {
                    if (fed) redisProcessCallbacks(a);
                    if (ac && onFault) onFault("refused a reply from Redis: " + filter.fault());
                    return true;
                }
                fed = true;
                continue;
            }
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
                if (fed) redisProcessCallbacks(a);
                return true;
            }
            // End of stream or an error: hiredis reads again, sees it and tears down.
            if (fed) redisProcessCallbacks(a);
            if (ac) redisAsyncHandleRead(ac);
            return true;
        }
        if (fed) redisProcessCallbacks(a);
        return false;
    }
    static constexpr std::size_t kReadChunk = 256 * 1024;
    static void FeedReader(void* reader, const char* data, std::size_t size) {
        redisReaderFeed(static_cast<redisReader*>(reader), data, size);
    }

    void ArmWrite() {
        if (writeArmed || !ac) return;
        writeArmed = true;
        sd.async_wait(asio::posix::stream_descriptor::wait_write,
                      [self = shared_from_this()](boost::system::error_code ec) {
                          self->writeArmed = false;
                          if (ec || !self->ac || !self->writing) return;
                          redisAsyncHandleWrite(self->ac);
                          if (self->ac && self->writing) self->ArmWrite();
                      });
    }
    static void AddRead(void* p) {
        auto* w = static_cast<Watch*>(p);
        w->reading = true;
        w->ArmRead();
    }
    static void DelRead(void* p) { static_cast<Watch*>(p)->reading = false; }
    static void AddWrite(void* p) {
        auto* w = static_cast<Watch*>(p);
        w->writing = true;
        w->ArmWrite();
    }
    static void DelWrite(void* p) { static_cast<Watch*>(p)->writing = false; }
    static void Cleanup(void* p) {
        auto* w = static_cast<Watch*>(p);
        w->ac = nullptr;
        w->reading = w->writing = false;
        boost::system::error_code ignored;
        w->sd.cancel(ignored);
        w->sd.release();
    }
};

RedisConnection::RedisConnection(asio::io_context& ioc, RedisTarget target)
    : ioc_(ioc), target_(std::move(target)), connectTimer_(ioc) {}

RedisConnection::~RedisConnection() {
    *alive_ = false;
    onDown_ = nullptr;
    if (bridge_) bridge_->Close();
    if (ac_) {
        redisAsyncContext* ac = ac_;
        ac_ = nullptr;
        ac->data = nullptr;
        redisAsyncFree(ac);
    }
}

void RedisConnection::Connect(std::function<void()> onUp,
                              std::function<void(const std::string&)> onDown) {
    onUp_ = std::move(onUp);
    onDown_ = std::move(onDown);
    up_ = false;
    connectTimer_.expires_after(kConnectTime);
    connectTimer_.async_wait([this, alive = alive_](boost::system::error_code ec) {
        if (ec || !*alive || up_) return;
        if (bridge_) bridge_->Close();
        Lost("connect timed out");
        Disconnect();
    });
    if (!target_.tls) return ConnectTo(target_.host, target_.port);
    // hiredis comes in only once Redis's certificate has passed.
    bridge_ = RedisTlsBridge::Open(
        ioc_, target_, [this, alive = alive_](std::uint16_t port, const std::string& error) {
            if (!*alive || up_ || ac_) return;
            if (!error.empty()) {
                connectTimer_.cancel();
                return Lost(error);
            }
            ConnectTo("127.0.0.1", port);
            if (ac_ && bridge_) {
                sockaddr_storage local{};
                socklen_t size = sizeof local;
                if (getsockname(ac_->c.fd, reinterpret_cast<sockaddr*>(&local), &size) == 0 &&
                    local.ss_family == AF_INET)
                    bridge_->Expect(ntohs(reinterpret_cast<sockaddr_in*>(&local)->sin_port));
            }
        });
}

void RedisConnection::ConnectTo(const std::string& host, std::uint16_t port) {
    redisAsyncContext* ac = redisAsyncConnect(host.c_str(), port);
    if (!ac || ac->err) {
        const std::string why = ac ? ac->errstr : "out of memory";
        if (ac) redisAsyncFree(ac);
        connectTimer_.cancel();
        return Lost("cannot connect: " + why);
    }
    ac_ = ac;
    ac->data = this;
    watch_ = std::make_shared<Watch>(ioc_, ac->c.fd, target_.maxBulkBytes);
    watch_->ac = ac;
    watch_->onFault = [this, alive = alive_](const std::string& why) {
        if (*alive) Disconnect(why);
    };
    ac->ev.data = watch_.get();
    ac->ev.addRead = &Watch::AddRead;
    ac->ev.delRead = &Watch::DelRead;
    ac->ev.addWrite = &Watch::AddWrite;
    ac->ev.delWrite = &Watch::DelWrite;
    ac->ev.cleanup = &Watch::Cleanup;
    redisAsyncSetConnectCallback(ac, &RedisConnection::OnConnect);
    redisAsyncSetDisconnectCallback(ac, &RedisConnection::OnDisconnect);
    // hiredis asked for write readiness before the hooks existed: ask again.
    Watch::AddWrite(watch_.get());
    // A refused login or a missing permission is said once, in Redis's words (which never
    // repeat the password), and the connection goes: nothing could work over it.
    auto login = [this, alive = alive_](redisReply* r) {
        if (*alive && r && r->type == REDIS_REPLY_ERROR)
            Disconnect("Redis refused the login: " + std::string(r->str, r->len));
    };
    if (!target_.user.empty())
        Command({"AUTH", target_.user, target_.password}, login);
    else if (!target_.password.empty())
        Command({"AUTH", target_.password}, login);
    if (target_.db != 0)
        Command({"SELECT", std::to_string(target_.db)}, [this, alive = alive_](redisReply* r) {
            if (*alive && r && r->type == REDIS_REPLY_ERROR)
                Disconnect("Redis refused SELECT: " + std::string(r->str, r->len));
        });
}

void RedisConnection::OnConnect(const redisAsyncContext* ac, int status) {
    auto* self = static_cast<RedisConnection*>(ac->data);
    if (!self) return;
    if (status != REDIS_OK) {
        // hiredis frees the context after this returns.
        self->ac_ = nullptr;
        self->connectTimer_.cancel();
        self->Lost(std::string("cannot connect: ") + (ac->errstr[0] ? ac->errstr : "refused"));
        return;
    }
    self->up_ = true;
    self->connectTimer_.cancel();
    asio::post(self->ioc_, [self, alive = self->alive_] {
        if (*alive && self->up_ && self->onUp_) self->onUp_();
    });
}

void RedisConnection::OnDisconnect(const redisAsyncContext* ac, int status) {
    auto* self = static_cast<RedisConnection*>(ac->data);
    if (!self) return;
    self->ac_ = nullptr;
    // Over TLS hiredis sees only the loopback end close; the bridge knows why.
    if (self->bridge_ && !self->bridge_->error().empty())
        return self->Lost("connection lost: " + self->bridge_->error());
    self->Lost(status == REDIS_OK ? "disconnected" : std::string("connection lost: ") + ac->errstr);
}

void RedisConnection::Lost(const std::string& why) {
    up_ = false;
    auto down = std::move(onDown_);
    onDown_ = nullptr;
    if (!down) return;
    asio::post(ioc_, [down = std::move(down), why, alive = alive_] {
        if (*alive) down(why);
    });
}

std::uint64_t RedisConnection::oversized() const {
    return watch_ ? watch_->filter.skipped() : 0;
}

void RedisConnection::Disconnect(const std::string& why) {
    if (bridge_) bridge_->Close();
    if (!ac_) return;
    redisAsyncContext* ac = ac_;
    ac_ = nullptr;
    ac->data = nullptr;  // no callbacks into this object from the free
    up_ = false;
    // hiredis must not be entered again before the free, and the free must not run inside
    // one of its own callbacks: stop the waits now and free from a fresh handler.
    auto watch = watch_;
    if (watch) {
        watch->reading = watch->writing = false;
        watch->ac = nullptr;
    }
    asio::post(ioc_, [ac, watch] { redisAsyncFree(ac); });
    auto down = std::move(onDown_);
    onDown_ = nullptr;
    if (down)
        asio::post(ioc_, [down = std::move(down), why, alive = alive_] {
            if (*alive) down(why);
        });
}

// Nothing a reply holds may end the relay: a handler that cannot use one ends the connection
// instead, which the cluster treats as any other loss of Redis.
void RedisConnection::OnReply(redisAsyncContext* ac, void* reply, void* privdata) {
    std::unique_ptr<Pending> pending(static_cast<Pending*>(privdata));
    if (!pending->reply) return;
    try {
        pending->reply(static_cast<redisReply*>(reply));
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        if (auto* self = static_cast<RedisConnection*>(ac->data))
            self->Disconnect(std::string("a reply the relay could not use: ") + e.what());
    }
}

bool RedisConnection::Command(const std::vector<std::string_view>& args, Reply reply) {
    if (!ac_) return false;
    std::vector<const char*> argv;
    std::vector<std::size_t> lens;
    for (auto a : args) {
        argv.push_back(a.data());
        lens.push_back(a.size());
    }
    auto pending = std::make_unique<Pending>(Pending{std::move(reply)});
    if (redisAsyncCommandArgv(ac_, &RedisConnection::OnReply, pending.get(),
                              static_cast<int>(args.size()), argv.data(), lens.data()) != REDIS_OK)
        return false;
    pending.release();
    return true;
}

bool RedisConnection::Raw(const std::string& resp, Reply reply) {
    if (!ac_) return false;
    auto pending = std::make_unique<Pending>(Pending{std::move(reply)});
    if (redisAsyncFormattedCommand(ac_, &RedisConnection::OnReply, pending.get(), resp.data(),
                                   resp.size()) != REDIS_OK)
        return false;
    pending.release();
    return true;
}

void RedisConnection::OnPushed(redisAsyncContext* ac, void* reply, void*) {
    auto* self = static_cast<RedisConnection*>(ac->data);
    auto* r = static_cast<redisReply*>(reply);
    // A subscription Redis refuses (a user without the channel, say) leaves nothing to listen to.
    if (self && r && r->type == REDIS_REPLY_ERROR)
        return self->Disconnect("Redis refused SUBSCRIBE: " +
                                std::string(r->str, std::min<std::size_t>(r->len, 200)));
    if (!self || !r || r->type != REDIS_REPLY_ARRAY || r->elements != 3) return;
    const redisReply* kind = r->element[0];
    const redisReply* body = r->element[2];
    if (kind->type != REDIS_REPLY_STRING || std::string_view(kind->str, kind->len) != "message")
        return;
    if (body->type != REDIS_REPLY_STRING || !self->onMessage_) return;
    try {
        self->onMessage_(std::string_view(body->str, body->len));
    } catch (const std::bad_alloc&) {
        throw;
    } catch (const std::exception& e) {
        self->Disconnect(std::string("a message the relay could not use: ") + e.what());
    }
}

bool RedisConnection::Subscribe(const std::string& channel,
                                std::function<void(std::string_view)> onMessage) {
    if (!ac_) return false;
    onMessage_ = std::move(onMessage);
    const char* argv[] = {"SUBSCRIBE", channel.c_str()};
    const std::size_t lens[] = {9, channel.size()};
    return redisAsyncCommandArgv(ac_, &RedisConnection::OnPushed, nullptr, 2, argv, lens) ==
           REDIS_OK;
}

}  // namespace kl::relay
