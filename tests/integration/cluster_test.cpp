// Several relays sharing one Redis server: each test starts its own redis-server on a free
// loopback port (no persistence) and real relays and klpeer processes around it.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <optional>
#include <set>
#include <sstream>
#include <thread>

#include "crypto/credentials.hpp"
#include "harness.hpp"
#include "raw_ws.hpp"
#include "relay/cluster_seal.hpp"
#include "session/messages.hpp"

using namespace kltest;
using namespace std::chrono_literals;

namespace {

int FreePort() {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    int port = 0;
    if (bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0 &&
        getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0)
        port = ntohs(addr.sin_port);
    close(fd);
    return port;
}

// One Redis command over a fresh connection; the reply's first line (with the bulk after it).
std::string RedisCommand(int port, const std::vector<std::string>& args) {
    std::string request = "*" + std::to_string(args.size()) + "\r\n";
    for (const auto& a : args) request += "$" + std::to_string(a.size()) + "\r\n" + a + "\r\n";
    bool connected = false;
    const int fd = ConnectLoopback(port, connected);
    std::string answer;
    timeval limit{2, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &limit, sizeof limit);
    if (connected &&
        write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
        char chunk[4096];
        ssize_t n;
        while (answer.find("\r\n") == std::string::npos && (n = read(fd, chunk, sizeof chunk)) > 0)
            answer.append(chunk, static_cast<std::size_t>(n));
        if (!answer.empty() && answer[0] == '$') {
            const long size = std::stol(answer.substr(1));
            while (size >= 0 &&
                   answer.size() < answer.find("\r\n") + 2 + static_cast<std::size_t>(size) + 2 &&
                   (n = read(fd, chunk, sizeof chunk)) > 0)
                answer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    return answer;
}

// The output lines of a command (redis-cli, ss) run by the shell.
std::vector<std::string> Lines(const std::string& command) {
    std::vector<std::string> lines;
    FILE* out = popen(command.c_str(), "r");
    char line[8192];
    while (out && fgets(line, sizeof line, out)) lines.emplace_back(line, strcspn(line, "\n"));
    if (out) pclose(out);
    return lines;
}

std::vector<std::string> RedisKeys(int port) {
    return Lines("redis-cli -p " + std::to_string(port) + " --raw KEYS '*'");
}

bool Listening(int port) {
    bool connected = false;
    close(ConnectLoopback(port, connected));
    return connected;
}

struct Redis {
    // With `tls` (redis-server's TLS options) Redis serves only TLS, on `port`.
    explicit Redis(std::vector<std::string> tls = {}) : port(FreePort()), tls(std::move(tls)) {
        Start();
    }
    void Start() {
        std::vector<std::string> args = {"/usr/bin/redis-server",
                                         "--save",
                                         "",
                                         "--appendonly",
                                         "no",
                                         "--loglevel",
                                         "warning",
                                         "--client-output-buffer-limit",
                                         "pubsub 256mb 64mb 60"};
        if (tls.empty())
            args = With(args, {"--port", std::to_string(port), "--bind", "127.0.0.1"});
        else
            args = With(With(args, {"--port", "0", "--tls-port", std::to_string(port)}), tls);
        process.emplace(args);
        for (int i = 0; i < 100 && (tls.empty() ? RedisCommand(port, {"PING"}) != "+PONG\r\n"
                                                : !Listening(port));
             ++i)
            std::this_thread::sleep_for(50ms);
    }
    void Stop() {
        process->Signal(SIGKILL);
        process->Wait();
        process.reset();
    }
    std::string Url() const {
        return (tls.empty() ? "redis://" : "rediss://") + std::string("127.0.0.1:") +
               std::to_string(port);
    }
    int port;
    std::vector<std::string> tls;
    std::optional<Process> process;
};

bool MetricIs(const Relay& relay, const std::string& line, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
        if (relay.Metrics().find("\n" + line + "\n") != std::string::npos) return true;
        std::this_thread::sleep_for(50ms);
    }
    return false;
}

// The cluster's shared secret, in a file only its owner reads.
const std::string& SecretFile() {
    static const std::string path = [] {
        const std::string p =
            ::testing::TempDir() + "kl-cluster-secret-" + std::to_string(getpid());
        std::ofstream(p) << kl::RandomHex(32) << "\n";
        chmod(p.c_str(), 0600);
        return p;
    }();
    return path;
}

std::vector<std::string> Joined(const std::vector<std::string>& options) {
    return With({"--cluster-secret-file", SecretFile()}, options);
}

// A relay of the cluster, once it has reached Redis.
struct Member : Relay {
    Member(const Redis& redis, const std::vector<std::string>& options = {})
        : Relay(Joined(With({"--redis", redis.Url()}, options))) {
        up = MetricIs(*this, "kestrelink_relay_redis_up 1");
    }
    bool up = false;
};

std::vector<std::string> Viewer(const Relay& relay, const std::string& id, const std::string& key,
                                const std::vector<std::string>& more = {}) {
    return Peer(
        With({"viewer", "--relay", relay.url, "--id", id, "--key", key, "--timeout", "60"}, more));
}

// The sequence number of the last frame seen within `span`.
int LastFrame(Process& viewer, std::chrono::milliseconds span) {
    const auto end = std::chrono::steady_clock::now() + span;
    int seq = 0;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return seq;
        const auto frame = NextEvent(viewer, "frame", left);
        if (frame.empty()) return seq;
        seq = frame.value("seq", seq);
    }
}

// The peak resident memory of a process (VmHWM), in KiB.
long PeakKb(int pid) {
    std::ifstream status("/proc/" + std::to_string(pid) + "/status");
    std::string name;
    long kb = 0;
    while (status >> name)
        if (name == "VmHWM:") status >> kb;
    return kb;
}

// A plain Redis client watching every relay channel, as anyone with access to Redis can.
class Snoop {
  public:
    explicit Snoop(int port) {
        bool connected = false;
        fd_ = ConnectLoopback(port, connected);
        const std::string request = "*2\r\n$10\r\nPSUBSCRIBE\r\n$10\r\nkl:relay:*\r\n";
        if (connected) (void)!write(fd_, request.data(), request.size());
        reader_ = std::thread([this] {
            char chunk[65536];
            ssize_t n;
            while ((n = read(fd_, chunk, sizeof chunk)) > 0) {
                std::lock_guard<std::mutex> lock(mutex_);
                raw_.append(chunk, static_cast<std::size_t>(n));
            }
        });
    }
    ~Snoop() {
        shutdown(fd_, SHUT_RDWR);
        reader_.join();
        close(fd_);
    }
    // The (channel, message) pairs seen so far: each "pmessage" array of four bulk strings.
    std::vector<std::pair<std::string, std::string>> Messages() {
        std::lock_guard<std::mutex> lock(mutex_);
        std::vector<std::pair<std::string, std::string>> out;
        std::vector<std::string> parts;
        for (std::size_t at = 0, end; (end = raw_.find("\r\n", at)) != std::string::npos;) {
            const std::size_t size = std::stoul(raw_.substr(at + 1, end - at - 1));
            if (raw_[at] != '$') {  // an array's line (a new message) or an integer's
                if (raw_[at] == '*') parts.clear();
                at = end + 2;
                continue;
            }
            if (end + 4 + size > raw_.size()) break;
            parts.push_back(raw_.substr(end + 2, size));
            at = end + 4 + size;
            if (parts.size() == 4 && parts[0] == "pmessage") out.emplace_back(parts[2], parts[3]);
        }
        return out;
    }

  private:
    int fd_ = -1;
    std::thread reader_;
    std::mutex mutex_;
    std::string raw_;
};

// HAProxy in TCP mode in front of `relays` (round robin), telling each the client's address
// with the PROXY protocol v2.
struct Haproxy {
    explicit Haproxy(const std::vector<const Relay*>& relays) : port(FreePort()) {
        config = ::testing::TempDir() + "kl-haproxy-" + std::to_string(port) + ".cfg";
        std::ofstream out(config);
        out << "global\n    maxconn 1000\ndefaults\n    mode tcp\n    timeout connect 5s\n"
               "    timeout client 60s\n    timeout server 60s\nfrontend relays\n"
               "    bind 127.0.0.1:"
            << port << "\n    default_backend relays\nbackend relays\n    balance roundrobin\n";
        for (std::size_t i = 0; i < relays.size(); ++i)
            out << "    server r" << i << " 127.0.0.1:" << PortOf(relays[i]->url)
                << " send-proxy-v2\n";
        out.close();
        process.emplace(std::vector<std::string>{"/usr/sbin/haproxy", "-f", config, "-db"});
        for (int i = 0; i < 100 && !Listening(port); ++i) std::this_thread::sleep_for(50ms);
    }
    ~Haproxy() { std::remove(config.c_str()); }
    std::string Url() const { return "ws://127.0.0.1:" + std::to_string(port) + "/ws"; }
    int port;
    std::string config;
    std::optional<Process> process;
};

// Redis's client id of `relay`'s subscriber: the one with a subscription whose port is the
// relay's (ss names each socket's process).
std::string SubscriberOf(int redisPort, const Relay& relay) {
    std::set<std::string> ports;
    for (const std::string& line : Lines("ss -Htnp dst 127.0.0.1:" + std::to_string(redisPort)))
        if (line.find("pid=" + std::to_string(relay.process.pid()) + ",") != std::string::npos)
            ports.insert(line.substr(line.find(':') + 1,
                                     line.find(' ', line.find(':')) - line.find(':') - 1));
    for (const std::string& line :
         Lines("redis-cli -p " + std::to_string(redisPort) + " CLIENT LIST")) {
        const auto addr = line.find(" addr=127.0.0.1:");
        if (addr != std::string::npos && line.find(" sub=1 ") != std::string::npos &&
            ports.count(line.substr(addr + 16, line.find(' ', addr + 1) - addr - 16)))
            return line.substr(3, line.find(' ') - 3);
    }
    return "";
}

std::string Node(const Relay& relay) {
    const auto log = relay.process.Stderr();
    const auto at = log.find("cluster node ");
    return at == std::string::npos ? "" : log.substr(at + 13, 16);
}

}  // namespace

TEST(RelayCluster, HostAndViewerOnDifferentRelaysPairAndForwardBothWaysInOrder) {
    Redis redis;
    Member a(redis), b(redis);
    ASSERT_TRUE(a.up && b.up) << a.process.Stderr() << b.process.Stderr();
    // Large frames cross Redis whole: up to the 8 MiB message limit.
    Host host(a,
              {"--frames", "5", "--fps", "10", "--pattern", "320x200", "--frame-bytes", "8000000"});
    ASSERT_TRUE(host.registered) << host.process.Stderr();
    const char move[] = R"({"action":"move","x":640,"y":360,"button":0,"key":0})";
    const char click[] = R"({"action":"down","x":10,"y":20,"button":1,"key":0})";
    Process viewer(Viewer(b, host.id, host.key, {"--input", move, "--input", click}));

    const auto request = NextEvent(host.process, "request");
    EXPECT_EQ(request.value("proofValid", false), true) << "the proof reaches the host unchanged";
    EXPECT_EQ(NextEvent(viewer, "connected").value("requestId", ""),
              request.value("requestId", "x"));
    EXPECT_FALSE(NextEvent(viewer, "ready").empty());
    // Every envelope is authenticated with its sequence number: a changed, lost or reordered
    // byte fails the viewer.
    for (int seq = 1; seq <= 5; ++seq) {
        const auto frame = NextEvent(viewer, "frame", 30s);
        EXPECT_EQ(frame.value("seq", 0), seq);
        EXPECT_EQ(frame.value("width", 0), 320);
    }
    EXPECT_EQ(NextEvent(host.process, "input").value("action", ""), "move");
    EXPECT_EQ(NextEvent(host.process, "input").value("button", 0), 1);
    EXPECT_EQ(NextEvent(viewer, "peerDisconnected").value("requestId", ""),
              request.value("requestId", "x"))
        << a.process.Stderr() << b.process.Stderr();
    EXPECT_EQ(host.process.Wait(), 0) << host.process.Stderr();
    EXPECT_EQ(viewer.Wait(), 0) << viewer.Stderr();
    EXPECT_TRUE(MetricIs(a, "kestrelink_relay_cluster_requests_total{direction=\"in\"} 1"))
        << a.Metrics();
    EXPECT_TRUE(MetricIs(b, "kestrelink_relay_cluster_requests_total{direction=\"out\"} 1"))
        << b.Metrics();
    EXPECT_TRUE(MetricIs(b, "kestrelink_relay_paired_sessions 0"));
    const std::string metrics = b.Metrics();
    const std::string bytesIn = "kestrelink_relay_cluster_bytes_total{direction=\"in\"} ";
    const auto at = metrics.find(bytesIn);
    ASSERT_NE(at, std::string::npos);
    EXPECT_GT(std::stoull(metrics.substr(at + bytesIn.size())), 5u * 8000000u) << metrics;
    EXPECT_EQ(b.Metrics().find("kestrelink_relay_redis_rtt_seconds 0.000000"), std::string::npos)
        << "measured";
}

TEST(RelayCluster, DuplicateAndUnknownIdsAreRefusedAcrossRelays) {
    Redis redis;
    Member a(redis), b(redis);
    ASSERT_TRUE(a.up && b.up);
    Host first(a, {"--stay"});
    ASSERT_TRUE(first.registered);
    Process second(Peer({"host", "--relay", b.url, "--id", first.id, "--timeout", "20"}));
    EXPECT_EQ(second.Wait(), 3);
    EXPECT_NE(second.Stderr().find("Bu ID başka bir bilgisayarda kullanımda."), std::string::npos)
        << second.Stderr();
    Process unknown(Viewer(b, "123456789", kl::GenerateConnectionKey()));
    EXPECT_EQ(unknown.Wait(), 3);
    EXPECT_NE(unknown.Stderr().find("Bu ID ile bağlı bir bilgisayar bulunamadı."),
              std::string::npos)
        << unknown.Stderr();
    // What Redis holds is the owner's node id and counts, each with a time to live, under
    // names that show neither the ID nor the address.
    const auto keys = RedisKeys(redis.port);
    int hosts = 0, rates = 0;
    for (const std::string& key : keys) {
        EXPECT_EQ(key.find(first.id), std::string::npos) << key;
        EXPECT_EQ(key.find("127.0.0.1"), std::string::npos) << key;
        const auto ttl = RedisCommand(redis.port, {"PTTL", key});
        EXPECT_TRUE(ttl.size() > 3 && ttl[0] == ':' && ttl[1] != '-' && ttl[1] != '0')
            << key << " " << ttl;
        if (key.rfind("kl:host:", 0) == 0) {
            ++hosts;
            EXPECT_EQ(RedisCommand(redis.port, {"GET", key}), "$16\r\n" + Node(a) + "\r\n");
        }
        rates += key.rfind("kl:rate:", 0) == 0;
    }
    EXPECT_EQ(hosts, 1);
    EXPECT_EQ(rates, 1);
    EXPECT_NE(std::find(keys.begin(), keys.end(), "kl:node:" + Node(a)), keys.end());
    // Once the host leaves, its ID is free on any relay.
    first.process.Signal(SIGTERM);
    EXPECT_EQ(first.process.Wait(), 0);
    Host again(b, {"--id", first.id});
    EXPECT_TRUE(again.registered) << again.process.Stderr();
}

TEST(RelayCluster, BusyHostRefusalAndExpiryFollowTheHostsRelay) {
    Redis redis;
    Member a(redis, {"--request-timeout-ms", "1500"}), b(redis), c(redis);
    ASSERT_TRUE(a.up && b.up && c.up);
    Host host(a, {"--answer", "ignore"});
    Process waiting(Viewer(b, host.id, host.key));
    ASSERT_FALSE(NextEvent(host.process, "request").empty());
    Process second(Viewer(c, host.id, host.key));
    EXPECT_EQ(second.Wait(), 3);
    EXPECT_NE(second.Stderr().find("Karşı taraf şu anda başka bir bağlantıyla meşgul."),
              std::string::npos)
        << second.Stderr();
    EXPECT_EQ(waiting.Wait(), 3);
    EXPECT_NE(waiting.Stderr().find("Bağlantı isteği zaman aşımına uğradı."), std::string::npos)
        << waiting.Stderr();
    EXPECT_FALSE(NextEvent(host.process, "peerDisconnected").empty())
        << "the host learns the request ended";

    Host refusing(a, {"--answer", "refuse"});
    Process refused(Viewer(b, refusing.id, refusing.key));
    EXPECT_EQ(NextEvent(refusing.process, "answered").value("accepted", true), false);
    EXPECT_EQ(refused.Wait(), 3);
    EXPECT_NE(refused.Stderr().find("Bağlantı isteği reddedildi."), std::string::npos)
        << refused.Stderr();
    // Still registered and free again: the next viewer is asked.
    Process next(Viewer(c, refusing.id, refusing.key));
    EXPECT_FALSE(NextEvent(refusing.process, "request").empty());
    EXPECT_EQ(next.Wait(), 3);
}

TEST(RelayCluster, EitherSideLeavingIsSeenAcrossRelays) {
    Redis redis;
    Member a(redis), b(redis);
    ASSERT_TRUE(a.up && b.up);
    Host host(a, {"--stay", "--fps", "20", "--pattern", "160x90"});
    Process leaving(Viewer(b, host.id, host.key, {"--frames", "3"}));
    const auto request = NextEvent(host.process, "request");
    EXPECT_EQ(leaving.Wait(), 0) << leaving.Stderr();
    EXPECT_EQ(NextEvent(host.process, "peerDisconnected").value("requestId", ""),
              request.value("requestId", "x"));
    // No longer busy: a second viewer from the other relay pairs, then the host goes.
    Process staying(Viewer(b, host.id, host.key));
    EXPECT_FALSE(NextEvent(staying, "frame").empty()) << staying.Stderr();
    host.process.Signal(SIGTERM);
    EXPECT_FALSE(NextEvent(staying, "peerDisconnected").empty());
    EXPECT_EQ(staying.Wait(), 0) << staying.Stderr();
}

TEST(RelayCluster, ViewerRequestsPerAddressAreCountedAcrossRelays) {
    Redis redis;
    Member a(redis, {"--viewer-requests-per-minute", "3"}),
        b(redis, {"--viewer-requests-per-minute", "3"});
    ASSERT_TRUE(a.up && b.up);
    const std::string key = kl::GenerateConnectionKey();
    for (const Relay* relay : {&a, &b, &a}) {
        Process unknown(Viewer(*relay, "123456789", key));
        EXPECT_EQ(unknown.Wait(), 3);
        EXPECT_NE(unknown.Stderr().find("bulunamadı"), std::string::npos) << unknown.Stderr();
    }
    Process fourth(Viewer(b, "123456789", key));
    EXPECT_EQ(fourth.Wait(), 3);
    EXPECT_NE(fourth.Stderr().find("Çok fazla bağlantı isteği. Biraz sonra yeniden dene."),
              std::string::npos)
        << fourth.Stderr();
}

TEST(RelayCluster, KilledRelayEndsItsPairsAndFreesItsIds) {
    Redis redis;
    Member a(redis), b(redis), c(redis);
    ASSERT_TRUE(a.up && b.up && c.up);
    // The viewer's relay dies: the host hears of it.
    Host host1(a, {"--stay", "--fps", "10", "--pattern", "160x90"});
    Process viewer1(Viewer(b, host1.id, host1.key));
    ASSERT_FALSE(NextEvent(viewer1, "frame").empty()) << viewer1.Stderr();
    // The host's relay dies: the viewer hears of it, and the ID is free on another relay.
    Host host2(c, {"--fps", "10", "--pattern", "160x90"});
    Process viewer2(Viewer(a, host2.id, host2.key));
    ASSERT_FALSE(NextEvent(viewer2, "frame").empty()) << viewer2.Stderr();

    const auto killed = std::chrono::steady_clock::now();
    b.process.Signal(SIGKILL);
    c.process.Signal(SIGKILL);
    EXPECT_FALSE(NextEvent(host1.process, "peerDisconnected", 10s).empty());
    EXPECT_FALSE(NextEvent(viewer2, "peerDisconnected", 10s).empty());
    EXPECT_LT(std::chrono::steady_clock::now() - killed, 8s) << "within a few seconds";
    Host taken(a, {"--id", host2.id});
    EXPECT_TRUE(taken.registered) << taken.process.Stderr();
}

TEST(RelayCluster, RedisStoppedAndStartedAgain) {
    Redis redis;
    Member a(redis), b(redis);
    ASSERT_TRUE(a.up && b.up);
    Host local(a, {"--stay", "--fps", "20", "--pattern", "160x90"});
    Process localViewer(Viewer(a, local.id, local.key));
    Host remote(a, {"--stay", "--fps", "20", "--pattern", "160x90"});
    Process remoteViewer(Viewer(b, remote.id, remote.key));
    ASSERT_FALSE(NextEvent(localViewer, "frame").empty());
    ASSERT_FALSE(NextEvent(remoteViewer, "frame").empty());

    redis.Stop();
    // A pair on one relay goes on; a pair across relays cannot and is told so.
    EXPECT_FALSE(NextEvent(remoteViewer, "peerDisconnected", 10s).empty());
    EXPECT_TRUE(MetricIs(a, "kestrelink_relay_redis_up 0"));
    const int before = LastFrame(localViewer, 200ms);
    EXPECT_GT(LastFrame(localViewer, 1s), before + 10) << "about 20 frames a second go on";
    Process refused(Peer({"host", "--relay", a.url, "--timeout", "20"}));
    EXPECT_EQ(refused.Wait(), 3);
    EXPECT_NE(refused.Stderr().find("Sunucu şu anda hizmet veremiyor. Biraz sonra yeniden dene."),
              std::string::npos)
        << refused.Stderr();

    // Back, and empty: the relays connect again by themselves and publish what they own.
    redis.Start();
    EXPECT_TRUE(MetricIs(a, "kestrelink_relay_redis_up 1"));
    EXPECT_TRUE(MetricIs(b, "kestrelink_relay_redis_up 1"));
    Process again(Viewer(b, remote.id, remote.key, {"--frames", "2"}));
    EXPECT_EQ(again.Wait(), 0) << again.Stderr();
    Host fresh(b);
    EXPECT_TRUE(fresh.registered) << fresh.process.Stderr();
    // Its three connections (commands, subscriber, heartbeat) were made again, once each.
    EXPECT_NE(a.Metrics().find("kestrelink_relay_redis_reconnects_total 3"), std::string::npos)
        << a.Metrics();
}

TEST(RelayCluster, MalformedMessagesFromRedisAreDroppedAndReachNoClient) {
    Redis redis;
    Member a(redis), b(redis);
    ASSERT_TRUE(a.up && b.up);
    Host host(a, {"--stay", "--fps", "10", "--pattern", "160x90"});
    Process viewer(Viewer(b, host.id, host.key));
    ASSERT_FALSE(NextEvent(viewer, "frame").empty());
    const std::string channel = "kl:relay:" + Node(b);
    const std::string other = std::string(16, 'a');
    const std::vector<std::string> junk = {
        "not json",
        std::string(10000, '{') + "\n",
        R"({"k":"down","n":")" + other +
            R"(","c":1})"
            "\nxx",  // unknown pair
        R"({"k":"text","n":")" + other +
            R"(","c":1,"t":"{\"type\":\"error\",\"message\":\"x\"}"})"
            "\n",
        R"({"k":"request","n":")" + other +
            R"(","c":5,"s":"12","p":"x","a":"1.2.3.4"})"
            "\n",
        R"({"k":"close","n":"zz","c":1,"x":1000})"
        "\n",
        std::string(9 * 1024 * 1024, 'x'),
    };
    for (const auto& message : junk)
        EXPECT_EQ(RedisCommand(redis.port, {"PUBLISH", channel, message}), ":1\r\n");
    // The pair goes on untouched, and the relay counted what it refused.
    const int seq = NextEvent(viewer, "frame").value("seq", 0);
    EXPECT_GT(NextEvent(viewer, "frame").value("seq", 0), seq);
    EXPECT_TRUE(MetricIs(b, "kestrelink_relay_cluster_dropped_messages_total 7")) << b.Metrics();
    // A message far above any the relay takes is skipped as it arrives, never held whole: the
    // relay's peak memory hardly moves, and its link to Redis (and the pair) stays.
    const long peakBefore = PeakKb(b.process.pid());
    EXPECT_EQ(RedisCommand(redis.port, {"PUBLISH", channel, std::string(120 << 20, 'x')}),
              ":1\r\n");
    EXPECT_TRUE(MetricIs(b, "kestrelink_relay_cluster_dropped_messages_total 8", 20s))
        << b.Metrics();
    EXPECT_LE(PeakKb(b.process.pid()), peakBefore + 16 * 1024);
    EXPECT_NE(b.Metrics().find("kestrelink_relay_redis_reconnects_total 0"), std::string::npos);
    const int later = NextEvent(viewer, "frame").value("seq", 0);
    EXPECT_GT(NextEvent(viewer, "frame").value("seq", 0), later);
    EXPECT_EQ(viewer.Wait(1s), -1) << "still running: " << viewer.Stderr();
}

TEST(RelayCluster, ViewerThatStopsReadingHoldsItsHostOnTheOtherRelayInsteadOfPilingUpFrames) {
    Redis redis;
    Member a(redis), b(redis, {"--stalled-reader-ms", "3000"});
    ASSERT_TRUE(a.up && b.up);
    Host host(a, {"--fps", "12.5", "--frame-bytes", "2000000", "--pattern", "640x360"});
    Process viewer(Viewer(b, host.id, host.key, {"--stop-reading-after", "3"}));
    ASSERT_FALSE(NextEvent(viewer, "stoppedReading", 20s).empty()) << viewer.Stderr();
    // Credit stops coming back, so the host's relay stops reading it and the host has to
    // replace frames that cannot leave, as with a slow viewer on its own relay.
    EXPECT_FALSE(NextEvent(host.process, "frameReplaced", 10s).empty()) << a.process.Stderr();
    // The viewer's relay drops the silent reader; the host hears of it across the relays.
    EXPECT_FALSE(NextEvent(host.process, "peerDisconnected", 30s).empty()) << b.process.Stderr();
    for (Relay* relay : {static_cast<Relay*>(&a), static_cast<Relay*>(&b)}) {
        std::ifstream status("/proc/" + std::to_string(relay->process.pid()) + "/status");
        std::string name;
        long peakKb = 0;
        while (status >> name)
            if (name == "VmHWM:") status >> peakKb;
        EXPECT_GT(peakKb, 0);
        EXPECT_LT(peakKb, 24 * 1024) << "far below a send buffer's worth of 2 MB frames";
    }
    EXPECT_NE(b.Metrics().find("reason=\"slow_reader\"} 1"), std::string::npos) << b.Metrics();
}

namespace {

// A CA made for the test with Redis's certificate (for 127.0.0.1 only) and a relay's client
// certificate from it, and a second CA that signed neither.
struct TestPki {
    TestPki()
        : dir(std::filesystem::temp_directory_path() /
              ("kl-redis-tls-" + std::to_string(getpid()))) {
        std::filesystem::create_directories(dir);
        ok =
            Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                "-subj /CN=kl-test-ca -keyout ca.key -out ca.pem") &&
            Run("openssl req -x509 -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -days 1 "
                "-subj /CN=kl-other-ca -keyout other.key -out other.pem") &&
            Leaf("redis", "subjectAltName=IP:127.0.0.1") &&
            Leaf("relay", "extendedKeyUsage=clientAuth");
    }
    ~TestPki() { std::filesystem::remove_all(dir); }
    bool Run(const std::string& command) const {
        return std::system(
                   ("cd " + dir.string() + " && (" + command + ") >/dev/null 2>&1").c_str()) == 0;
    }
    bool Leaf(const std::string& name, const std::string& extension) const {
        return Run("printf '" + extension + "\\n' >" + name + ".ext") &&
               Run("openssl req -newkey ec -pkeyopt ec_paramgen_curve:prime256v1 -nodes -subj "
                   "/CN=" +
                   name + " -keyout " + name + ".key -out " + name + ".csr") &&
               Run("openssl x509 -req -in " + name +
                   ".csr -CA ca.pem -CAkey ca.key -CAcreateserial "
                   "-days 1 -extfile " +
                   name + ".ext -out " + name + ".pem");
    }
    std::string operator[](const std::string& file) const { return (dir / file).string(); }
    std::filesystem::path dir;
    bool ok = false;
};

bool LogShows(const Relay& relay, const std::string& text, std::chrono::milliseconds limit = 10s) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (relay.process.Stderr().find(text) == std::string::npos) {
        if (std::chrono::steady_clock::now() > deadline) return false;
        std::this_thread::sleep_for(50ms);
    }
    return true;
}

}  // namespace

TEST(RelayCluster, RedissChecksRedisCertificateAndCarriesAPairAcrossRelays) {
    TestPki pki;
    ASSERT_TRUE(pki.ok) << "openssl could not make the test certificates";
    // Redis asks clients for a certificate too, and listens on a second address its own
    // certificate does not name.
    Redis redis({"--bind", "127.0.0.1", "127.0.0.2", "--tls-cert-file", pki["redis.pem"],
                 "--tls-key-file", pki["redis.key"], "--tls-ca-cert-file", pki["ca.pem"],
                 "--tls-auth-clients", "yes"});
    const std::vector<std::string> client = {"--redis-cert", pki["relay.pem"], "--redis-key",
                                             pki["relay.key"]};
    Member a(redis, With({"--redis-ca", pki["ca.pem"]}, client)),
        b(redis, With({"--redis-ca", pki["ca.pem"]}, client));
    ASSERT_TRUE(a.up && b.up) << a.process.Stderr() << b.process.Stderr();
    Host host(a,
              {"--frames", "4", "--fps", "10", "--pattern", "320x200", "--frame-bytes", "1000000"});
    ASSERT_TRUE(host.registered) << host.process.Stderr();
    const char move[] = R"({"action":"move","x":64,"y":36,"button":0,"key":0})";
    Process viewer(Viewer(b, host.id, host.key, {"--input", move}));
    for (int seq = 1; seq <= 4; ++seq)
        EXPECT_EQ(NextEvent(viewer, "frame", 20s).value("seq", 0), seq) << viewer.Stderr();
    EXPECT_EQ(NextEvent(host.process, "input").value("x", 0), 64);
    EXPECT_FALSE(NextEvent(viewer, "peerDisconnected").empty());
    EXPECT_EQ(viewer.Wait(), 0) << viewer.Stderr();

    // Redis's certificate signed by a CA the relay does not trust, and Redis reached at an
    // address its certificate does not name: both count as Redis unreachable, with the reason.
    const std::string trust = pki["trust.pem"];
    std::filesystem::copy_file(pki["other.pem"], trust);
    Relay wrongCa(Joined(With({"--redis", redis.Url(), "--redis-ca", trust}, client)));
    Relay wrongName(Joined(With({"--redis", "rediss://127.0.0.2:" + std::to_string(redis.port),
                                 "--redis-ca", pki["ca.pem"]},
                                client)));
    // Without the client certificate Redis asks for, Redis refuses after the handshake: that
    // too is a failed connect, not a connection that comes up and drops.
    Relay noClientCert(Joined({"--redis", redis.Url(), "--redis-ca", pki["ca.pem"]}));
    EXPECT_TRUE(LogShows(wrongCa, "certificate verify failed")) << wrongCa.process.Stderr();
    EXPECT_TRUE(LogShows(wrongName, "IP address mismatch")) << wrongName.process.Stderr();
    EXPECT_TRUE(LogShows(noClientCert, "certificate required")) << noClientCert.process.Stderr();
    EXPECT_EQ(noClientCert.process.Stderr().find("redis commands connected"), std::string::npos)
        << noClientCert.process.Stderr();
    EXPECT_TRUE(MetricIs(wrongCa, "kestrelink_relay_redis_up 0", 1s));
    EXPECT_TRUE(MetricIs(wrongName, "kestrelink_relay_redis_up 0", 1s));
    Process refused(Peer({"host", "--relay", wrongCa.url, "--timeout", "20"}));
    EXPECT_EQ(refused.Wait(), 3);
    EXPECT_NE(refused.Stderr().find("Sunucu şu anda hizmet veremiyor. Biraz sonra yeniden dene."),
              std::string::npos)
        << refused.Stderr();
    // The CA file is read again on every attempt: once it is right the relay joins by itself.
    std::filesystem::copy_file(pki["ca.pem"], trust,
                               std::filesystem::copy_options::overwrite_existing);
    EXPECT_TRUE(MetricIs(wrongCa, "kestrelink_relay_redis_up 1", 15s)) << wrongCa.process.Stderr();
    Host late(wrongCa);
    EXPECT_TRUE(late.registered) << late.process.Stderr();
    EXPECT_TRUE(MetricIs(wrongName, "kestrelink_relay_redis_up 0", 1s));
    EXPECT_TRUE(MetricIs(noClientCert, "kestrelink_relay_redis_reconnects_total 0", 1s));

    // Redis gone and back: the relays notice through the TLS session and connect again.
    redis.Stop();
    EXPECT_TRUE(MetricIs(a, "kestrelink_relay_redis_up 0"));
    EXPECT_TRUE(LogShows(a, "connection lost: TLS from")) << a.process.Stderr();
    redis.Start();
    EXPECT_TRUE(MetricIs(a, "kestrelink_relay_redis_up 1", 15s)) << a.process.Stderr();
    Host after(b);
    EXPECT_TRUE(after.registered) << after.process.Stderr();
}

TEST(RelayCluster, RedisClientWithoutTheSecretCanNeitherReadForgeNorReplayRelayMessages) {
    Redis redis;
    Member a(redis), b(redis);
    ASSERT_TRUE(a.up && b.up);
    Snoop snoop(redis.port);
    Host host(a, {"--stay", "--fps", "10", "--pattern", "160x90"});
    ASSERT_TRUE(host.registered);
    Process viewer(Viewer(b, host.id, host.key,
                          {"--input", R"({"action":"move","x":9,"y":9,"button":0,"key":0})"}));
    ASSERT_FALSE(NextEvent(viewer, "frame").empty()) << viewer.Stderr();
    ASSERT_FALSE(NextEvent(host.process, "input").empty());
    // Everything between the relays went through Redis, and a reader learns nothing from it:
    // not the ID, not the address, not that a request was made.
    auto seen = snoop.Messages();
    for (int i = 0; i < 100 && seen.size() < 3; ++i) {  // the snoop's thread may lag behind
        std::this_thread::sleep_for(50ms);
        seen = snoop.Messages();
    }
    ASSERT_GE(seen.size(), 3u);
    for (const auto& [channel, message] : seen)
        for (const std::string& secret : {host.id, std::string("127.0.0.1"), std::string("request"),
                                          std::string("connected"), std::string("\"p\"")})
            EXPECT_EQ(message.find(secret), std::string::npos) << channel << ": " << secret;
    for (const std::string& key : RedisKeys(redis.port))
        EXPECT_EQ(key.find(host.id), std::string::npos) << key;

    // Replayed to the relay they were for: refused, and the pair goes on.
    for (const auto& [channel, message] : seen)  // heard by the relay and the snoop
        EXPECT_EQ(RedisCommand(redis.port, {"PUBLISH", channel, message}), ":2\r\n");
    // Sent to the other relay, or sealed without the cluster's secret: refused as forged. An
    // altered copy keeps a counter already used: refused as replayed before any other work.
    kl::relay::ClusterSeal stranger(std::string(64, 'x'), "0123456789abcdef");
    int forged = 0;
    for (const auto& [channel, message] : seen) {
        const std::string other =
            channel == "kl:relay:" + Node(a) ? "kl:relay:" + Node(b) : "kl:relay:" + Node(a);
        std::string altered = message;
        altered[altered.size() / 2] ^= 0x20;
        RedisCommand(redis.port, {"PUBLISH", other, message});
        RedisCommand(redis.port, {"PUBLISH", channel, altered});
        ++forged;
    }
    for (std::uint64_t conn = 1; conn <= 20; ++conn) {
        std::string sealed;
        stranger.Seal(Node(b),
                      R"({"k":"close","n":"0123456789abcdef","c":)" + std::to_string(conn) +
                          R"(,"x":1000})"
                          "\n",
                      "", sealed);
        EXPECT_EQ(RedisCommand(redis.port, {"PUBLISH", "kl:relay:" + Node(b), sealed}), ":2\r\n");
    }
    forged += 20;
    const auto count = [](const Relay& r, const char* reason) {
        const auto text = r.Metrics();
        const std::string name =
            std::string("kestrelink_relay_cluster_refused_messages_total{reason=\"") + reason +
            "\"} ";
        const auto at = text.find(name);
        return at == std::string::npos ? 0L : std::stol(text.substr(at + name.size()));
    };
    const long replayed = 2 * static_cast<long>(seen.size());
    for (int i = 0; i < 100 && (count(a, "forged") + count(b, "forged") < forged ||
                                count(a, "replayed") + count(b, "replayed") < replayed);
         ++i)
        std::this_thread::sleep_for(50ms);
    EXPECT_EQ(count(a, "forged") + count(b, "forged"), forged) << a.Metrics() << b.Metrics();
    EXPECT_EQ(count(a, "replayed") + count(b, "replayed"), replayed);
    const int seq = NextEvent(viewer, "frame").value("seq", 0);
    EXPECT_GT(NextEvent(viewer, "frame").value("seq", 0), seq) << "the pair lives";
    EXPECT_TRUE(NextEvent(viewer, "peerDisconnected", 500ms).empty());
    // The drops are logged as a summary, not one line each.
    EXPECT_TRUE(LogShows(b, "dropped messages on this relay's channel:", 15s))
        << b.process.Stderr();
}

TEST(RelayCluster, BehindHaproxyEachClientsAddressMeetsThePerAddressLimitsOnItsOwn) {
    Redis redis;
    const std::vector<std::string> limits = {"--proxy-protocol-from",         "127.0.0.1/32",
                                             "--viewer-requests-per-minute",  "3",
                                             "--max-connections-per-address", "4",
                                             "--handshake-timeout-ms",        "1000"};
    Member a(redis, limits), b(redis, limits);
    ASSERT_TRUE(a.up && b.up);
    Haproxy balancer({&a, &b});
    ASSERT_TRUE(Listening(balancer.port)) << balancer.process->Stderr();
    const std::string proof = "v2:" + std::string(32, 'a') + ":" + std::string(64, 'b');
    auto request = [&](const char* source) {
        RawWs viewer(balancer.port, source);
        if (!viewer.Upgrade() || !viewer.SendText(kl::BuildViewerRegistration("123456789", proof)))
            return std::string("no answer");
        const auto m = viewer.Read();
        const auto json = nlohmann::json::parse(m ? m->payload : "", nullptr, false);
        return json.is_object() ? json.value("message", "") : std::string("no answer");
    };
    // A host and its viewer through the balancer (round robin: on different relays) pair.
    {
        Process host(Peer({"host", "--relay", balancer.Url(), "--timeout", "30", "--frames", "2",
                           "--fps", "10", "--pattern", "160x90"}));
        const auto credentials = NextEvent(host, "credentials");
        ASSERT_FALSE(NextEvent(host, "registered").empty()) << host.Stderr();
        Process viewer(
            Peer({"viewer", "--relay", balancer.Url(), "--id", credentials.value("id", ""), "--key",
                  credentials.value("key", ""), "--timeout", "30"}));
        EXPECT_EQ(NextEvent(viewer, "frame").value("seq", 0), 1) << viewer.Stderr();
        EXPECT_EQ(viewer.Wait(), 0);
    }
    // One client floods requests, spread over both relays; the limit meets that client only.
    std::vector<std::string> flood;
    for (int i = 0; i < 5; ++i) flood.push_back(request("127.0.0.2"));
    EXPECT_EQ(flood[2], "Bu ID ile bağlı bir bilgisayar bulunamadı.");
    EXPECT_EQ(flood[3], "Çok fazla bağlantı isteği. Biraz sonra yeniden dene.");
    EXPECT_EQ(flood[4], flood[3]);
    EXPECT_EQ(request("127.0.0.3"), "Bu ID ile bağlı bir bilgisayar bulunamadı.");
    // Idle connections of one client fill its own allowance on each relay, nobody else's.
    std::vector<std::unique_ptr<RawWs>> idle;
    int upgraded = 0;
    for (int i = 0; i < 12; ++i) {
        idle.push_back(std::make_unique<RawWs>(balancer.port, "127.0.0.2"));
        upgraded += idle.back()->Upgrade() ? 1 : 0;
    }
    EXPECT_LE(upgraded, 8);
    RawWs other1(balancer.port, "127.0.0.3"), other2(balancer.port, "127.0.0.3");
    EXPECT_TRUE(other1.Upgrade() && other2.Upgrade());
    // The log names the clients (the balancer's own address is also the probe's here).
    const std::string logs = a.process.Stderr() + b.process.Stderr();
    EXPECT_NE(logs.find("addr=127.0.0.2 "), std::string::npos) << logs;
    EXPECT_NE(logs.find("addr=127.0.0.3 "), std::string::npos);

    // Straight to a relay: from the balancer's address without a header, with a bad one, or
    // with none at all until the deadline, refused; from elsewhere a header is no more than
    // bytes that are not HTTP, and the address it names is used nowhere.
    RawWs bare(PortOf(a.url), "127.0.0.1");
    EXPECT_FALSE(bare.Upgrade());
    RawWs silent(PortOf(a.url), "127.0.0.1");
    EXPECT_GE(silent.ClosedWith(5000), 0);
    RawWs outsider(PortOf(a.url), "127.0.0.5");
    const std::string header = std::string("\r\n\r\n\0\r\nQUIT\n\x21\x11\x00\x0c", 16) +
                               std::string("\x0a\x09\x09\x09\x7f\x00\x00\x01\x30\x39\x01\xbb", 12);
    EXPECT_TRUE(outsider.SendAll(header + RawWs::UpgradeRequest()));
    EXPECT_FALSE(outsider.Upgraded());
    EXPECT_TRUE(MetricIs(a, "kestrelink_relay_refusals_total{reason=\"bad_proxy_header\"} 1"))
        << a.Metrics();
    EXPECT_TRUE(MetricIs(a, "kestrelink_relay_refusals_total{reason=\"slow_proxy_header\"} 1"));
    EXPECT_EQ((a.process.Stderr() + b.process.Stderr()).find("10.9.9.9"), std::string::npos);
}

TEST(RelayCluster, AclUserWithOnlyWhatTheRelayUsesRunsTheClusterAndAMissingPermissionIsNamed) {
    Redis redis;
    // The README's ACL line, word for word after the password.
    const std::vector<std::string> rules = {
        "resetkeys",  "~kl:*", "resetchannels", "&kl:relay:*",       "-@all", "+get",
        "+set",       "+del",  "+exists",       "+pexpire",          "+eval", "+publish",
        "+subscribe", "+zadd", "+zcard",        "+zremrangebyscore", "+time", "+select"};
    const std::string password = kl::RandomHex(16);
    for (const auto& [name, less] :
         {std::pair<std::string, std::vector<std::string>>{"kestrelink", {}},
          {"nopublish", {"-publish"}}})
        ASSERT_EQ(
            RedisCommand(redis.port,
                         With(With({"ACL", "SETUSER", name, "on", ">" + password}, rules), less)),
            "+OK\r\n");
    const std::string file = ::testing::TempDir() + "kl-redis-password-" + std::to_string(getpid());
    std::ofstream(file) << password << "\n";
    chmod(file.c_str(), 0600);
    auto as = [&](const std::string& user, const std::string& passwordFile) {
        return Joined({"--redis", "redis://" + user + "@127.0.0.1:" + std::to_string(redis.port),
                       "--redis-password-file", passwordFile});
    };
    Relay a(as("kestrelink", file)), b(as("kestrelink", file)), c(as("nopublish", file));
    for (const Relay* r : {&a, &b, &c})
        ASSERT_TRUE(MetricIs(*r, "kestrelink_relay_redis_up 1")) << r->process.Stderr();
    Host host(a, {"--frames", "3", "--fps", "10", "--pattern", "160x90"});
    ASSERT_TRUE(host.registered) << a.process.Stderr();
    Process viewer(Viewer(b, host.id, host.key));
    EXPECT_EQ(NextEvent(viewer, "frame").value("seq", 0), 1) << b.process.Stderr();
    EXPECT_EQ(viewer.Wait(), 0);
    // Without PUBLISH the viewer's relay cannot ask the host's: the viewer hears so at once,
    // and the log says which command Redis refused and why.
    Host second(a, {"--stay"});
    Process refused(Viewer(c, second.id, second.key));
    EXPECT_EQ(refused.Wait(20s), 3);
    EXPECT_NE(refused.Stderr().find("Sunucu şu anda hizmet veremiyor."), std::string::npos)
        << refused.Stderr();
    EXPECT_TRUE(LogShows(c, "redis refused PUBLISH: NOPERM")) << c.process.Stderr();
    // A wrong password: said in Redis's words, and the password is in no log.
    const std::string wrong = file + "-wrong";
    std::ofstream(wrong) << "not-" << password << "\n";
    chmod(wrong.c_str(), 0600);
    Relay d(as("kestrelink", wrong));
    EXPECT_TRUE(LogShows(d, "Redis refused the login: WRONGPASS")) << d.process.Stderr();
    for (const Relay* r : {&a, &b, &c, &d})
        EXPECT_EQ(r->process.Stderr().find(password), std::string::npos);
    std::remove(file.c_str());
    std::remove(wrong.c_str());
}

// Each way a relay can lose Redis or its partner: both halves of the pair end, and soon
// (each wait is bounded by 6 s: the 5 s the relays promise and a margin for a loaded machine).
TEST(RelayCluster, NoHalfPairsWhenEitherRelayLosesItsSubscriptionRedisOrItsPartner) {
    Redis redis;
    Member a(redis), b(redis);
    ASSERT_TRUE(a.up && b.up);
    Host host(a, {"--stay", "--fps", "10", "--pattern", "160x90"});
    ASSERT_TRUE(host.registered);
    auto paired = [&] {
        auto viewer = std::make_unique<Process>(Viewer(b, host.id, host.key));
        EXPECT_FALSE(NextEvent(*viewer, "frame", 20s).empty()) << viewer->Stderr();
        return viewer;
    };
    auto bothEnd = [&](Process& viewer, const char* how) {
        EXPECT_FALSE(NextEvent(viewer, "peerDisconnected", 6s).empty())
            << how << ": the viewer's half\n"
            << b.process.Stderr();
        EXPECT_FALSE(NextEvent(host.process, "peerDisconnected", 6s).empty())
            << how << ": the host's half\n"
            << a.process.Stderr();
    };
    auto upAgain = [&] {
        EXPECT_TRUE(MetricIs(a, "kestrelink_relay_redis_up 1", 15s));
        EXPECT_TRUE(MetricIs(b, "kestrelink_relay_redis_up 1", 15s));
    };
    // One relay's subscriber cut by Redis (as its output limit does): only that relay sees it.
    for (const std::string& side : {Node(a), Node(b)}) {  // each relay's in turn
        auto viewer = paired();
        const std::string id = SubscriberOf(redis.port, side == Node(a) ? a : b);
        ASSERT_FALSE(id.empty());
        ASSERT_EQ(RedisCommand(redis.port, {"CLIENT", "KILL", "ID", id}), ":1\r\n");
        bothEnd(*viewer, "a subscriber cut");
        upAgain();
    }
    // Redis stalled long enough for one relay or both to give it up.
    {
        auto viewer = paired();
        redis.process->Signal(SIGSTOP);
        std::this_thread::sleep_for(4500ms);
        redis.process->Signal(SIGCONT);
        bothEnd(*viewer, "Redis stalled");
        upAgain();
    }
    // The host's relay stalled past its heartbeat's time to live: the viewer's relay ends its
    // half, and meanwhile another host takes the ID on the viewer's relay. Back, the stalled
    // relay ends its half, and routes nobody to its displaced host any more.
    {
        auto viewer = paired();
        a.process.Signal(SIGSTOP);
        EXPECT_FALSE(NextEvent(*viewer, "peerDisconnected", 8s).empty()) << b.process.Stderr();
        Host usurper(b, {"--id", host.id, "--stay"});
        EXPECT_TRUE(usurper.registered) << b.process.Stderr();
        a.process.Signal(SIGCONT);
        EXPECT_FALSE(NextEvent(host.process, "peerDisconnected", 6s).empty()) << a.process.Stderr();
        Process late(Viewer(a, host.id, host.key, {"--timeout", "10"}));
        EXPECT_FALSE(NextEvent(usurper.process, "request", 10s).empty()) << a.process.Stderr();
        EXPECT_NE(NextEvent(host.process, "request", 1s).value("event", ""), "request");
    }
}
