// A TCP proxy on loopback that behaves like a slow link: each direction of each connection
// passes through a token bucket at a fixed rate and a small queue, and the proxy stops
// reading from a side while that queue is full, so the sender feels the link as a real one.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <list>
#include <string>
#include <vector>

namespace {

const char kUsage[] = R"(Usage: throttle_proxy --target PORT [options]
Accepts TCP connections on 127.0.0.1 and forwards each to 127.0.0.1:PORT through a link
of limited rate. "up" is client to target, "down" is target to client.
  --port N            port to listen on, 0 picks a free one (default 0)
  --up-kbit N         client-to-target rate in kbit/s, 0 = unlimited (default 0)
  --down-kbit N       target-to-client rate in kbit/s, 0 = unlimited (default 0)
  --queue-bytes N     bytes the link holds in each direction (default 65536)
  --socket-bytes N    kernel receive/send buffer of the proxy's sockets (default 16384),
                      small so that data waits in the link's queue, not in the kernel
  --help              this text
Prints {"event":"listening","port":N} when ready; SIGTERM or SIGINT ends it with 0.
)";

using Clock = std::chrono::steady_clock;

volatile sig_atomic_t stopping = 0;

struct Direction {
    int from = -1, to = -1;
    double rate = 0;  // bytes per second, 0 = unlimited
    double tokens = 0, burst = 0;
    Clock::time_point refilled = Clock::now();
    std::string queue;
    std::size_t head = 0;
    bool eof = false, shut = false;

    std::size_t queued() const { return queue.size() - head; }
    void Refill(Clock::time_point now) {
        if (rate <= 0) return;
        tokens =
            std::min(burst, tokens + rate * std::chrono::duration<double>(now - refilled).count());
        refilled = now;
    }
    std::size_t allowance() const {
        return rate <= 0 ? queued() : std::min(queued(), static_cast<std::size_t>(tokens));
    }
};

struct Pair {
    int client = -1, target = -1;
    Direction up, down;
    bool failed = false;
};

long ParseNumber(const std::string& name, const char* value, long min, long max) {
    char* end = nullptr;
    errno = 0;
    const long v = std::strtol(value, &end, 10);
    if (errno != 0 || end == value || *end != '\0' || v < min || v > max) {
        std::cerr << "throttle_proxy: " << name << " needs a number from " << min << " to " << max
                  << '\n';
        std::exit(1);
    }
    return v;
}

void SetBuffers(int fd, int bytes) {
    setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &bytes, sizeof bytes);
    setsockopt(fd, SOL_SOCKET, SO_SNDBUF, &bytes, sizeof bytes);
}

void SetNonBlocking(int fd) {
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

sockaddr_in Loopback(int port) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

// Reads what the queue has room for; false when the connection failed.
bool Fill(Direction& d, std::size_t limit) {
    if (d.head > 0 && d.head >= d.queue.size() / 2) {
        d.queue.erase(0, d.head);
        d.head = 0;
    }
    const std::size_t room = limit - std::min(limit, d.queued());
    if (room == 0 || d.eof) return true;
    const std::size_t old = d.queue.size();
    d.queue.resize(old + room);
    const ssize_t n = recv(d.from, d.queue.data() + old, room, 0);
    d.queue.resize(old + static_cast<std::size_t>(std::max<ssize_t>(n, 0)));
    if (n == 0) d.eof = true;
    return n >= 0 || errno == EAGAIN || errno == EINTR;
}

bool Drain(Direction& d) {
    const std::size_t n = d.allowance();
    if (n > 0) {
        const ssize_t sent = send(d.to, d.queue.data() + d.head, n, MSG_NOSIGNAL);
        if (sent < 0) return errno == EAGAIN || errno == EINTR;
        d.head += static_cast<std::size_t>(sent);
        if (d.rate > 0) d.tokens -= static_cast<double>(sent);
    }
    if (d.eof && d.queued() == 0 && !d.shut) {
        shutdown(d.to, SHUT_WR);
        d.shut = true;
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0, target = -1, socketBytes = 16384;
    long upKbit = 0, downKbit = 0;
    std::size_t queueBytes = 65536;
    for (int i = 1; i < argc; ++i) {
        const std::string name = argv[i];
        if (name == "--help" || name == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (i + 1 >= argc) {
            std::cerr << "throttle_proxy: " << name << " needs a value (see --help)\n";
            return 1;
        }
        const char* value = argv[++i];
        if (name == "--port")
            port = static_cast<int>(ParseNumber(name, value, 0, 65535));
        else if (name == "--target")
            target = static_cast<int>(ParseNumber(name, value, 1, 65535));
        else if (name == "--up-kbit")
            upKbit = ParseNumber(name, value, 0, 100000000);
        else if (name == "--down-kbit")
            downKbit = ParseNumber(name, value, 0, 100000000);
        else if (name == "--queue-bytes")
            queueBytes = static_cast<std::size_t>(ParseNumber(name, value, 1024, 1L << 30));
        else if (name == "--socket-bytes")
            socketBytes = static_cast<int>(ParseNumber(name, value, 4096, 1 << 26));
        else {
            std::cerr << "throttle_proxy: unknown option " << name << " (see --help)\n";
            return 1;
        }
    }
    if (target < 0) {
        std::cerr << "throttle_proxy: --target PORT is needed (see --help)\n";
        return 1;
    }
    struct sigaction action {};
    action.sa_handler = [](int) { stopping = 1; };
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGINT, &action, nullptr);
    signal(SIGPIPE, SIG_IGN);

    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    SetBuffers(listener, socketBytes);  // accepted sockets inherit it, window scale included
    sockaddr_in addr = Loopback(port);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 64) != 0) {
        std::cerr << "throttle_proxy: cannot listen on 127.0.0.1 port " << port << ": "
                  << std::strerror(errno) << '\n';
        return 1;
    }
    socklen_t len = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len);
    SetNonBlocking(listener);
    std::cout << "{\"event\":\"listening\",\"port\":" << ntohs(addr.sin_port) << "}" << std::endl;

    const auto bytesPerSecond = [](long kbit) { return static_cast<double>(kbit) * 1000.0 / 8.0; };
    std::list<Pair> pairs;
    while (!stopping) {
        const auto now = Clock::now();
        std::vector<pollfd> fds{{listener, POLLIN, 0}};
        std::vector<Direction*> owners{nullptr};
        int timeoutMs = 1000;
        for (Pair& p : pairs) {
            for (Direction* d : {&p.up, &p.down}) {
                d->Refill(now);
                if (!d->eof && d->queued() < queueBytes) {
                    fds.push_back({d->from, POLLIN, 0});
                    owners.push_back(d);
                }
                if (d->queued() > 0) {
                    if (d->allowance() > 0) {
                        fds.push_back({d->to, POLLOUT, 0});
                        owners.push_back(d);
                    } else {
                        // Wait for enough tokens for a useful write, not one byte at a time.
                        const double want =
                            std::min<double>(static_cast<double>(d->queued()), 1460.0) - d->tokens;
                        timeoutMs = std::min(
                            timeoutMs, std::max(1, static_cast<int>(want / d->rate * 1000.0 + 1)));
                    }
                }
            }
        }
        if (poll(fds.data(), fds.size(), timeoutMs) < 0 && errno != EINTR) break;
        if (fds[0].revents & POLLIN) {
            const int client = accept(listener, nullptr, nullptr);
            if (client >= 0) {
                const int server = socket(AF_INET, SOCK_STREAM, 0);
                SetBuffers(server, socketBytes);
                sockaddr_in to = Loopback(target);
                if (connect(server, reinterpret_cast<sockaddr*>(&to), sizeof to) != 0) {
                    close(client);
                    close(server);
                } else {
                    SetNonBlocking(client);
                    SetNonBlocking(server);
                    Pair& p = pairs.emplace_back();
                    p.client = client;
                    p.target = server;
                    p.up.from = p.down.to = client;
                    p.up.to = p.down.from = server;
                    p.up.rate = bytesPerSecond(upKbit);
                    p.down.rate = bytesPerSecond(downKbit);
                    for (Direction* d : {&p.up, &p.down})
                        d->burst = std::max(16384.0, d->rate / 50);
                }
            }
        }
        for (std::size_t i = 1; i < fds.size(); ++i) {
            Direction& d = *owners[i];
            if (fds[i].revents == 0) continue;
            const bool ok = fds[i].fd == d.from && (fds[i].revents & (POLLIN | POLLHUP | POLLERR))
                                ? Fill(d, queueBytes)
                                : Drain(d);
            if (!ok) {
                for (Pair& p : pairs)
                    if (&p.up == &d || &p.down == &d) p.failed = true;
            }
        }
        for (Pair& p : pairs) {
            p.up.Refill(Clock::now());
            p.down.Refill(Clock::now());
            if (!p.failed && !Drain(p.up)) p.failed = true;
            if (!p.failed && !Drain(p.down)) p.failed = true;
        }
        for (auto it = pairs.begin(); it != pairs.end();) {
            if (it->failed || (it->up.shut && it->down.shut)) {
                close(it->client);
                close(it->target);
                it = pairs.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (Pair& p : pairs) {
        close(p.client);
        close(p.target);
    }
    return 0;
}
