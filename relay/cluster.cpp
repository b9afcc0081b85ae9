#include "relay/cluster.hpp"

#include <algorithm>
#include <boost/asio/ip/address_v6.hpp>
#include <cstdio>
#include <cstdlib>
#include <exception>

#include "crypto/credentials.hpp"
#include "session/messages.hpp"

namespace kl::relay {

namespace {

namespace asio = boost::asio;
using std::chrono::milliseconds;

constexpr auto kTick = milliseconds(1000);
constexpr int kHostTtlMs = 30000;       // a dead relay's IDs free themselves after this
constexpr unsigned kRefreshTicks = 10;  // owned IDs refreshed every 10 s
constexpr int kNodeTtlMs = 3000;        // heartbeat every tick, gone after this
constexpr int kNodeMissesToEnd = 2;     // two checks in a row without a heartbeat
constexpr auto kMaxBackoff = milliseconds(5000);
constexpr auto kHungRedis = milliseconds(3000);
constexpr auto kDrainPoll = milliseconds(10);
constexpr std::size_t kRefreshBatch = 500;
// What one message between relays costs beyond its payload (header, seal, Redis framing),
// counted in a pair's bytes in flight so that a flood of tiny messages is held as early as
// one of large ones.
constexpr std::size_t kMessageCost = 128;

const char kHostPrefix[] = "kl:host:";
const char kNodePrefix[] = "kl:node:";
const char kRatePrefix[] = "kl:rate:";
const char kChannelPrefix[] = "kl:relay:";

// Claims an ID unless a live relay holds it; an owner without a heartbeat is dead.
const char kClaimScript[] = R"(local v = redis.call('GET', KEYS[1])
if v and v ~= ARGV[1] and redis.call('EXISTS', ARGV[3] .. v) == 1 then return 0 end
redis.call('SET', KEYS[1], ARGV[1], 'PX', ARGV[2])
return 1)";
// Counts a request of the address over the last minute (refused ones are not counted, as on
// one relay), and finds the live owner of the ID.
const char kLookupScript[] = R"(local t = redis.call('TIME')
local now = t[1] * 1000 + math.floor(t[2] / 1000)
redis.call('ZREMRANGEBYSCORE', KEYS[1], '-inf', now - 60000)
local n = redis.call('ZCARD', KEYS[1])
if n >= tonumber(ARGV[2]) then return {0, '', ''} end
redis.call('ZADD', KEYS[1], now, ARGV[3])
redis.call('PEXPIRE', KEYS[1], 60000)
local v = redis.call('GET', KEYS[2])
local e = false
if v then e = redis.call('GET', ARGV[1] .. v) end
if not e then v = false end
return {1, v or '', e or ''})";
const char kReleaseScript[] =
    R"(if redis.call('GET', KEYS[1]) == ARGV[1] then return redis.call('DEL', KEYS[1]) end
return 0)";
// Refreshes owned IDs, writes back those Redis lost (a restart), and names those another
// relay holds now.
const char kRefreshScript[] = R"(local lost = {}
for i, k in ipairs(KEYS) do
  local v = redis.call('GET', k)
  if v == ARGV[1] then redis.call('PEXPIRE', k, ARGV[2])
  elseif not v then redis.call('SET', k, ARGV[1], 'PX', ARGV[2])
  else lost[#lost + 1] = i end
end
return lost)";

bool IsError(const redisReply* r) {
    return r == nullptr || r->type == REDIS_REPLY_ERROR;
}

}  // namespace

// Requests are counted per address; an IPv6 client commonly holds a whole /64.
std::string Cluster::RateKey(const std::string& address) const {
    std::string key = address;
    if (address.find(':') != std::string::npos) {
        boost::system::error_code ec;
        auto v6 = asio::ip::make_address_v6(address, ec);
        if (!ec) {
            auto bytes = v6.to_bytes();
            std::fill(bytes.begin() + 8, bytes.end(), 0);
            key = asio::ip::address_v6(bytes).to_string() + "/64";
        }
    }
    return kRatePrefix + seal_->Name("rate", key);
}

std::string Cluster::HostKey(const std::string& sessionId) const {
    return kHostPrefix + seal_->Name("host", sessionId);
}

namespace {

// The few messages a relay sends its clients, rebuilt here so another relay cannot make this
// one send anything else.
const char* KnownText(const std::string& message) {
    for (const char* t :
         {text::kIdInUse, text::kUnknownId, text::kBusy, text::kRefused, text::kExpired,
          text::kInvalid, text::kNoRegister, text::kTooManyRequests, text::kTooManyConnections,
          text::kShuttingDown, text::kClusterUnavailable})
        if (message == t) return t;
    return nullptr;
}

}  // namespace

Cluster::Cluster(asio::io_context& ioc, RedisTarget target, ClusterPort& port,
                 std::size_t maxBinaryBytes, std::size_t pairedBufferBytes, Limits limits,
                 const std::string& secret)
    : ioc_(ioc),
      target_(std::move(target)),
      port_(port),
      maxBinaryBytes_(maxBinaryBytes),
      pairedBufferBytes_(pairedBufferBytes),
      limits_(limits),
      drainTimer_(ioc),
      node_(RandomHex(8)),
      channel_(kChannelPrefix + node_),
      cmdRetry_(ioc),
      subRetry_(ioc),
      beatRetry_(ioc),
      tick_(ioc),
      seal_(std::make_unique<ClusterSeal>(secret, node_)) {
    // Nothing larger than a sealed message of the largest binary message is taken from Redis.
    target_.maxBulkBytes = maxBinaryBytes_ + wire::kMaxHeader + ClusterSeal::kOverhead;
}

Cluster::~Cluster() {
    *alive_ = false;
    cmd_.reset();
    sub_.reset();
    beat_.reset();
}

void Cluster::Start() {
    ConnectCommands();
    ConnectSubscriber();
    ConnectBeat();
    tick_.expires_after(kTick);
    tick_.async_wait([this, alive = alive_](boost::system::error_code ec) {
        if (!ec && *alive) Heartbeat();
    });
}

void Cluster::Stop() {
    stopping_ = true;
    tick_.cancel();
    cmdRetry_.cancel();
    subRetry_.cancel();
    beatRetry_.cancel();
    if (cmdUp_) cmd_->Command({"DEL", kNodePrefix + node_}, nullptr);
}

void Cluster::ConnectCommands() {
    cmd_ = std::make_unique<RedisConnection>(ioc_, target_);
    cmd_->Connect(
        [this] {
            cmdUp_ = true;
            cmdBackoff_ = milliseconds(100);
            if (cmdEverUp_) ++stats_.redisReconnects;
            cmdEverUp_ = true;
            port_.Log(0, "redis commands connected to " + target_.host + ":" +
                             std::to_string(target_.port));
            RefreshOwned();  // after a restart Redis may have lost them all
            CheckRedisLimits();
        },
        [this](const std::string& why) { Down(kCommands, why); });
}

// The heartbeat and the partners' heartbeats have a connection of their own, so that they
// never wait behind a backlog of traffic between relays on the commands' connection.
void Cluster::ConnectBeat() {
    beat_ = std::make_unique<RedisConnection>(ioc_, target_);
    beat_->Connect(
        [this] {
            beatUp_ = true;
            beatBackoff_ = milliseconds(100);
            if (beatEverUp_) ++stats_.redisReconnects;
            beatEverUp_ = true;
            heartbeatPending_ = false;
            Heartbeat();
        },
        [this](const std::string& why) { Down(kBeat, why); });
}

// A relay that falls behind on its channel by more than Redis's pub/sub output limit is cut
// off, ending all its pairs with other relays: say so at once rather than under load.
void Cluster::CheckRedisLimits() {
    cmd_->Command(
        {"CONFIG", "GET", "client-output-buffer-limit"}, [this, alive = alive_](redisReply* r) {
            if (!*alive || IsError(r) || r->type != REDIS_REPLY_ARRAY || r->elements != 2 ||
                r->element[1]->type != REDIS_REPLY_STRING)
                return;
            const std::string limits(r->element[1]->str, r->element[1]->len);
            const auto at = limits.find("pubsub ");
            if (at == std::string::npos) return;
            const unsigned long long hard = std::strtoull(limits.c_str() + at + 7, nullptr, 10);
            const unsigned long long wanted = 8ull * (maxBinaryBytes_ + wire::kMaxHeader);
            if (hard != 0 && hard < wanted)
                port_.Log(0, "warning: Redis cuts a subscriber at " + std::to_string(hard) +
                                 " bytes behind (client-output-buffer-limit pubsub); cross-relay "
                                 "pairs with large "
                                 "frames need at least " +
                                 std::to_string(wanted) + ", see the README");
        });
}

void Cluster::ConnectSubscriber() {
    sub_ = std::make_unique<RedisConnection>(ioc_, target_);
    sub_->Connect(
        [this] {
            subBackoff_ = milliseconds(100);
            if (subEverUp_) ++stats_.redisReconnects;
            subEverUp_ = true;
            subUp_ =
                sub_->Subscribe(channel_, [this](std::string_view data) { OnPublished(data); });
        },
        [this](const std::string& why) { Down(kSubscriber, why); });
}

void Cluster::Down(Link link, const std::string& why) {
    static const char* const kNames[] = {"commands", "subscriber", "heartbeat"};
    bool& up = link == kCommands ? cmdUp_ : link == kSubscriber ? subUp_ : beatUp_;
    const bool everUp = link == kCommands     ? cmdEverUp_
                        : link == kSubscriber ? subEverUp_
                                              : beatEverUp_;
    const bool wasUp = up;
    up = false;
    ++stats_.redisErrors;
    if (wasUp || !everUp)
        port_.Log(0, std::string("redis ") + kNames[link] + " " + why +
                         "; new registrations refused until it is back");
    // Traffic between relays goes through Redis: pairs with other relays cannot go on, and the
    // other relays learn it from this relay's next heartbeat (a new epoch) if not before.
    if (wasUp) EndAll();
    Retry(link);
}

void Cluster::EndAll() {
    EndNode("");
    epoch_ = RandomHex(8);
    announced_ = false;
    if (beatUp_) Heartbeat();  // announced at once, not at the next tick
}

void Cluster::Retry(Link link) {
    if (stopping_) return;
    auto& timer = link == kCommands ? cmdRetry_ : link == kSubscriber ? subRetry_ : beatRetry_;
    auto& backoff = link == kCommands     ? cmdBackoff_
                    : link == kSubscriber ? subBackoff_
                                          : beatBackoff_;
    timer.expires_after(backoff);
    backoff = std::min(backoff * 2, kMaxBackoff);
    timer.async_wait([this, link, alive = alive_](boost::system::error_code ec) {
        if (ec || !*alive || stopping_) return;
        if (link == kCommands)
            ConnectCommands();
        else if (link == kSubscriber)
            ConnectSubscriber();
        else
            ConnectBeat();
    });
}

void Cluster::Heartbeat() {
    const auto now = std::chrono::steady_clock::now();
    if (beatUp_) {
        if (heartbeatPending_ && now - heartbeatSent_ > kHungRedis) {
            // A Redis that takes no answers is as good as gone.
            beat_->Disconnect("no answer to the heartbeat for 3 s");
            if (cmd_) cmd_->Disconnect("no answer to the heartbeat for 3 s");
            if (sub_) sub_->Disconnect("no answer to the heartbeat for 3 s");
        } else if (!heartbeatPending_) {
            heartbeatPending_ = true;
            heartbeatSent_ = now;
            // The key holds this relay's epoch; the value it held before tells whether it
            // lapsed meanwhile (a stall of this relay or of Redis), after which the other
            // relays have ended their pairs with this one and may hold its IDs.
            beat_->Command(
                {"SET", kNodePrefix + node_, epoch_, "PX", std::to_string(kNodeTtlMs), "GET"},
                [this, epoch = epoch_, alive = alive_](redisReply* r) {
                    if (!*alive) return;
                    heartbeatPending_ = false;
                    if (IsError(r) || (r->type != REDIS_REPLY_STRING && r->type != REDIS_REPLY_NIL))
                        return Failed(r, "SET (heartbeat)");
                    stats_.redisRttSeconds = std::chrono::duration<double>(
                                                 std::chrono::steady_clock::now() - heartbeatSent_)
                                                 .count();
                    if (epoch != epoch_) return;
                    if (!announced_) {
                        announced_ = true;
                        stats_.redisUp = Available();
                        return;
                    }
                    if (r->type == REDIS_REPLY_STRING && std::string_view(r->str, r->len) == epoch)
                        return;
                    port_.Log(0,
                              "this relay's heartbeat lapsed in Redis: its pairs with other "
                              "relays end and its IDs are checked");
                    EndAll();
                    RefreshOwned();
                });
            CheckNodes();
            if (++ticks_ % kRefreshTicks == 0) {
                RefreshOwned();
                LogDrops();
            }
        }
    }
    stats_.redisUp = Available();
    if (stopping_) return;
    tick_.expires_after(kTick);
    tick_.async_wait([this, alive = alive_](boost::system::error_code ec) {
        if (!ec && *alive) Heartbeat();
    });
}

void Cluster::CheckNodes() {
    for (auto it = partners_.begin(); it != partners_.end();) {
        if (HasPairsWith(it->first)) {
            ++it;
            continue;
        }
        nodeMisses_.erase(it->first);
        it = partners_.erase(it);
    }
    for (const auto& [node, epoch] : partners_) {
        beat_->Command(
            {"GET", kNodePrefix + node}, [this, node = node, alive = alive_](redisReply* r) {
                if (!*alive) return;
                if (IsError(r) || (r->type != REDIS_REPLY_STRING && r->type != REDIS_REPLY_NIL))
                    return Failed(r, "GET (heartbeat)");
                auto partner = partners_.find(node);
                if (partner == partners_.end()) return;
                if (r->type == REDIS_REPLY_NIL) {
                    if (++nodeMisses_[node] >= kNodeMissesToEnd) {
                        port_.Log(0, "relay " + node + " has no heartbeat: ending its pairs");
                        EndNode(node);
                    }
                    return;
                }
                nodeMisses_[node] = 0;
                // Another epoch: that relay lost Redis for a moment and ended its side already.
                if (std::string_view(r->str, r->len) != partner->second) {
                    port_.Log(0, "relay " + node + " started over: ending its pairs");
                    EndNode(node);
                }
            });
    }
}

bool Cluster::HasPairsWith(const std::string& node) const {
    for (const auto& [id, g] : guests_)
        if (g.node == node) return true;
    for (const auto& [id, o] : outgoing_)
        if (o.node == node) return true;
    return false;
}

// A pair with `node` begins in that relay's `epoch`; pairs of an earlier epoch are over.
void Cluster::Partner(const std::string& node, const std::string& epoch) {
    auto it = partners_.find(node);
    if (it != partners_.end() && it->second != epoch) EndNode(node);
    partners_[node] = epoch;
}

void Cluster::RefreshOwned() {
    if (!cmdUp_ || owned_.empty()) return;
    auto it = owned_.begin();
    while (it != owned_.end()) {
        std::vector<std::string> keys, ids;
        for (; it != owned_.end() && keys.size() < kRefreshBatch; ++it) {
            keys.push_back(HostKey(it->first));
            ids.push_back(it->first);
        }
        std::vector<std::string_view> args = {"EVAL", kRefreshScript};
        const std::string count = std::to_string(keys.size()), ttl = std::to_string(kHostTtlMs);
        args.push_back(count);
        for (const auto& k : keys) args.push_back(k);
        args.push_back(node_);
        args.push_back(ttl);
        cmd_->Command(args, [this, ids = std::move(ids), alive = alive_](redisReply* r) {
            if (!*alive) return;
            if (IsError(r) || r->type != REDIS_REPLY_ARRAY) return Failed(r, "EVAL (refresh)");
            // Another relay took these while this one was cut off: its hosts can no longer
            // be reached through the ID, so they are told and closed.
            for (std::size_t i = 0; i < r->elements; ++i) {
                const redisReply* e = r->element[i];
                if (e->type != REDIS_REPLY_INTEGER || e->integer < 1 ||
                    static_cast<std::size_t>(e->integer) > ids.size())
                    continue;
                LoseOwned(ids[static_cast<std::size_t>(e->integer) - 1]);
            }
        });
    }
}

void Cluster::LoseOwned(const std::string& id) {
    auto owned = owned_.find(id);
    if (owned == owned_.end()) return;
    const ConnId conn = owned->second;
    ownedByConn_.erase(conn);
    owned_.erase(owned);
    port_.Log(conn, "host " + id + " taken over by another relay");
    // Forgotten by the routing at once, so that no viewer of this relay reaches it meanwhile.
    auto actions = port_.router().RefuseConn(conn, text::kIdInUse, "taken_over");
    const auto closed = port_.router().OnClose(conn);
    actions.insert(actions.end(), closed.begin(), closed.end());
    port_.Apply(actions);
}

void Cluster::Release(const std::string& sessionId) {
    if (cmdUp_)
        cmd_->Command({"EVAL", kReleaseScript, "1", HostKey(sessionId), node_},
                      [this, alive = alive_](redisReply* r) {
                          if (*alive && IsError(r)) Failed(r, "EVAL (release)");
                      });
}

bool Cluster::OnText(ConnId id, const std::string& address, std::string_view text) {
    Router& router = port_.router();
    if (waiting_.count(id)) {
        // Nothing may come between a registration and its answer.
        port_.Apply(router.RefuseConn(id, text::kInvalid, "not_registered"));
        return true;
    }
    if (!router.AwaitsRegister(id) || text.size() > limits_.maxTextBytes) return false;
    std::string role, sessionId, password;
    try {
        const auto message = ParseMessage(text);
        if (ReadString(message, "type", "") != "register" ||
            ReadNumber(message, "protocol", 0) != 2)
            return false;
        role = ReadString(message, "role", "");
        sessionId = ReadString(message, "sessionId", "");
        password = ReadString(message, "password", "");
    } catch (const std::exception&) {
        return false;  // the Router refuses it as it always has
    }
    if (!IsValidConnectionId(sessionId)) return false;
    if (role == "host") {
        if (router.HasHost(sessionId)) return false;
        HostRegister(id, sessionId, std::string(text));
        return true;
    }
    if (role == "viewer" && password.size() == 100) {
        ViewerRegister(id, address, sessionId, password, std::string(text));
        return true;
    }
    return false;
}

void Cluster::HostRegister(ConnId id, const std::string& sessionId, std::string text) {
    Router& router = port_.router();
    if (!Available())
        return port_.Apply(router.RefuseConn(id, text::kClusterUnavailable, "cluster_unavailable"));
    waiting_.insert(id);
    cmd_->Command({"EVAL", kClaimScript, "1", HostKey(sessionId), node_, std::to_string(kHostTtlMs),
                   kNodePrefix},
                  [this, id, sessionId, text = std::move(text), alive = alive_](redisReply* r) {
                      if (!*alive) return;
                      waiting_.erase(id);
                      Router& router = port_.router();
                      const bool claimed =
                          !IsError(r) && r->type == REDIS_REPLY_INTEGER && r->integer == 1;
                      if (!router.AwaitsRegister(id) || router.HasHost(sessionId)) {
                          if (claimed && !owned_.count(sessionId)) Release(sessionId);
                          if (router.AwaitsRegister(id))
                              port_.Apply(router.OnText(id, text, Clock::now()));
                          return;
                      }
                      if (IsError(r)) {
                          Failed(r, "EVAL (claim)");
                          return port_.Apply(router.RefuseConn(id, text::kClusterUnavailable,
                                                               "cluster_unavailable"));
                      }
                      if (!claimed)
                          return port_.Apply(router.RefuseConn(id, text::kIdInUse, "duplicate_id"));
                      port_.Apply(router.OnText(id, text, Clock::now()));
                      if (router.HasHost(sessionId)) {
                          owned_[sessionId] = id;
                          ownedByConn_[id] = sessionId;
                      }
                  });
}

void Cluster::ViewerRegister(ConnId id, const std::string& address, const std::string& sessionId,
                             const std::string& password, std::string text) {
    Router& router = port_.router();
    if (!Available())
        return port_.Apply(router.RefuseConn(id, text::kClusterUnavailable, "cluster_unavailable"));
    waiting_.insert(id);
    cmd_->Command(
        {"EVAL", kLookupScript, "2", RateKey(address), HostKey(sessionId), kNodePrefix,
         std::to_string(limits_.viewerRequestsPerMinute),
         node_ + ":" + std::to_string(++requestSerial_)},
        [this, id, address, sessionId, password, text = std::move(text),
         alive = alive_](redisReply* r) {
            if (!*alive) return;
            waiting_.erase(id);
            Router& router = port_.router();
            if (!router.AwaitsRegister(id)) return;
            if (IsError(r) || r->type != REDIS_REPLY_ARRAY || r->elements != 3 ||
                r->element[0]->type != REDIS_REPLY_INTEGER ||
                r->element[1]->type != REDIS_REPLY_STRING ||
                r->element[2]->type != REDIS_REPLY_STRING) {
                Failed(r, "EVAL (lookup)");
                return port_.Apply(
                    router.RefuseConn(id, text::kClusterUnavailable, "cluster_unavailable"));
            }
            if (r->element[0]->integer == 0)
                return port_.Apply(router.RefuseConn(id, text::kTooManyRequests, "rate_limited"));
            const std::string owner(r->element[1]->str, r->element[1]->len);
            const std::string epoch(r->element[2]->str, r->element[2]->len);
            // Another live relay holds an ID this one still serves: this one lost it (it was
            // cut off for a while), so its host goes and the viewer goes to the holder.
            if (owned_.count(sessionId) && wire::IsNodeId(owner) && owner != node_)
                LoseOwned(sessionId);
            if (router.HasHost(sessionId))
                return port_.Apply(router.OnText(id, text, Clock::now()));
            if (!wire::IsNodeId(owner) || owner == node_ || !wire::IsNodeId(epoch))
                return port_.Apply(router.RefuseConn(id, text::kUnknownId, "unknown_id"));
            Partner(owner, epoch);
            const ConnId stand = nextRemote_++;
            // The owner's expiry decides; this one only catches an answer that never comes.
            router.AttachRemote(id, sessionId, stand,
                                Clock::now() + limits_.requestDeadline + std::chrono::seconds(5));
            outgoing_[id] = Outgoing{owner, {}, false, 0, false};
            ++stats_.requestsOut;
            port_.Log(id, "viewer request to " + sessionId + " on relay " + owner);
            wire::Message m;
            m.kind = wire::Kind::Request;
            m.from = node_;
            m.conn = id;
            m.sessionId = sessionId;
            m.password = password;
            m.address = address;
            Publish(owner, m, {}, [this, id, alive = alive_](redisReply* r) {
                if (!*alive || !r) return;
                // Nobody listens on that relay's channel: it is gone. Or Redis would not take
                // the message (a missing permission): the viewer hears so at once.
                const bool refused = IsError(r);
                if (refused) Failed(r, "PUBLISH");
                if (!refused && (r->type != REDIS_REPLY_INTEGER || r->integer != 0)) return;
                auto out = outgoing_.find(id);
                if (out == outgoing_.end() || out->second.paired) return;
                outgoing_.erase(out);
                port_.router().DetachRemote(id);
                port_.Apply(refused
                                ? port_.router().RefuseConn(id, text::kClusterUnavailable,
                                                            "cluster_unavailable")
                                : port_.router().RefuseConn(id, text::kUnknownId, "unknown_id"));
            });
        });
}

bool Cluster::Publish(const std::string& node, const wire::Message& message,
                      std::string_view payload, RedisConnection::Reply reply) {
    if (!cmdUp_) return false;
    wire::Message m = message;
    m.from = node_;
    m.epoch = epoch_;
    const std::string header = wire::Encode(m);  // ends with the newline; the payload follows
    const std::string channel = kChannelPrefix + node;
    const std::size_t sealed = ClusterSeal::kOverhead + header.size() + payload.size();
    std::string resp = "*3\r\n$7\r\nPUBLISH\r\n$" + std::to_string(channel.size()) + "\r\n" +
                       channel + "\r\n$" + std::to_string(sealed) + "\r\n";
    resp.reserve(resp.size() + sealed + 2);
    seal_->Seal(node, header, payload, resp);  // encrypted straight into the command
    resp += "\r\n";
    if (!reply)
        reply = [this, alive = alive_](redisReply* r) {
            if (*alive && IsError(r)) Failed(r, "PUBLISH");
        };
    return cmd_->Raw(resp, std::move(reply));
}

void Cluster::Credit(const std::string& node, ConnId conn, bool toHost, std::size_t bytes) {
    wire::Message m;
    m.kind = wire::Kind::Credit;
    m.from = node_;
    m.conn = conn;
    m.count = static_cast<std::uint32_t>(std::max<std::size_t>(bytes, 1));
    m.toHost = toHost;
    Publish(node, m);
}

void Cluster::CreditWhenDrained(ConnId to, const std::string& node, ConnId conn, bool toHost,
                                std::size_t bytes) {
    const auto queued = port_.QueuedBytes(to);
    if (!queued) return;  // the receiver is gone; so is the pair
    if (*queued <= pairedBufferBytes_ && owed_.empty()) return Credit(node, conn, toHost, bytes);
    owed_.push_back({to, node, conn, toHost, bytes});
    if (owed_.size() == 1) CreditDrained();
}

// A receiver behind on its own link holds its sender on the other relay: credit waits until
// its output has drained, checked every few milliseconds while any is owed.
void Cluster::CreditDrained() {
    std::vector<OwedCredit> still;
    for (auto& owed : owed_) {
        const auto queued = port_.QueuedBytes(owed.to);
        if (!queued) continue;
        if (*queued <= pairedBufferBytes_)
            Credit(owed.node, owed.conn, owed.toHost, owed.bytes);
        else
            still.push_back(std::move(owed));
    }
    owed_ = std::move(still);
    if (owed_.empty()) return;
    drainTimer_.expires_after(kDrainPoll);
    drainTimer_.async_wait([this, alive = alive_](boost::system::error_code ec) {
        if (!ec && *alive) CreditDrained();
    });
}

void Cluster::Received(std::size_t& inFlight, bool& paused, ConnId sender, std::size_t bytes) {
    inFlight -= std::min(inFlight, bytes);
    if (paused && inFlight <= pairedBufferBytes_) {
        paused = false;
        if (sender) port_.PauseReading(sender, false);
    }
}

void Cluster::Forward(ConnId from, ConnId peer, std::shared_ptr<const std::string> data) {
    wire::Message m;
    m.from = node_;
    std::size_t* inFlight = nullptr;
    bool* paused = nullptr;
    std::string node;
    if (auto g = guests_.find(peer); g != guests_.end()) {
        m.kind = wire::Kind::ToViewer;
        m.conn = g->second.conn;
        g->second.host = from;
        node = g->second.node;
        inFlight = &g->second.inFlight;
        paused = &g->second.paused;
    } else if (auto o = outgoing_.find(from); o != outgoing_.end() && o->second.paired) {
        m.kind = wire::Kind::ToHost;
        m.conn = from;
        node = o->second.node;
        inFlight = &o->second.inFlight;
        paused = &o->second.paused;
    } else {
        return;
    }
    if (!Publish(node, m, *data)) return;
    stats_.bytesOut += data->size();
    // As between two clients of one relay: push back on the sender instead of buffering.
    *inFlight += data->size() + kMessageCost;
    if (*inFlight > pairedBufferBytes_ && !*paused) {
        *paused = true;
        port_.PauseReading(from, true);
    }
}

void Cluster::OnRemoteAction(const Action& action) {
    auto g = guests_.find(action.to);
    if (g == guests_.end()) return;
    wire::Message m;
    m.from = node_;
    m.conn = g->second.conn;
    if (action.kind == Action::SendText) {
        m.kind = wire::Kind::Text;
        m.text = action.text;
        Publish(g->second.node, m);
    } else {
        m.kind = wire::Kind::Close;
        m.code = action.closeCode;
        Publish(g->second.node, m);
        EndGuest(action.to);
    }
}

void Cluster::OnClosed(ConnId id) {
    waiting_.erase(id);
    if (auto o = ownedByConn_.find(id); o != ownedByConn_.end()) {
        Release(o->second);
        owned_.erase(o->second);
        ownedByConn_.erase(o);
    }
    if (outgoing_.count(id)) EndOutgoing(id, true);
    for (auto& [stand, guest] : guests_)
        if (guest.host == id) guest.host = 0;
}

void Cluster::OnPublished(std::string_view data) {
    std::string from;
    switch (seal_->Open(data, opened_, from)) {
        case ClusterSeal::Opened::Ok:
            break;
        case ClusterSeal::Opened::Malformed:
            return Dropped(data.empty() ? "empty_or_oversized" : "malformed", data.size());
        case ClusterSeal::Opened::Forged:
            return Dropped("forged", data.size());
        case ClusterSeal::Opened::Replayed:
            return Dropped("replayed", data.size());
    }
    auto decoded = wire::Decode(opened_, maxBinaryBytes_);
    // A relay speaks only for itself: the sender inside is the one the seal names.
    if (!decoded || decoded->from != from || from == node_)
        return Dropped("malformed", data.size());
    // From a relay that has started over since its pairs here began: they are over.
    if (auto p = partners_.find(from); p != partners_.end() && p->second != decoded->epoch) {
        port_.Log(0, "relay " + from + " started over: ending its pairs");
        EndNode(from);
    }
    // Well formed but for no pair here: late traffic of a pair that just ended, or a relay
    // that is confused. Counted, not logged: the first kind is normal.
    if (!Dispatch(*decoded)) ++stats_.droppedMessages;
}

void Cluster::Dropped(const char* reason, std::size_t) {
    ++stats_.droppedMessages;
    ++dropsByReason_[reason];
    ++dropsToLog_[reason];
}

// Dropped messages come in floods when someone writes to a relay's channel: one line per
// interval at most.
void Cluster::LogDrops() {
    if (dropsToLog_.empty()) return;
    std::string line = "dropped messages on this relay's channel:";
    for (const auto& [reason, count] : dropsToLog_)
        line += " " + reason + "=" + std::to_string(count);
    dropsToLog_.clear();
    port_.Log(0, line);
}

void Cluster::Failed(const redisReply* r, const char* command) {
    ++stats_.redisErrors;
    if (r == nullptr) return;  // the connection went; that is logged where it goes
    const auto now = std::chrono::steady_clock::now();
    auto& last = failureLogged_[command];
    if (last != std::chrono::steady_clock::time_point{} && now - last < std::chrono::seconds(60))
        return;
    last = now;
    std::string why = r->type == REDIS_REPLY_ERROR
                          ? std::string(r->str, std::min<std::size_t>(r->len, 200))
                          : "an answer of an unexpected shape";
    port_.Log(0, std::string("redis refused ") + command + ": " + why);
}

bool Cluster::Dispatch(const wire::Message& m) {
    Router& router = port_.router();
    switch (m.kind) {
        case wire::Kind::Request:
            return OnRequest(m);
        case wire::Kind::Left: {
            auto g = guestByOrigin_.find({m.from, m.conn});
            if (g == guestByOrigin_.end()) return false;
            EndGuest(g->second);
            return true;
        }
        case wire::Kind::ToHost: {
            auto g = guestByOrigin_.find({m.from, m.conn});
            if (g == guestByOrigin_.end()) return false;
            std::vector<Action> actions;
            const ConnId host = router.OnBinary(g->second, actions);
            port_.Apply(actions);
            if (host == 0) return false;
            stats_.bytesIn += m.payload.size();
            guests_[g->second].host = host;
            port_.Deliver(host, std::make_shared<const std::string>(m.payload), false);
            CreditWhenDrained(host, m.from, m.conn, false, m.payload.size() + kMessageCost);
            return true;
        }
        case wire::Kind::ToViewer: {
            auto o = outgoing_.find(m.conn);
            if (o == outgoing_.end() || o->second.node != m.from || !o->second.paired) return false;
            stats_.bytesIn += m.payload.size();
            port_.Deliver(m.conn, std::make_shared<const std::string>(m.payload), false);
            CreditWhenDrained(m.conn, m.from, m.conn, true, m.payload.size() + kMessageCost);
            return true;
        }
        case wire::Kind::Credit: {
            if (m.toHost) {
                auto g = guestByOrigin_.find({m.from, m.conn});
                if (g == guestByOrigin_.end()) return false;
                Guest& guest = guests_[g->second];
                Received(guest.inFlight, guest.paused, guest.host, m.count);
            } else {
                auto o = outgoing_.find(m.conn);
                if (o == outgoing_.end() || o->second.node != m.from) return false;
                Received(o->second.inFlight, o->second.paused, m.conn, m.count);
            }
            return true;
        }
        case wire::Kind::Text: {
            auto o = outgoing_.find(m.conn);
            if (o == outgoing_.end() || o->second.node != m.from) return false;
            return OnGuestText(o->second, m.conn, m.text);
        }
        case wire::Kind::Close: {
            auto o = outgoing_.find(m.conn);
            if (o == outgoing_.end() || o->second.node != m.from) return false;
            EndOutgoing(m.conn, false);
            const std::uint16_t code =
                (m.code == 1000 || m.code == 1001 || m.code == 1008 || m.code == 1013) ? m.code
                                                                                       : 1008;
            port_.CloseConn(m.conn, code);
            return true;
        }
    }
    return false;
}

bool Cluster::OnRequest(const wire::Message& m) {
    if (guestByOrigin_.count({m.from, m.conn})) return false;
    Router& router = port_.router();
    Partner(m.from, m.epoch);
    const ConnId stand = nextRemote_++;
    guests_[stand] = Guest{m.from, m.conn, 0, false, 0};
    guestByOrigin_[{m.from, m.conn}] = stand;
    ++stats_.requestsIn;
    const auto now = Clock::now();
    router.OnOpen(stand, m.address, now);
    port_.Log(stand, "viewer of relay " + m.from);
    port_.Apply(router.OnText(stand, BuildViewerRegistration(m.sessionId, m.password), now));
    return true;
}

bool Cluster::OnGuestText(Outgoing& out, ConnId conn, const std::string& text) {
    std::string type, requestId, message;
    try {
        const auto json = ParseMessage(text);
        type = ReadString(json, "type", "");
        requestId = ReadString(json, "requestId", "");
        message = ReadString(json, "message", "");
    } catch (const std::exception&) {
        return false;
    }
    Router& router = port_.router();
    if (type == "connected" && IsRequestId(requestId) && !out.paired) {
        out.paired = true;
        out.requestId = requestId;
        router.SetRemotePaired(conn, requestId);
        port_.AllowBinary(conn);
        port_.Log(conn, "paired request " + requestId + " across relays");
        port_.Deliver(conn, std::make_shared<const std::string>(BuildConnected(requestId)), true);
    } else if (type == "error" && KnownText(message)) {
        port_.Deliver(conn, std::make_shared<const std::string>(BuildError(KnownText(message))),
                      true);
    } else if (type == "peerDisconnected" && IsRequestId(requestId)) {
        port_.Deliver(conn, std::make_shared<const std::string>(BuildPeerDisconnected(requestId)),
                      true);
        EndOutgoing(conn, true);
    } else {
        port_.Log(conn, "dropped an unexpected message from relay " + out.node);
        return false;
    }
    return true;
}

void Cluster::EndGuest(ConnId stand) {
    auto g = guests_.find(stand);
    if (g == guests_.end()) return;
    const Guest guest = g->second;
    guestByOrigin_.erase({guest.node, guest.conn});
    guests_.erase(g);
    if (guest.paused && guest.host) port_.PauseReading(guest.host, false);
    port_.Apply(port_.router().OnClose(stand));
}

void Cluster::EndOutgoing(ConnId conn, bool tellOwner) {
    auto o = outgoing_.find(conn);
    if (o == outgoing_.end()) return;
    const Outgoing out = o->second;
    outgoing_.erase(o);
    port_.router().DetachRemote(conn);
    if (out.paused) port_.PauseReading(conn, false);
    if (tellOwner) {
        wire::Message m;
        m.kind = wire::Kind::Left;
        m.from = node_;
        m.conn = conn;
        Publish(out.node, m);
    }
}

void Cluster::EndNode(const std::string& node) {
    if (node.empty()) {
        partners_.clear();
        nodeMisses_.clear();
    } else {
        partners_.erase(node);
        nodeMisses_.erase(node);
    }
    std::vector<ConnId> stands, viewers;
    for (const auto& [stand, g] : guests_)
        if (node.empty() || g.node == node) stands.push_back(stand);
    for (const auto& [conn, o] : outgoing_)
        if (node.empty() || o.node == node) viewers.push_back(conn);
    // Ending the pairs with one relay that still looks alive, that relay is told too, in
    // case its side has not ended yet.
    const bool tell = !node.empty();
    for (ConnId stand : stands) {
        if (tell) {
            wire::Message m;
            m.kind = wire::Kind::Close;
            m.conn = guests_.at(stand).conn;
            m.code = 1001;
            Publish(node, m);
        }
        EndGuest(stand);
    }
    for (ConnId conn : viewers) {
        const Outgoing out = outgoing_.at(conn);
        EndOutgoing(conn, tell);
        // As on one relay when the host goes: a paired viewer is told, a waiting one refused.
        if (out.paired) {
            port_.Deliver(conn,
                          std::make_shared<const std::string>(BuildPeerDisconnected(out.requestId)),
                          true);
        } else {
            port_.Deliver(conn, std::make_shared<const std::string>(BuildError(text::kUnknownId)),
                          true);
            port_.CloseConn(conn, 1000);
        }
    }
}

std::string Cluster::Metrics() const {
    std::string out;
    auto metric = [&out](const char* name, const char* type, const char* help,
                         const std::string& value) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " " + type + "\n";
        out += std::string(name) + " " + value + "\n";
    };
    auto two = [&out](const char* name, const char* help, const char* label, std::uint64_t a,
                      std::uint64_t b) {
        out += std::string("# HELP ") + name + " " + help + "\n# TYPE " + name + " counter\n";
        out += std::string(name) + "{" + label + "=\"out\"} " + std::to_string(a) + "\n";
        out += std::string(name) + "{" + label + "=\"in\"} " + std::to_string(b) + "\n";
    };
    two("kestrelink_relay_cluster_requests_total",
        "Viewer requests sent to (out) or taken from (in) other relays.", "direction",
        stats_.requestsOut, stats_.requestsIn);
    two("kestrelink_relay_cluster_bytes_total",
        "Binary bytes sent to (out) or received from (in) other relays.", "direction",
        stats_.bytesOut, stats_.bytesIn);
    metric("kestrelink_relay_cluster_dropped_messages_total", "counter",
           "Malformed or unexpected messages from other relays.",
           std::to_string(stats_.droppedMessages));
    out +=
        "# HELP kestrelink_relay_cluster_refused_messages_total Messages on this relay's channel "
        "refused by reason: forged (no valid seal), replayed, malformed, empty_or_oversized.\n"
        "# TYPE kestrelink_relay_cluster_refused_messages_total counter\n";
    for (const auto& [reason, count] : dropsByReason_)
        out += "kestrelink_relay_cluster_refused_messages_total{reason=\"" + reason + "\"} " +
               std::to_string(count) + "\n";
    metric("kestrelink_relay_redis_up", "gauge",
           "1 while the Redis connections are up and the heartbeat holds this relay's epoch.",
           Available() ? "1" : "0");
    metric("kestrelink_relay_redis_errors_total", "counter",
           "Redis connection losses and failed commands.", std::to_string(stats_.redisErrors));
    metric("kestrelink_relay_redis_reconnects_total", "counter",
           "Redis connections made again after a loss.", std::to_string(stats_.redisReconnects));
    char rtt[32];
    std::snprintf(rtt, sizeof rtt, "%.6f", stats_.redisRttSeconds);
    metric("kestrelink_relay_redis_rtt_seconds", "gauge",
           "Round trip of the last heartbeat to Redis.", rtt);
    metric("kestrelink_relay_cluster_owned_ids", "gauge", "Host IDs this relay holds in Redis.",
           std::to_string(owned_.size()));
    return out;
}

}  // namespace kl::relay
