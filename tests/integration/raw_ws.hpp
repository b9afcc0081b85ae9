#pragma once
// A WebSocket client on a bare socket, for abuse the real peer never commits: any source
// address on 127/8, a trickled or missing upgrade, frames of any kind and size, and a
// sender that keeps sending while the relay closes.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <optional>
#include <string>

namespace kltest {

class RawWs {
  public:
    // Connects to 127.0.0.1:`port` from `source` (any 127/8 address), with a receive buffer of
    // `receiveBuffer` bytes when not 0 (a small window from the start); check connected().
    explicit RawWs(int port, const char* source = "127.0.0.1", int receiveBuffer = 0) {
        fd_ = socket(AF_INET, SOCK_STREAM, 0);
        if (receiveBuffer > 0)
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        sockaddr_in from{};
        from.sin_family = AF_INET;
        inet_pton(AF_INET, source, &from.sin_addr);
        sockaddr_in to{};
        to.sin_family = AF_INET;
        to.sin_port = htons(static_cast<uint16_t>(port));
        to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        connected_ = bind(fd_, reinterpret_cast<sockaddr*>(&from), sizeof from) == 0 &&
                     connect(fd_, reinterpret_cast<sockaddr*>(&to), sizeof to) == 0;
    }
    ~RawWs() { close(fd_); }
    RawWs(const RawWs&) = delete;
    RawWs& operator=(const RawWs&) = delete;

    bool connected() const { return connected_; }
    static std::string UpgradeRequest() {
        return "GET /ws HTTP/1.1\r\nHost: 127.0.0.1\r\nUpgrade: websocket\r\nConnection: "
               "Upgrade\r\n"
               "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nSec-WebSocket-Version: 13\r\n\r\n";
    }
    // Sends the upgrade and waits for 101.
    bool Upgrade() { return SendAll(UpgradeRequest()) && Upgraded(); }
    // Waits for the answer to an upgrade sent before: true for 101.
    bool Upgraded() {
        std::string head;
        char c;
        while (head.find("\r\n\r\n") == std::string::npos) {
            if (!Wait(POLLIN, 5000) || read(fd_, &c, 1) != 1) return false;
            head += c;
        }
        return head.rfind("HTTP/1.1 101", 0) == 0;
    }
    bool SendAll(const std::string& bytes) {
        std::size_t sent = 0;
        while (sent < bytes.size()) {
            if (!Wait(POLLOUT, 5000)) return false;
            const ssize_t n = send(fd_, bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
            if (n <= 0) return false;
            sent += static_cast<std::size_t>(n);
        }
        return true;
    }
    // A client frame (masked, as a client must); `length` may differ from the payload sent.
    static std::string Frame(int opcode, const std::string& payload, std::uint64_t length,
                             bool fin = true) {
        std::string f;
        f += static_cast<char>((fin ? 0x80 : 0) | opcode);
        if (length < 126) {
            f += static_cast<char>(0x80 | length);
        } else if (length < 65536) {
            f += static_cast<char>(0x80 | 126);
            f += static_cast<char>(length >> 8);
            f += static_cast<char>(length & 0xFF);
        } else {
            f += static_cast<char>(0x80 | 127);
            for (int shift = 56; shift >= 0; shift -= 8)
                f += static_cast<char>((length >> shift) & 0xFF);
        }
        f += std::string(4, '\0');  // a zero mask leaves the payload as it is
        return f + payload;
    }
    bool SendText(const std::string& text) { return SendAll(Frame(0x1, text, text.size())); }
    bool SendBinary(const std::string& bytes) { return SendAll(Frame(0x2, bytes, bytes.size())); }

    struct Message {
        int opcode = 0;
        std::string payload;
        int closeCode() const {
            return payload.size() >= 2 ? (static_cast<unsigned char>(payload[0]) << 8) |
                                             static_cast<unsigned char>(payload[1])
                                       : 0;
        }
    };
    // The next whole frame from the relay; nothing on a timeout or when the connection ends.
    std::optional<Message> Read(int timeoutMs = 5000) {
        for (;;) {
            if (auto m = Parse()) return m;
            if (!Wait(POLLIN, timeoutMs)) return std::nullopt;
            char chunk[65536];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) return std::nullopt;
            in_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    // The close code the relay sent (0 for none) once the connection has ended, -1 if it is
    // still open after `timeoutMs`; text and binary frames before it are skipped, and a
    // close is answered.
    int ClosedWith(int timeoutMs = 5000) {
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        int code = 0;
        for (;;) {
            const int left = static_cast<int>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                                  end - std::chrono::steady_clock::now())
                                                  .count());
            if (left <= 0) return -1;
            if (auto m = Parse()) {
                if (m->opcode == 0x8 && code == 0) {
                    code = m->closeCode();
                    SendAll(Frame(0x8, m->payload.substr(0, 2),
                                  m->payload.size() < 2 ? 0 : 2));  // as a client answers
                }
                continue;
            }
            if (!Wait(POLLIN, left)) return -1;
            char chunk[65536];
            const ssize_t n = read(fd_, chunk, sizeof chunk);
            if (n <= 0) return code;
            in_.append(chunk, static_cast<std::size_t>(n));
        }
    }
    int fd() const { return fd_; }

  private:
    bool Wait(short events, int timeoutMs) {
        pollfd p{fd_, events, 0};
        return poll(&p, 1, timeoutMs) > 0;
    }
    std::optional<Message> Parse() { return TakeFrame(in_); }

  public:
    // The first whole server frame in `in`, taken out of it.
    static std::optional<Message> TakeFrame(std::string& in_) {
        if (in_.size() < 2) return std::nullopt;
        const auto b = [&](std::size_t i) { return static_cast<unsigned char>(in_[i]); };
        std::uint64_t length = b(1) & 0x7F;
        std::size_t header = 2;
        if (length == 126) {
            if (in_.size() < 4) return std::nullopt;
            length = (b(2) << 8) | b(3);
            header = 4;
        } else if (length == 127) {
            if (in_.size() < 10) return std::nullopt;
            length = 0;
            for (std::size_t i = 2; i < 10; ++i) length = (length << 8) | b(i);
            header = 10;
        }
        if (in_.size() < header + length) return std::nullopt;
        Message m{b(0) & 0x0F, in_.substr(header, length)};
        in_.erase(0, header + length);
        return m;
    }

  private:
    int fd_ = -1;
    bool connected_ = false;
    std::string in_;
};

// The port of a relay's ws:// URL.
inline int PortOf(const std::string& url) {
    const auto colon = url.rfind(':');
    return std::stoi(url.substr(colon + 1, url.find('/', colon) - colon - 1));
}

// A /proc/PID/status field in kB (VmRSS, VmHWM, ...).
inline long StatusKb(int pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line))
        if (line.rfind(field + ":", 0) == 0) return std::stol(line.substr(field.size() + 1));
    return -1;
}

}  // namespace kltest
