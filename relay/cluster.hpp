#pragma once
// Several relays acting as one service through one Redis server. The relay that owns a host
// decides everything about it with its own Router; a viewer's relay only forwards. Redis holds
// the host IDs (one owner each, with a time to live the owner refreshes), each relay's
// heartbeat, the per-address request counts, and carries the messages between relays on a
// channel per relay. Everything runs on the relay's one I/O thread.
#include <boost/asio/io_context.hpp>
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/credentials.hpp"
#include "relay/cluster_seal.hpp"
#include "relay/cluster_wire.hpp"
#include "relay/redis_client.hpp"
#include "relay/router.hpp"

namespace kl::relay {

// What the cluster needs of the relay around it.
class ClusterPort {
  public:
    virtual Router& router() = 0;
    virtual void Apply(const std::vector<Action>& actions) = 0;
    virtual void Deliver(ConnId to, std::shared_ptr<const std::string> data, bool text) = 0;
    virtual void CloseConn(ConnId to, std::uint16_t code) = 0;
    // Flow control of a pair across relays: reading from the local sender stops while too
    // much is on its way to the other relay, and credit goes back only as the local
    // receiver's output drains.
    virtual void PauseReading(ConnId id, bool paused) = 0;
    virtual std::optional<std::size_t> QueuedBytes(ConnId id) = 0;  // nothing: gone
    virtual void AllowBinary(ConnId id) = 0;
    virtual void Log(ConnId id, const std::string& line) = 0;

  protected:
    ~ClusterPort() = default;
};

struct ClusterStats {
    std::uint64_t requestsOut = 0,
                  requestsIn = 0;             // viewer requests sent to / taken from other relays
    std::uint64_t bytesOut = 0, bytesIn = 0;  // binary payload to / from other relays
    std::uint64_t redisErrors = 0, redisReconnects = 0, droppedMessages = 0;
    double redisRttSeconds = 0;
    bool redisUp = false;
};

class Cluster {
  public:
    // Connections of clients on other relays have this bit set in their local id.
    static constexpr ConnId kRemoteBit = ConnId{1} << 62;
    static bool IsRemote(ConnId id) { return (id & kRemoteBit) != 0; }

    // `pairedBufferBytes`: binary bytes of one pair allowed on their way between relays, and
    // the receiver's queued output below which credit is given back.
    // `secret`: the cluster's shared secret (see ClusterSeal).
    Cluster(boost::asio::io_context& ioc, RedisTarget target, ClusterPort& port,
            std::size_t maxBinaryBytes, std::size_t pairedBufferBytes, Limits limits,
            const std::string& secret);
    ~Cluster();
    void Start();
    void Stop();
    const std::string& node() const { return node_; }

    // A text from a local client; true when the cluster took it (a registration).
    bool OnText(ConnId id, const std::string& address, std::string_view text);
    // A binary message from local `from` for `peer`, which lives on another relay.
    void Forward(ConnId from, ConnId peer, std::shared_ptr<const std::string> data);
    // Something the Router wants sent to or done with a client on another relay.
    void OnRemoteAction(const Action& action);
    // After a local connection has finished (and the Router has forgotten it).
    void OnClosed(ConnId id);
    std::string Metrics() const;
    const ClusterStats& stats() const { return stats_; }

  private:
    // A viewer on another relay asking for (or paired with) a host here.
    struct Guest {
        std::string node;
        ConnId conn = 0;           // its connection on its own relay
        std::size_t inFlight = 0;  // bytes of our host's not yet credited
        bool paused = false;       // our host's reading
        ConnId host = 0;
    };
    // A viewer here whose host lives on another relay.
    struct Outgoing {
        std::string node;
        std::string requestId;
        bool paired = false;
        std::size_t inFlight = 0;  // bytes of our viewer's not yet credited
        bool paused = false;
    };

    enum Link { kCommands, kSubscriber, kBeat };
    // Up, and the other relays can know this relay's epoch.
    bool Available() const { return cmdUp_ && subUp_ && beatUp_ && announced_; }
    void ConnectCommands();
    void ConnectSubscriber();
    void ConnectBeat();
    void CheckRedisLimits();
    void Down(Link link, const std::string& why);
    void Retry(Link link);
    // Every pair with another relay ends, and this relay starts a new epoch.
    void EndAll();
    bool HasPairsWith(const std::string& node) const;
    void Partner(const std::string& node, const std::string& epoch);
    void LoseOwned(const std::string& sessionId);
    void Heartbeat();
    void CheckNodes();
    void RefreshOwned();
    void Release(const std::string& sessionId);
    void OnPublished(std::string_view data);
    bool Dispatch(const wire::Message& m);  // false: addressed to no pair here
    bool OnRequest(const wire::Message& m);
    bool OnGuestText(Outgoing& out, ConnId conn, const std::string& text);
    void EndGuest(ConnId virtualId);
    void EndOutgoing(ConnId conn, bool tellOwner);
    void EndNode(const std::string& node);  // every pair with that relay; empty: all relays
    bool Publish(const std::string& node, const wire::Message& m, std::string_view payload = {},
                 RedisConnection::Reply reply = nullptr);
    void Credit(const std::string& node, ConnId conn, bool toHost, std::size_t bytes);
    // Credit for a message delivered to local `to`, now or once its output has drained.
    void CreditWhenDrained(ConnId to, const std::string& node, ConnId conn, bool toHost,
                           std::size_t bytes);
    void CreditDrained();
    void Received(std::size_t& inFlight, bool& paused, ConnId sender, std::size_t bytes);
    // Counts a failed command; an error reply (a missing permission, say) is logged in
    // Redis's words, once per kind of command and interval.
    void Failed(const redisReply* r, const char* command);
    void Dropped(const char* reason, std::size_t bytes);
    void LogDrops();
    std::string HostKey(const std::string& sessionId) const;
    std::string RateKey(const std::string& address) const;
    void HostRegister(ConnId id, const std::string& sessionId, std::string text);
    void ViewerRegister(ConnId id, const std::string& address, const std::string& sessionId,
                        const std::string& password, std::string text);

    boost::asio::io_context& ioc_;
    RedisTarget target_;
    ClusterPort& port_;
    std::size_t maxBinaryBytes_, pairedBufferBytes_;
    Limits limits_;
    struct OwedCredit {
        ConnId to;  // the local receiver whose output must drain first
        std::string node;
        ConnId conn;
        bool toHost;
        std::size_t bytes;
    };
    std::vector<OwedCredit> owed_;
    boost::asio::steady_timer drainTimer_;
    std::string node_, channel_;
    std::unique_ptr<RedisConnection> cmd_, sub_, beat_;
    bool cmdUp_ = false, subUp_ = false, cmdEverUp_ = false, subEverUp_ = false, stopping_ = false;
    bool beatUp_ = false, beatEverUp_ = false;
    std::chrono::milliseconds cmdBackoff_{100}, subBackoff_{100}, beatBackoff_{100};
    boost::asio::steady_timer cmdRetry_, subRetry_, beatRetry_, tick_;
    // This relay's epoch: new whenever it has ended its pairs with other relays (its link to
    // Redis went), held in its heartbeat key and in every message; announced once the
    // heartbeat key holds it.
    std::string epoch_ = RandomHex(8);
    bool announced_ = false;
    std::map<std::string, std::string> partners_;  // relays paired with: the epoch paired in
    unsigned ticks_ = 0;
    bool heartbeatPending_ = false;
    std::chrono::steady_clock::time_point heartbeatSent_;

    std::map<std::string, ConnId> owned_;  // host IDs this relay holds in Redis
    std::map<ConnId, std::string> ownedByConn_;
    std::set<ConnId> waiting_;        // registrations waiting for Redis
    std::map<ConnId, Guest> guests_;  // by local stand-in id
    std::map<std::pair<std::string, ConnId>, ConnId> guestByOrigin_;
    std::map<ConnId, Outgoing> outgoing_;  // by the local viewer's id
    std::map<std::string, int> nodeMisses_;
    ConnId nextRemote_ = kRemoteBit | 1;
    std::uint64_t requestSerial_ = 0;
    ClusterStats stats_;
    std::unique_ptr<ClusterSeal> seal_;
    std::map<std::string, std::uint64_t> dropsByReason_, dropsToLog_;
    std::map<std::string, std::chrono::steady_clock::time_point> failureLogged_;
    std::string opened_;  // the last message opened, reused
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace kl::relay
