#include "relay/cluster/redis_tls.hpp"

#include <openssl/ssl.h>
#include <openssl/x509_vfy.h>

#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/write.hpp>
#include <vector>

#include "relay/cluster/redis_client.hpp"

namespace kl::relay {

namespace {

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using boost::system::error_code;

// A relay's channel carries frames of up to 8 MiB: move them in large pieces.
constexpr std::size_t kChunk = 256 * 1024;
constexpr std::size_t kRecord = 16 * 1024 + 256;

class Bridge final : public RedisTlsBridge, public std::enable_shared_from_this<Bridge> {
  public:
    Bridge(asio::io_context& ioc, const RedisTarget& target, ssl::context ctx, Ready ready)
        : target_(target),
          ctx_(std::move(ctx)),
          resolver_(ioc),
          tls_(ioc, ctx_),
          acceptor_(ioc),
          local_(ioc),
          ready_(std::move(ready)),
          up_(kChunk),
          down_(kChunk) {}

    void Begin() {
        SSL* ssl = tls_.native_handle();
        X509_VERIFY_PARAM* param = SSL_get0_param(ssl);
        error_code ec;
        asio::ip::make_address(target_.host, ec);
        if (!ec) {
            X509_VERIFY_PARAM_set1_ip_asc(param, target_.host.c_str());
        } else {
            X509_VERIFY_PARAM_set_hostflags(param, X509_CHECK_FLAG_NO_PARTIAL_WILDCARDS);
            X509_VERIFY_PARAM_set1_host(param, target_.host.c_str(), 0);
            SSL_set_tlsext_host_name(ssl, target_.host.c_str());
        }
        tls_.set_verify_mode(ssl::verify_peer);
        // The resolver works on a thread of its own: a host name never blocks the relay.
        resolver_.async_resolve(
            target_.host, std::to_string(target_.port),
            [self = shared_from_this()](error_code ec, tcp::resolver::results_type results) {
                if (self->closed_) return;
                if (ec)
                    return self->Fail("cannot resolve " + self->target_.host + ": " + ec.message());
                self->Connect(results);
            });
    }

    void Expect(std::uint16_t localPort) override { expected_ = localPort; }

    void Close() override {
        closed_ = true;
        ready_ = nullptr;
        Shut();
    }

    const std::string& error() const override { return error_; }

  private:
    std::string Where() const { return target_.host + ":" + std::to_string(target_.port); }

    void Connect(const tcp::resolver::results_type& results) {
        asio::async_connect(
            tls_.next_layer(), results,
            [self = shared_from_this()](error_code ec, const tcp::endpoint&) {
                if (self->closed_) return;
                if (ec)
                    return self->Fail("cannot connect to " + self->Where() + ": " + ec.message());
                self->tls_.next_layer().set_option(tcp::no_delay(true), ec);
                self->Handshake();
            });
    }

    void Handshake() {
        tls_.async_handshake(ssl::stream_base::client, [self = shared_from_this()](error_code ec) {
            if (self->closed_) return;
            if (ec) {
                std::string why = "TLS with " + self->Where() + " failed: " + ec.message();
                const long verify = SSL_get_verify_result(self->tls_.native_handle());
                if (verify != X509_V_OK)
                    why += std::string(" (") + X509_verify_cert_error_string(verify) + ")";
                return self->Fail(why);
            }
            self->Probe();
        });
    }

    // With TLS 1.3 a Redis that wants a client certificate refuses only after the client's
    // side of the handshake is done: one round trip first, so a refusal is a failed connect
    // (with backoff) rather than a connection that comes up and drops at once. The answer,
    // PONG or an error such as NOAUTH, stays here.
    void Probe() {
        static constexpr char kPing[] = "PING\r\n";
        asio::async_write(
            tls_, asio::buffer(kPing, sizeof kPing - 1),
            [self = shared_from_this()](error_code ec, std::size_t) {
                if (self->closed_) return;
                if (ec)
                    return self->Fail("TLS with " + self->Where() + " refused: " + ec.message());
                self->ProbeAnswer();
            });
    }

    void ProbeAnswer() {
        tls_.async_read_some(
            asio::buffer(down_.data() + downFill_, down_.size() - downFill_),
            [self = shared_from_this()](error_code ec, std::size_t n) {
                if (self->closed_) return;
                if (ec)
                    return self->Fail("TLS with " + self->Where() + " refused: " + ec.message());
                self->downFill_ += n;
                const std::string_view got(self->down_.data(), self->downFill_);
                if (got.find("\r\n") == std::string_view::npos) {
                    if (self->downFill_ > 4096)
                        return self->Fail(self->Where() + " does not answer as Redis");
                    return self->ProbeAnswer();
                }
                self->downFill_ = 0;
                self->Listen();
            });
    }

    void Listen() {
        error_code ec;
        acceptor_.open(tcp::v4(), ec);
        if (!ec) acceptor_.bind({asio::ip::address_v4::loopback(), 0}, ec);
        if (!ec) acceptor_.listen(1, ec);
        if (ec) return Fail("cannot listen on loopback for hiredis: " + ec.message());
        const std::uint16_t port = acceptor_.local_endpoint(ec).port();
        Accept();
        if (auto ready = std::move(ready_)) {
            ready_ = nullptr;
            ready(port, {});
        }
    }

    // Anyone on this machine may connect to the loopback port; only hiredis's socket gets
    // the Redis session.
    void Accept() {
        acceptor_.async_accept(local_, [self = shared_from_this()](error_code ec) {
            if (self->closed_) return;
            if (ec) return self->Fail("accepting hiredis: " + ec.message());
            const auto peer = self->local_.remote_endpoint(ec);
            if (ec || !peer.address().is_loopback() || peer.port() != self->expected_ ||
                self->expected_ == 0) {
                self->local_.close(ec);
                return self->Accept();
            }
            self->acceptor_.close(ec);
            self->local_.set_option(tcp::no_delay(true), ec);
            self->PumpUp();
            self->PumpDown();
        });
    }

    void PumpUp() {
        local_.async_read_some(asio::buffer(up_), [self = shared_from_this()](error_code ec,
                                                                              std::size_t n) {
            if (self->closed_) return;
            if (ec) {
                // hiredis closed its end: nothing went wrong.
                self->closed_ = true;
                return self->Shut();
            }
            asio::async_write(
                self->tls_, asio::buffer(self->up_.data(), n), [self](error_code ec, std::size_t) {
                    if (self->closed_) return;
                    if (ec) return self->Fail("TLS to " + self->Where() + ": " + ec.message());
                    self->PumpUp();
                });
        });
    }

    // TLS hands over one record (16 KiB) at a time; while more is already waiting on the socket,
    // gather it so hiredis wakes once per large message rather than once per record.
    void PumpDown() {
        tls_.async_read_some(
            asio::buffer(down_.data() + downFill_, down_.size() - downFill_),
            [self = shared_from_this()](error_code ec, std::size_t n) {
                if (self->closed_) return;
                if (ec)
                    return self->Fail("TLS from " + self->Where() + ": " +
                                      (ec == asio::error::eof || ec == ssl::error::stream_truncated
                                           ? std::string("closed by Redis")
                                           : ec.message()));
                self->downFill_ += n;
                error_code ignored;
                if (self->down_.size() - self->downFill_ >= kRecord &&
                    self->tls_.next_layer().available(ignored) > 0)
                    return self->PumpDown();
                asio::async_write(self->local_, asio::buffer(self->down_.data(), self->downFill_),
                                  [self](error_code ec, std::size_t) {
                                      if (self->closed_) return;
                                      if (ec) {
                                          self->closed_ = true;
                                          return self->Shut();
                                      }
                                      self->downFill_ = 0;
                                      self->PumpDown();
                                  });
            });
    }

    void Fail(const std::string& why) {
        if (closed_) return;
        closed_ = true;
        error_ = why;
        Shut();
        if (auto ready = std::move(ready_)) {
            ready_ = nullptr;
            ready(0, why);
        }
    }

    void Shut() {
        error_code ignored;
        resolver_.cancel();
        acceptor_.close(ignored);
        local_.close(ignored);
        tls_.next_layer().close(ignored);
    }

    RedisTarget target_;
    ssl::context ctx_;
    tcp::resolver resolver_;
    ssl::stream<tcp::socket> tls_;
    tcp::acceptor acceptor_;
    tcp::socket local_;
    Ready ready_;
    std::vector<char> up_, down_;
    std::size_t downFill_ = 0;
    std::uint16_t expected_ = 0;
    bool closed_ = false;
    std::string error_;
};

}  // namespace

std::shared_ptr<RedisTlsBridge> RedisTlsBridge::Open(asio::io_context& ioc,
                                                     const RedisTarget& target, Ready ready) {
    // Read again on every connection, so a renewed CA or client certificate needs no restart.
    ssl::context ctx(ssl::context::tls_client);
    ctx.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                    ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    error_code ec;
    std::string failed;
    if (target.caFile.empty()) {
        ctx.set_default_verify_paths(ec);
        if (ec) failed = "cannot load the system's trusted CAs: " + ec.message();
    } else {
        ctx.load_verify_file(target.caFile, ec);
        if (ec) failed = "cannot read --redis-ca " + target.caFile + ": " + ec.message();
    }
    if (failed.empty() && !target.certFile.empty()) {
        ctx.use_certificate_chain_file(target.certFile, ec);
        if (ec) failed = "cannot read --redis-cert " + target.certFile + ": " + ec.message();
        if (!ec) ctx.use_private_key_file(target.keyFile, ssl::context::pem, ec);
        if (ec && failed.empty())
            failed = "cannot read --redis-key " + target.keyFile + ": " + ec.message();
    }
    if (!failed.empty()) {
        asio::post(ioc, [ready = std::move(ready), failed] { ready(0, failed); });
        return nullptr;
    }
    auto bridge = std::make_shared<Bridge>(ioc, target, std::move(ctx), std::move(ready));
    bridge->Begin();
    return bridge;
}

}  // namespace kl::relay
