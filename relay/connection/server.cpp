#include "relay/connection/server.hpp"

#include <malloc.h>
#include <netinet/tcp.h>
#include <sys/resource.h>

#include <boost/asio.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <deque>
#include <iostream>
#include <map>
#include <memory>
#include <optional>
#include <utility>

#include "crypto/credentials.hpp"
#include "relay/core/client_input.hpp"
#include "relay/cluster/cluster.hpp"
#include "relay/connection/message_pool.hpp"
#include "relay/core/metrics.hpp"
#include "relay/connection/proxy_protocol.hpp"
#include "relay/connection/session.hpp"
#include "session/messages.hpp"

namespace kl::relay {

namespace {

namespace asio = boost::asio;
namespace beast = boost::beast;
namespace http = beast::http;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;

constexpr auto kTickPeriod = std::chrono::milliseconds(250);
// Silent clients are looked at this often (at most): pinged, or dropped.
constexpr auto kKeepAlivePeriod = std::chrono::seconds(30);
constexpr auto kShutdownGrace = std::chrono::seconds(3);
constexpr int kUnsentBytes = 65536;

std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() %
        1000;
    std::tm tm{};
    gmtime_r(&seconds, &tm);
    char text[40];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03dZ", tm.tm_year + 1900,
                  tm.tm_mon + 1, tm.tm_mday, tm.tm_hour, tm.tm_min, tm.tm_sec,
                  static_cast<int>(millis));
    return text;
}

// The certificate chain and key for wss://, checked to belong together; null with the reason.
std::unique_ptr<ssl::context> LoadTls(const Options& options, std::string& error) {
    auto tls = std::make_unique<ssl::context>(ssl::context::tls_server);
    tls->set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                     ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    boost::system::error_code ec;
    tls->use_certificate_chain_file(options.certFile, ec);
    if (ec) {
        error = "cannot use certificate " + options.certFile + ": " + ec.message();
        return nullptr;
    }
    tls->use_private_key_file(options.keyFile, ssl::context::pem, ec);
    if (!ec && SSL_CTX_check_private_key(tls->native_handle()) != 1)
        ec = asio::error::invalid_argument;
    if (ec) {
        error = "cannot use key " + options.keyFile + ": " + ec.message();
        return nullptr;
    }
    return tls;
}

class Server final : public SessionOwner, public ClusterPort {
  public:
    Server(asio::io_context& ioc, const Options& options, std::unique_ptr<ssl::context> tls)
        : ioc_(ioc),
          options_(options),
          tls_(std::move(tls)),
          acceptor_(ioc),
          metricsAcceptor_(ioc),
          signals_(ioc, SIGTERM, SIGINT),
          reload_(ioc, SIGHUP),
          tick_(ioc),
          retry_(ioc),
          deadline_(ioc),
          router_(options.routing, [] { return RandomHex(16); }),
          budget_(std::make_shared<MemoryBudget>(MemoryBudget{options.memoryBudgetBytes, 0})) {
        router_.SetLog([this](ConnId id, const std::string& line) { Log(id, line); });
    }

    bool Start(std::string& error);

    // Called by sessions.
    void OnOpened(Session& session) override;
    void OnText(Session& session, std::string_view text) override;
    void OnBinary(Session& session, std::shared_ptr<const std::string> data) override;
    void OnFinished(Session& session, const std::string& how) override;
    void Refusal(Session& session, const char* reason) override {
        router_.CountRefusal(reason);
        Log(session.id(), std::string("refused ") + reason);
    }
    void Log(ConnId id, const std::string& line) override {
        auto it = clients_.find(id);
        std::cerr << Timestamp() << " conn=" << id
                  << " addr=" << (it == clients_.end() ? "-" : it->second.address) << " " << line
                  << '\n';
    }
    std::size_t sendBufferBytes() const override { return options_.sendBufferBytes; }
    std::size_t maxBinaryBytes() const override { return options_.maxBinaryBytes; }
    std::chrono::milliseconds stalledReaderTime() const override {
        return options_.stalledReaderTime;
    }
    std::size_t maxTextBytes() const override { return options_.maxTextBytes; }
    std::chrono::milliseconds handshakeTimeout() const override {
        return options_.handshakeTimeout;
    }
    std::shared_ptr<MemoryBudget> memoryBudget() override { return budget_; }
    bool Reclaim(Session& asker, std::size_t want) override;
    // After an allocation failure escaped a handler: the relay keeps serving the others.
    void OnAllocationFailure();

    // Called by the cluster.
    Router& router() override { return router_; }
    void Apply(const std::vector<Action>& actions) override;
    void Deliver(ConnId to, std::shared_ptr<const std::string> data, bool text) override {
        if (auto target = Find(to)) {
            if (!text) {
                traffic_.bytesForwarded += data->size();
                ++traffic_.messagesForwarded;
            }
            target->Send(std::move(data), text);
        }
    }
    void CloseConn(ConnId to, std::uint16_t code) override {
        if (auto target = Find(to)) target->Close(code);
    }
    void PauseReading(ConnId id, bool paused) override {
        auto session = Find(id);
        if (!session) return;
        // A held connection has no read in flight to keep it alive: it is kept here instead.
        if (paused) {
            heldForCluster_[id] = session;
            session->HoldReading();
        } else {
            heldForCluster_.erase(id);
            session->ResumeReading();
        }
    }
    void AllowBinary(ConnId id) override {
        if (auto session = Find(id)) session->AllowBinary();
    }
    std::optional<std::size_t> QueuedBytes(ConnId id) override {
        if (auto session = Find(id)) return session->queuedBytes();
        return std::nullopt;
    }

  private:
    struct ProxyWait {
        ProxyWait(tcp::socket s, asio::io_context& ioc, asio::ip::address from)
            : socket(std::move(s)), timer(ioc), balancer(from) {}
        tcp::socket socket;
        asio::steady_timer timer;
        asio::ip::address balancer;
        ProxyHeaderReader reader;
        std::array<std::uint8_t, 16 + ProxyHeaderReader::kMaxV2Body> buffer;
        bool late = false;
    };
    void Accept();
    void OnAccept(boost::system::error_code ec, tcp::socket socket);
    void ReadProxyHeader(std::shared_ptr<ProxyWait> wait);
    void ReadProxyPart(std::shared_ptr<ProxyWait> wait);
    void Admit(tcp::socket socket, const asio::ip::address& address);
    void RefuseAtAccept(tcp::socket& socket, const char* reason);
    const char* AcceptLimit(const std::string& key) const;
    void ForgetLostSessions();
    void KeepAlive(Clock::time_point now);
    void Forget(ConnId id);
    void AcceptMetrics();
    void AwaitReload();
    void Tick();
    void GiveMemoryBack(Clock::time_point now);
    void Stop();
    std::shared_ptr<Session> Find(ConnId id) {
        auto it = sessions_.find(id);
        return it == sessions_.end() ? nullptr : it->second.lock();
    }

    asio::io_context& ioc_;
    Options options_;
    std::unique_ptr<ssl::context>
        tls_;  // for new connections; each live one holds its own reference
    tcp::acceptor acceptor_, metricsAcceptor_;
    asio::signal_set signals_, reload_;
    asio::steady_timer tick_, retry_, deadline_;
    Router router_;
    std::unique_ptr<Cluster> cluster_;  // with --redis only
    std::map<ConnId, std::shared_ptr<Session>>
        heldForCluster_;  // reading held for a remote partner
    std::map<ConnId, std::weak_ptr<Session>> sessions_;
    struct Client {
        std::string address;  // in full, for the log
        std::string key;      // what the per-address limits count by
        bool upgraded = false;
    };
    std::map<ConnId, Client> clients_;
    std::map<std::string, std::size_t> perAddress_;   // by AddressKey, upgraded or not
    std::map<std::string, std::size_t> handshaking_;  // by AddressKey, not yet upgraded
    std::shared_ptr<MemoryBudget> budget_;
    std::map<std::string, std::uint64_t> refusedAtAccept_;  // since the last log line about them
    Clock::time_point refusalsLogged_{};
    Clock::time_point sweepLostUntil_{};
    Clock::time_point keptAlive_ = Clock::now();
    Clock::time_point reclaimScanned_{};
    std::pair<std::size_t, std::size_t> reclaimFailed_;  // that asker's unfilled room, holdings
    std::size_t heldPeak_ = 0;  // the most the budget held since the heap was last trimmed
    Clock::time_point trimmed_{};
    TrafficCounters traffic_;
    ConnId nextId_ = 1;
    bool stopping_ = false;
    std::size_t proxyWaiting_ = 0;  // balancers' connections whose PROXY header is not yet in
};

// One request per connection: GET /metrics.
class MetricsConnection : public std::enable_shared_from_this<MetricsConnection> {
  public:
    MetricsConnection(tcp::socket socket, std::function<std::string()> render)
        : stream_(std::move(socket)), render_(std::move(render)) {}
    void Start() {
        stream_.expires_after(std::chrono::seconds(5));
        http::async_read(stream_, buffer_, request_,
                         [self = shared_from_this()](boost::system::error_code ec, std::size_t) {
                             if (ec) return;
                             self->Respond();
                         });
    }

  private:
    void Respond() {
        const bool found = request_.target() == "/metrics";
        response_ = {found ? http::status::ok : http::status::not_found, request_.version()};
        response_.set(http::field::content_type, "text/plain; version=0.0.4; charset=utf-8");
        response_.keep_alive(false);
        response_.body() = found ? render_() : "Not found\n";
        response_.prepare_payload();
        http::async_write(stream_, response_,
                          [self = shared_from_this()](boost::system::error_code, std::size_t) {
                              boost::system::error_code ignored;
                              self->stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
                          });
    }

    beast::tcp_stream stream_;
    beast::flat_buffer buffer_;
    http::request<http::empty_body> request_;
    http::response<http::string_body> response_;
    std::function<std::string()> render_;
};

bool Server::Start(std::string& error) {
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(options_.listen, ec);
    if (ec) {
        error = "--listen \"" + options_.listen + "\" is not an IP address";
        return false;
    }
    const tcp::endpoint endpoint(address, options_.port);
    acceptor_.open(endpoint.protocol(), ec);
    if (!ec) acceptor_.set_option(asio::socket_base::reuse_address(true), ec);
    if (!ec) acceptor_.bind(endpoint, ec);
    if (!ec) acceptor_.listen(asio::socket_base::max_listen_connections, ec);
    if (ec) {
        error = "cannot listen on " + options_.listen + " port " + std::to_string(options_.port) +
                ": " + ec.message();
        return false;
    }
    std::string metricsUrl;
    if (options_.metricsPort >= 0) {
        const tcp::endpoint metrics(asio::ip::address_v4::loopback(),
                                    static_cast<std::uint16_t>(options_.metricsPort));
        metricsAcceptor_.open(metrics.protocol(), ec);
        if (!ec) metricsAcceptor_.set_option(asio::socket_base::reuse_address(true), ec);
        if (!ec) metricsAcceptor_.bind(metrics, ec);
        if (!ec) metricsAcceptor_.listen(asio::socket_base::max_listen_connections, ec);
        // Metrics are for the operator; a port someone else holds must not stop the service.
        if (ec) {
            std::cerr << Timestamp() << " warning: cannot serve metrics on 127.0.0.1 port "
                      << options_.metricsPort << ": " << ec.message() << "; serving without them\n";
            metricsAcceptor_.close(ec);
        } else {
            metricsUrl =
                "http://127.0.0.1:" + std::to_string(metricsAcceptor_.local_endpoint().port()) +
                "/metrics";
            AcceptMetrics();
        }
    }
    if (!options_.redisUrl.empty()) {
        RedisTarget target = ParseRedisUrl(options_.redisUrl);
        target.caFile = options_.redisCaFile;
        target.certFile = options_.redisCertFile;
        target.keyFile = options_.redisKeyFile;
        target.password = options_.redisPassword;
        cluster_ = std::make_unique<Cluster>(ioc_, std::move(target), *this,
                                             options_.maxBinaryBytes, options_.pairedBufferBytes,
                                             options_.routing, options_.clusterSecret);
        cluster_->Start();
    }
    const auto bound = acceptor_.local_endpoint();
    const std::string host = bound.address().is_v6() ? "[" + bound.address().to_string() + "]"
                                                     : bound.address().to_string();
    const std::string url =
        std::string(tls_ ? "wss://" : "ws://") + host + ":" + std::to_string(bound.port()) + "/ws";
    nlohmann::json line = {{"event", "listening"}, {"url", url}};
    if (!metricsUrl.empty()) line["metrics"] = metricsUrl;
    if (cluster_) line["node"] = cluster_->node();
    std::cout << line.dump() << std::endl;
    std::cerr << Timestamp() << " relay listening on " << url
              << (metricsUrl.empty() ? "" : ", metrics on " + metricsUrl)
              << (cluster_ ? ", cluster node " + cluster_->node() : "") << '\n';

    signals_.async_wait([this](boost::system::error_code ec, int) {
        if (!ec) Stop();
    });
    AwaitReload();
    Accept();
    Tick();
    return true;
}

// SIGHUP: the certificate and key are read again for new connections; open ones keep theirs.
void Server::AwaitReload() {
    reload_.async_wait([this](boost::system::error_code ec, int) {
        if (ec || stopping_) return;
        if (tls_ == nullptr) {
            std::cerr << Timestamp() << " SIGHUP: no certificate to reload (plain ws://)\n";
        } else {
            std::string error;
            if (auto fresh = LoadTls(options_, error)) {
                // An SSL object keeps its context alive (OpenSSL counts references), so the
                // old one may go while connections made with it stay open.
                tls_ = std::move(fresh);
                std::cerr << Timestamp() << " SIGHUP: certificate reloaded from "
                          << options_.certFile << '\n';
            } else {
                std::cerr << Timestamp() << " SIGHUP: " << error
                          << "; keeping the certificate in use\n";
            }
        }
        AwaitReload();
    });
}

void Server::Accept() {
    acceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        OnAccept(ec, std::move(socket));
    });
}

void Server::OnAccept(boost::system::error_code ec, tcp::socket socket) {
    if (stopping_) return;
    if (ec) {
        // Out of descriptors or a transient network error: wait a moment rather than spin.
        std::cerr << Timestamp() << " accept failed: " << ec.message() << '\n';
        retry_.expires_after(std::chrono::milliseconds(100));
        retry_.async_wait([this](boost::system::error_code e) {
            if (!e && !stopping_) Accept();
        });
        return;
    }
    boost::system::error_code peerError;
    const auto peer = socket.remote_endpoint(peerError);
    if (peerError) return Accept();
    if (InCidrs(options_.proxyProtocolFrom, peer.address()))
        ReadProxyHeader(std::make_shared<ProxyWait>(std::move(socket), ioc_, peer.address()));
    else
        Admit(std::move(socket), peer.address());
    Accept();
}

void Server::RefuseAtAccept(tcp::socket& socket, const char* reason) {
    // Closed before any TLS or HTTP work, with a reset so no TIME_WAIT is left behind; it
    // never becomes a session, so the routing rules never see it.
    router_.CountRefusal(reason);
    ++refusedAtAccept_[reason];
    boost::system::error_code ignored;
    socket.set_option(asio::socket_base::linger(true, 0), ignored);
    socket.close(ignored);
}

// A balancer's connection names its client first; until it has, it counts against the total
// and has the handshake's time, and nothing past the header is read.
void Server::ReadProxyHeader(std::shared_ptr<ProxyWait> wait) {
    if (sessions_.size() + proxyWaiting_ >= options_.maxConnections)
        return RefuseAtAccept(wait->socket, "too_many_connections");
    ++proxyWaiting_;
    wait->timer.expires_after(options_.handshakeTimeout);
    wait->timer.async_wait([wait](boost::system::error_code ec) {
        if (ec) return;
        wait->late = true;
        boost::system::error_code ignored;
        wait->socket.cancel(ignored);
    });
    ReadProxyPart(std::move(wait));
}

void Server::ReadProxyPart(std::shared_ptr<ProxyWait> wait) {
    const std::size_t wanted = wait->reader.Wanted();
    asio::async_read(wait->socket, asio::buffer(wait->buffer.data(), wanted),
                     [this, wait](boost::system::error_code ec, std::size_t n) {
                         if (!ec) wait->reader.Take(wait->buffer.data(), n);
                         if (!ec && !wait->reader.done() && !wait->reader.failed() && !stopping_)
                             return ReadProxyPart(wait);
                         --proxyWaiting_;
                         wait->timer.cancel();
                         if (stopping_) return;
                         if (!wait->reader.done())
                             return RefuseAtAccept(wait->socket, wait->late ? "slow_proxy_header"
                                                                 : ec       ? "no_proxy_header"
                                                                            : "bad_proxy_header");
                         Admit(std::move(wait->socket),
                               wait->reader.client().value_or(wait->balancer));
                     });
}

void Server::Admit(tcp::socket socket, const asio::ip::address& address) {
    boost::system::error_code peerError;
    const std::string key = AddressKey(address);
    if (const char* reason = AcceptLimit(key)) return RefuseAtAccept(socket, reason);
    socket.set_option(tcp::no_delay(true),
                      peerError);  // frames are latency-bound, not small writes
    // A write completes when its data is nearly on the wire rather than parked in a kernel buffer
    // that can grow to megabytes: the output queue then tells how far behind a slow reader is.
    socket.set_option(
        asio::detail::socket_option::integer<IPPROTO_TCP, TCP_NOTSENT_LOWAT>(kUnsentBytes),
        peerError);
    // The same on the way in: while the relay holds a sender's reading, only this much more of
    // its output waits in the kernel; the rest stays with the sender, who replaces it. Fixed,
    // because autotuning grows the buffer each time a held sender's backlog is read at once.
    socket.set_option(asio::socket_base::receive_buffer_size(options_.receiveBufferBytes),
                      peerError);
    const ConnId id = nextId_++;
    std::shared_ptr<Session> session;
    try {
        if (tls_ != nullptr)
            session = MakeTlsSession(*this, id, key, std::move(socket), *tls_);
        else
            session = MakePlainSession(*this, id, key, std::move(socket));
    } catch (const std::bad_alloc&) {
        router_.CountRefusal("out_of_memory");
        return;
    }
    ++traffic_.acceptedConnections;
    clients_[id] = {address.to_string(), key, false};
    sessions_[id] = session;
    ++perAddress_[key];
    ++handshaking_[key];
    traffic_.openConnections = sessions_.size();
    session->Start();
}

// Why a new connection from `key` is refused, or null when it may start.
const char* Server::AcceptLimit(const std::string& key) const {
    auto count = [](const std::map<std::string, std::size_t>& counts,
                    const std::string& k) -> std::size_t {
        auto it = counts.find(k);
        return it == counts.end() ? 0 : it->second;
    };
    if (sessions_.size() + proxyWaiting_ >= options_.maxConnections) return "too_many_connections";
    if (count(perAddress_, key) >= options_.maxConnectionsPerAddress)
        return "too_many_from_address";
    if (count(handshaking_, key) >= options_.maxHandshakesPerAddress) return "too_many_handshakes";
    if (!budget_->Fits(std::max(options_.maxTextBytes, std::size_t{65536}))) return "memory_budget";
    return nullptr;
}

// One client's excess costs that client. Those that may be ended for the asker hold more room
// for payload that is not coming (a header announcing megabytes, then a trickle) or more in
// all than the asker would; of them the one holding the most goes, that room counted twice. A
// slow uplink still filling its frame is not ended for a larger sender's next piece, and goes
// after whole frames queued for partners that do not read them.
bool Server::Reclaim(Session& asker, std::size_t want) {
    static constexpr std::size_t kUnearned = 64 * 1024;
    const std::size_t askerUnfilled = asker.unfilledBytes(),
                      askerHolds = asker.chargedBytes() + want;
    const auto now = Clock::now();
    // Many refused connections retry together: a look that found nobody is not taken again for a
    // few milliseconds by an asker that can end no more than that one could.
    if (now - reclaimScanned_ < std::chrono::milliseconds(5) &&
        askerUnfilled >= reclaimFailed_.first && askerHolds >= reclaimFailed_.second)
        return false;
    std::shared_ptr<Session> victim;
    std::size_t most = 0;
    for (const auto& [id, weak] : sessions_) {
        auto session = weak.lock();
        if (!session || session.get() == &asker) continue;
        const std::size_t unfilled = session->unfilledBytes(), charged = session->chargedBytes();
        const bool mayEnd =
            (unfilled >= kUnearned && unfilled > askerUnfilled) || charged > askerHolds;
        if (mayEnd && charged + unfilled > most) {
            most = charged + unfilled;
            victim = std::move(session);
        }
    }
    if (!victim) {
        reclaimScanned_ = now;
        reclaimFailed_ = {askerUnfilled, askerHolds};
        return false;
    }
    victim->DropForMemory();
    return true;
}

// After a flood the heap keeps the pages its messages had: once much of what the budget held has
// gone, they go back to the system (at most once a second).
void Server::GiveMemoryBack(Clock::time_point now) {
    static constexpr std::size_t kWorthTrimming = 16u << 20;
    heldPeak_ = std::max(heldPeak_, budget_->used);
    if (heldPeak_ - budget_->used < kWorthTrimming || now - trimmed_ < std::chrono::seconds(1))
        return;
    malloc_trim(0);
    trimmed_ = now;
    heldPeak_ = budget_->used;
}

void Server::AcceptMetrics() {
    metricsAcceptor_.async_accept([this](boost::system::error_code ec, tcp::socket socket) {
        if (ec) return;
        std::make_shared<MetricsConnection>(std::move(socket), [this] {
            traffic_.bufferedBytes = budget_->used;
            return FormatMetrics(router_.counters(), traffic_) +
                   (cluster_ ? cluster_->Metrics() : std::string());
        })->Start();
        AcceptMetrics();
    });
}

void Server::Tick() {
    const auto now = Clock::now();
    GiveMemoryBack(now);
    Apply(router_.OnTick(now));
    if (now < sweepLostUntil_) ForgetLostSessions();
    if (now - keptAlive_ >= std::min<Clock::duration>(kKeepAlivePeriod, options_.idleTimeout / 10))
        KeepAlive(now);
    // Refusals at accept come in floods: one summary line at most every ten seconds.
    if (!refusedAtAccept_.empty() && now - refusalsLogged_ >= std::chrono::seconds(10)) {
        std::string line;
        for (const auto& [reason, count] : refusedAtAccept_)
            line += " " + reason + "=" + std::to_string(count);
        std::cerr << Timestamp() << " refused at accept:" << line << '\n';
        refusedAtAccept_.clear();
        refusalsLogged_ = now;
    }
    tick_.expires_after(kTickPeriod);
    tick_.async_wait([this](boost::system::error_code ec) {
        if (!ec && !stopping_) Tick();
    });
}

void Server::OnOpened(Session& session) {
    Log(session.id(), "open");
    auto client = clients_.find(session.id());
    if (client != clients_.end() && !client->second.upgraded) {
        client->second.upgraded = true;
        auto handshakes = handshaking_.find(client->second.key);
        if (handshakes != handshaking_.end() && --handshakes->second == 0)
            handshaking_.erase(handshakes);
    }
    router_.OnOpen(session.id(), session.address(), Clock::now());
}

void Server::OnText(Session& session, std::string_view text) {
    if (cluster_ && cluster_->OnText(session.id(), session.address(), text)) return;
    Apply(router_.OnText(session.id(), text, Clock::now()));
    if (const ConnId peer = router_.PairedPeer(session.id())) {
        session.AllowBinary();
        if (auto other = Find(peer)) other->AllowBinary();
    }
}

void Server::OnBinary(Session& session, std::shared_ptr<const std::string> data) {
    std::vector<Action> actions;
    const ConnId peer = router_.OnBinary(session.id(), actions);
    Apply(actions);
    if (peer == 0) return;
    if (cluster_ && Cluster::IsRemote(peer))
        return cluster_->Forward(session.id(), peer, std::move(data));
    if (auto target = Find(peer)) {
        traffic_.bytesForwarded += data->size();
        ++traffic_.messagesForwarded;
        target->Send(std::move(data), false);
        // Push back instead of buffering: the sender's own queue then replaces its unsent
        // frame, and the partner keeps getting the newest picture its link carries.
        if (target->queuedBytes() > options_.pairedBufferBytes) {
            session.HoldReading();
            target->ResumeWhenDrained(session.shared_from_this(), options_.pairedBufferBytes);
        }
    }
}

void Server::OnFinished(Session& session, const std::string& how) {
    Log(session.id(), how);
    if (session.open()) Apply(router_.OnClose(session.id()));
    if (cluster_) cluster_->OnClosed(session.id());
    Forget(session.id());
}

void Server::Forget(ConnId id) {
    sessions_.erase(id);
    heldForCluster_.erase(id);
    auto client = clients_.find(id);
    if (client != clients_.end()) {
        const Client& c = client->second;
        auto count = perAddress_.find(c.key);
        if (count != perAddress_.end() && --count->second == 0) perAddress_.erase(count);
        if (!c.upgraded) {
            auto handshakes = handshaking_.find(c.key);
            if (handshakes != handshaking_.end() && --handshakes->second == 0)
                handshaking_.erase(handshakes);
        }
        clients_.erase(client);
    }
    traffic_.openConnections = sessions_.size();
    if (stopping_ && sessions_.empty()) ioc_.stop();
}

void Server::OnAllocationFailure() {
    std::cerr
        << Timestamp()
        << " out of memory in a connection's handler; that connection is lost, the relay goes on\n";
    router_.CountRefusal("out_of_memory");
    // Its session goes once nothing holds it any more; until then the ticks look for it.
    sweepLostUntil_ = Clock::now() + std::chrono::seconds(30);
}

// As a WebSocket server does: a client that sent nothing for a while is pinged, and one that
// does not even answer is taken for gone.
void Server::KeepAlive(Clock::time_point now) {
    keptAlive_ = now;
    for (const auto& [id, weak] : sessions_) {
        const auto session = weak.lock();
        if (session && session->KeepAlive(now, options_.idleTimeout))
            Log(id, "silent for " + std::to_string(options_.idleTimeout.count()) + " s");
    }
}

// A session whose handler threw is gone without saying so: its peer is told and its counts freed.
void Server::ForgetLostSessions() {
    std::vector<ConnId> lost;
    for (const auto& [id, weak] : sessions_)
        if (weak.expired()) lost.push_back(id);
    for (ConnId id : lost) {
        Log(id, "lost after an allocation failure");
        Apply(router_.OnClose(id));
        if (cluster_) cluster_->OnClosed(id);
        Forget(id);
    }
}

void Server::Apply(const std::vector<Action>& actions) {
    for (const Action& action : actions) {
        auto target = Find(action.to);
        if (!target) {
            if (cluster_ && Cluster::IsRemote(action.to)) cluster_->OnRemoteAction(action);
            continue;
        }
        if (action.kind == Action::SendText)
            target->Send(std::make_shared<const std::string>(action.text), true);
        else
            target->Close(action.closeCode);
    }
}

void Server::Stop() {
    stopping_ = true;
    std::cerr << Timestamp() << " shutting down: closing " << sessions_.size()
              << " connections with 1001\n";
    boost::system::error_code ignored;
    acceptor_.close(ignored);
    metricsAcceptor_.close(ignored);
    reload_.cancel(ignored);
    tick_.cancel();
    retry_.cancel();
    if (cluster_) cluster_->Stop();
    if (sessions_.empty()) return ioc_.stop();
    const auto open = sessions_;  // closing may finish sessions and change the map
    for (const auto& [id, weak] : open)
        if (auto session = weak.lock()) session->Close(1001);
    deadline_.expires_after(kShutdownGrace);
    deadline_.async_wait([this](boost::system::error_code ec) {
        if (!ec) ioc_.stop();
    });
}

void RaiseDescriptorLimit() {
    rlimit limit{};
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur < limit.rlim_max) {
        limit.rlim_cur = limit.rlim_max;
        setrlimit(RLIMIT_NOFILE, &limit);
    }
}

}  // namespace

int RunRelay(const Options& options) {
    std::string error;
    if (!CheckListenPolicy(options, error)) {
        std::cerr << "kestrelink-relay: " << error << '\n';
        return 2;
    }
    RaiseDescriptorLimit();
    // Storage above the message pool's largest is mapped for itself, so that it goes back to the
    // system when freed rather than staying in the heap.
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(MessagePool::kLargest + 64 * 1024));
    std::unique_ptr<ssl::context> tls;
    if (!options.certFile.empty() && !(tls = LoadTls(options, error))) {
        std::cerr << "kestrelink-relay: " << error << '\n';
        return 2;
    }
    asio::io_context ioc(1);
    Server server(ioc, options, std::move(tls));
    if (!server.Start(error)) {
        std::cerr << "kestrelink-relay: " << error << '\n';
        return 2;
    }
    for (;;) {
        try {
            ioc.run();
            break;
        } catch (const std::bad_alloc&) {
            server.OnAllocationFailure();
        }
    }
    std::cerr << Timestamp() << " relay stopped\n";
    return 0;
}

}  // namespace kl::relay
