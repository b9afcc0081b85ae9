// The transport between two relays alone, for choosing it by measurement: the binary traffic
// of cross-relay pairs through Redis pub/sub (the relay's own hiredis connection, command
// formatting and message header) or over a direct TCP link between the relays (optionally
// TLS), with the same message sizes and rate. Two threads with an io_context each stand for
// the sending and the receiving relay. Prints one JSON line: bytes delivered, CPU seconds of
// this process (and of Redis when --redis-pid is given), latency percentiles.
//   cluster_link_bench redis URL [--ca FILE] [--redis-pid PID] [common]
//   cluster_link_bench direct [--cert FILE --key FILE [--ca FILE]] [common]
//   common: --streams N (8) --bytes N (300000) --rate PER_S (12.5) --seconds S (10)
#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <boost/asio/connect.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/ssl.hpp>
#include <boost/asio/steady_timer.hpp>
#include <boost/asio/write.hpp>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <fstream>
#include <functional>
#include <iostream>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "relay/cluster/cluster_wire.hpp"
#include "relay/cluster/redis_client.hpp"

namespace asio = boost::asio;
namespace ssl = asio::ssl;
using tcp = asio::ip::tcp;
using Clock = std::chrono::steady_clock;
using namespace kl::relay;

namespace {

struct Settings {
    std::string mode, url, subUrl, ca, cert, key;
    long redisPid = 0;
    int streams = 8;
    std::size_t bytes = 300000;
    double rate = 12.5;
    double seconds = 10;
};

double CpuSeconds() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec + u.ru_stime.tv_sec + (u.ru_utime.tv_usec + u.ru_stime.tv_usec) / 1e6;
}

double ProcessCpu(long pid) {
    if (pid <= 0) return 0;
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string line;
    std::getline(in, line);
    const auto close = line.rfind(')');
    std::vector<std::string> fields;
    std::string f;
    for (std::size_t i = close + 2; i <= line.size(); ++i) {
        if (i == line.size() || line[i] == ' ') {
            fields.push_back(f);
            f.clear();
        } else {
            f += line[i];
        }
    }
    // utime and stime are the 14th and 15th fields; the list starts at the 3rd.
    return (std::stod(fields.at(11)) + std::stod(fields.at(12))) / sysconf(_SC_CLK_TCK);
}

std::int64_t NowUs() {
    return std::chrono::duration_cast<std::chrono::microseconds>(Clock::now().time_since_epoch())
        .count();
}

// What the receiving relay does with each message: check it, then copy the payload out for
// the client's queue; the send time is in the payload's first bytes.
struct Receiver {
    std::mutex lock;
    std::vector<double> latencyMs;
    std::atomic<std::uint64_t> bytes{0};
    void On(std::string_view data, std::size_t max) {
        auto m = wire::Decode(data, max);
        if (!m || m->payload.size() < 8) return;
        auto copy = std::make_shared<const std::string>(m->payload);
        std::int64_t sent = 0;
        std::memcpy(&sent, copy->data(), 8);
        const double ms = (NowUs() - sent) / 1000.0;
        bytes += copy->size();
        std::lock_guard<std::mutex> guard(lock);
        latencyMs.push_back(ms);
    }
};

// The sending relay: every stream sends one message per period, as a host's frames come.
template <typename SendFn>
void Schedule(asio::io_context& ioc, const Settings& s, SendFn send, Clock::time_point end) {
    const auto period =
        std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(1.0 / s.rate));
    for (int i = 0; i < s.streams; ++i) {
        auto timer = std::make_shared<asio::steady_timer>(ioc);
        auto tick = std::make_shared<std::function<void()>>();
        *tick = [timer, tick, send, end, period, i]() mutable {
            if (Clock::now() >= end) {
                *tick = nullptr;
                return;
            }
            send(i);
            timer->expires_at(timer->expiry() + period);
            timer->async_wait([tick](boost::system::error_code ec) {
                if (!ec && *tick) (*tick)();
            });
        };
        timer->expires_after(period * i / s.streams);
        timer->async_wait([tick](boost::system::error_code ec) {
            if (!ec && *tick) (*tick)();
        });
    }
}

std::string Stamped(const std::string& payload) {
    std::string p = payload;
    const std::int64_t now = NowUs();
    std::memcpy(p.data(), &now, 8);
    return p;
}

wire::Message Header(int stream) {
    wire::Message m;
    m.kind = wire::Kind::ToViewer;
    m.from = "0123456789abcdef";
    m.epoch = "fedcba9876543210";  // a message without the sender's epoch is refused
    m.conn = static_cast<std::uint64_t>(stream + 1);
    return m;
}

// Lets the sending side run a second past the end, gives the receiver a second to drain, stops it.
template <typename TimePoint>
bool Finish(asio::io_context& sendIo, asio::io_context& recvIo, std::thread& receiver,
            TimePoint end) {
    sendIo.run_until(end + std::chrono::seconds(1));
    std::this_thread::sleep_for(std::chrono::seconds(1));
    recvIo.stop();
    receiver.join();
    return true;
}

bool RunRedis(const Settings& s, Receiver& r, const std::string& payload) {
    RedisTarget target = ParseRedisUrl(s.url);
    target.caFile = s.ca;
    asio::io_context sendIo, recvIo;
    RedisTarget subTarget = s.subUrl.empty() ? target : ParseRedisUrl(s.subUrl);
    subTarget.caFile = s.ca;
    RedisConnection pub(sendIo, target), sub(recvIo, subTarget);
    std::atomic<bool> failed{false};
    sub.Connect([&] { sub.Subscribe("kl:bench", [&](std::string_view d) { r.On(d, 8u << 20); }); },
                [&](const std::string& why) {
                    std::cerr << "subscriber: " << why << "\n";
                    failed = true;
                });
    auto recvWork = asio::make_work_guard(recvIo);
    std::thread receiver([&] { recvIo.run(); });
    bool up = false, subscribed = false, asking = false;
    pub.Connect([&] { up = true; },
                [&](const std::string& why) {
                    std::cerr << "publisher: " << why << "\n";
                    failed = true;
                });
    // Nothing counts until Redis says the subscriber listens.
    const auto giveUp = Clock::now() + std::chrono::seconds(10);
    while (!failed && !subscribed && Clock::now() < giveUp) {
        if (up && !asking) {
            asking = true;
            pub.Command({"PUBLISH", "kl:bench", ""}, [&](redisReply* reply) {
                asking = false;
                subscribed = reply && reply->type == REDIS_REPLY_INTEGER && reply->integer == 1;
            });
        }
        sendIo.run_one_for(std::chrono::milliseconds(50));
    }
    if (failed || !subscribed) {
        recvIo.stop();
        receiver.join();
        return false;
    }
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(s.seconds));
    Schedule(
        sendIo, s,
        [&](int i) {
            const std::string header = wire::Encode(Header(i));
            pub.Raw(FormatCommand({"PUBLISH", "kl:bench", header}, Stamped(payload)), nullptr);
        },
        end);
    return Finish(sendIo, recvIo, receiver, end);
}

// A direct link: each message as a 4-byte length and the same header and payload.
template <typename Stream>
struct LinkReader {
    Stream& stream;
    Receiver& r;
    std::uint32_t len = 0;
    std::string body;
    void Next() {
        asio::async_read(stream, asio::buffer(&len, 4),
                         [this](boost::system::error_code ec, std::size_t) {
                             if (ec) return;
                             body.resize(len);
                             asio::async_read(stream, asio::buffer(body),
                                              [this](boost::system::error_code ec, std::size_t) {
                                                  if (ec) return;
                                                  r.On(body, 8u << 20);
                                                  Next();
                                              });
                         });
    }
};

template <typename Stream>
struct LinkWriter {
    Stream& stream;
    struct Item {
        std::uint32_t len;
        std::string header, payload;
    };
    std::deque<Item> queue;
    bool writing = false;
    void Send(std::string header, std::string payload) {
        const auto len = static_cast<std::uint32_t>(header.size() + payload.size());
        queue.push_back({len, std::move(header), std::move(payload)});
        if (!writing) Write();
    }
    void Write() {
        if (queue.empty()) {
            writing = false;
            return;
        }
        writing = true;
        Item& item = queue.front();
        std::array<asio::const_buffer, 3> buffers = {
            asio::buffer(&item.len, 4), asio::buffer(item.header), asio::buffer(item.payload)};
        asio::async_write(stream, buffers, [this](boost::system::error_code ec, std::size_t) {
            if (ec) return;
            queue.pop_front();
            Write();
        });
    }
};

bool RunDirect(const Settings& s, Receiver& r, const std::string& payload) {
    asio::io_context sendIo, recvIo;
    tcp::acceptor acceptor(recvIo, {asio::ip::address_v4::loopback(), 0});
    const bool tls = !s.cert.empty();
    ssl::context serverCtx(ssl::context::tls_server), clientCtx(ssl::context::tls_client);
    if (tls) {
        serverCtx.use_certificate_chain_file(s.cert);
        serverCtx.use_private_key_file(s.key, ssl::context::pem);
        clientCtx.load_verify_file(s.ca.empty() ? s.cert : s.ca);
        clientCtx.set_verify_mode(ssl::verify_peer);
    }
    ssl::stream<tcp::socket> serverTls(recvIo, serverCtx), clientTls(sendIo, clientCtx);
    tcp::socket& in = serverTls.next_layer();
    tcp::socket& out = clientTls.next_layer();
    out.connect(acceptor.local_endpoint());
    acceptor.accept(in);
    in.set_option(tcp::no_delay(true));
    out.set_option(tcp::no_delay(true));
    if (tls) {
        std::thread hs([&] { serverTls.handshake(ssl::stream_base::server); });
        clientTls.handshake(ssl::stream_base::client);
        hs.join();
    }
    LinkReader<tcp::socket> plainReader{in, r, 0, {}};
    LinkReader<ssl::stream<tcp::socket>> tlsReader{serverTls, r, 0, {}};
    LinkWriter<tcp::socket> plainWriter{out, {}};
    LinkWriter<ssl::stream<tcp::socket>> tlsWriter{clientTls, {}};
    if (tls)
        tlsReader.Next();
    else
        plainReader.Next();
    std::thread receiver([&] { recvIo.run(); });
    const auto end = Clock::now() + std::chrono::duration_cast<Clock::duration>(
                                        std::chrono::duration<double>(s.seconds));
    Schedule(
        sendIo, s,
        [&](int i) {
            std::string header = wire::Encode(Header(i));
            if (tls)
                tlsWriter.Send(std::move(header), Stamped(payload));
            else
                plainWriter.Send(std::move(header), Stamped(payload));
        },
        end);
    return Finish(sendIo, recvIo, receiver, end);
}

double Percentile(std::vector<double> v, double p) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(v.size() * p / 100));
    return v[i];
}

}  // namespace

int main(int argc, char** argv) {
    Settings s;
    std::vector<std::string> args(argv + 1, argv + argc);
    auto usage = [] {
        std::cerr << "usage: cluster_link_bench redis URL [--ca FILE] [--redis-pid PID] | direct "
                     "[--cert FILE --key FILE]\n"
                     "       [--streams N] [--bytes N] [--rate PER_S] [--seconds S]\n";
        return 2;
    };
    if (args.empty() || args[0] == "--help") return usage();
    s.mode = args[0];
    std::size_t i = 1;
    if (s.mode == "redis") {
        if (args.size() < 2) return usage();
        s.url = args[1];
        i = 2;
    } else if (s.mode != "direct") {
        return usage();
    }
    try {
        for (; i + 1 < args.size(); i += 2) {
            const std::string& n = args[i];
            const std::string& v = args[i + 1];
            if (n == "--ca")
                s.ca = v;
            else if (n == "--subscriber-url")
                s.subUrl = v;
            else if (n == "--cert")
                s.cert = v;
            else if (n == "--key")
                s.key = v;
            else if (n == "--redis-pid")
                s.redisPid = std::stol(v);
            else if (n == "--streams")
                s.streams = std::stoi(v);
            else if (n == "--bytes")
                s.bytes = std::stoul(v);
            else if (n == "--rate")
                s.rate = std::stod(v);
            else if (n == "--seconds")
                s.seconds = std::stod(v);
            else
                return usage();
        }
        if (i != args.size() || s.streams < 1 || s.bytes < 8 || s.rate <= 0 || s.seconds <= 0)
            return usage();
    } catch (const std::exception&) {
        return usage();
    }
    std::string payload(s.bytes, '\0');
    for (std::size_t k = 0; k < payload.size(); ++k) payload[k] = static_cast<char>(k * 131 + 7);
    Receiver r;
    const double cpu0 = CpuSeconds(), redis0 = ProcessCpu(s.redisPid);
    const bool ok = s.mode == "redis" ? RunRedis(s, r, payload) : RunDirect(s, r, payload);
    const double cpu = CpuSeconds() - cpu0, redisCpu = ProcessCpu(s.redisPid) - redis0;
    if (!ok) return 1;
    const auto expected = static_cast<long>(s.streams * s.rate * s.seconds);
    std::printf(
        "{\"mode\":\"%s\",\"messages\":%zu,\"expected\":%ld,\"bytes\":%llu,\"cpu\":%.3f,"
        "\"redisCpu\":%.3f,\"p50\":%.3f,\"p99\":%.3f}\n",
        s.mode.c_str(), r.latencyMs.size(), expected,
        static_cast<unsigned long long>(r.bytes.load()), cpu, redisCpu, Percentile(r.latencyMs, 50),
        Percentile(r.latencyMs, 99));
    return 0;
}
