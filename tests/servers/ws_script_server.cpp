// A WebSocket server that misbehaves on request, for the program's transport tests. The
// path of the upgrade request names what it does (see Usage). One thread per connection.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

namespace {

const char kUsage[] = R"(Usage: ws_script_server [--port N]
Serves ws://127.0.0.1:N/<scenario> (N 0, the default: a free port, printed on start):
  /reject403   answers the upgrade with HTTP 403
  /silent      never answers the upgrade
  /stall       upgrades, then never reads
  /fragments   text "Merhaba dünya!" in three fragments, then binary "x"
  /mixed       an unfinished text message, then a binary frame
  /exact       a binary message of exactly 8388608 bytes in 64 KiB fragments
  /oversize    a binary message of 8388609 bytes in fragments
  /close       a close frame with status 1000
  /drop        upgrades, then closes the TCP connection without a close frame
  /empty       a zero-length text message
  /echo        echoes every message back
  /lastclose   a text message with the close status the previous connection ended with
               ("none" when it ended without a close frame)
Every scenario that upgrades then echoes and answers a close.
)";

bool WriteAll(int fd, const void* data, std::size_t size) {
    const char* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = send(fd, p, size, MSG_NOSIGNAL);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool ReadAll(int fd, void* data, std::size_t size) {
    char* p = static_cast<char*>(data);
    while (size > 0) {
        const ssize_t n = recv(fd, p, size, 0);
        if (n <= 0) return false;
        p += n;
        size -= static_cast<std::size_t>(n);
    }
    return true;
}

bool Frame(int fd, bool fin, int opcode, const std::string& payload) {
    std::string header(1, static_cast<char>((fin ? 0x80 : 0) | opcode));
    const std::size_t n = payload.size();
    if (n < 126) {
        header += static_cast<char>(n);
    } else if (n < 65536) {
        header += static_cast<char>(126);
        header += static_cast<char>(n >> 8);
        header += static_cast<char>(n & 0xFF);
    } else {
        header += static_cast<char>(127);
        for (int i = 7; i >= 0; --i)
            header += static_cast<char>((static_cast<std::uint64_t>(n) >> (8 * i)) & 0xFF);
    }
    return WriteAll(fd, header.data(), header.size()) &&
           WriteAll(fd, payload.data(), payload.size());
}

std::string AcceptKey(const std::string& key) {
    const std::string text = key + "258EAFA5-E914-47DA-95CA-C5AB0DC85B11";
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(reinterpret_cast<const unsigned char*>(text.data()), text.size(), digest);
    unsigned char out[64];
    const int len = EVP_EncodeBlock(out, digest, SHA_DIGEST_LENGTH);
    return std::string(reinterpret_cast<char*>(out), static_cast<std::size_t>(len));
}

// The close status of the last connection that ended: -2 none ended since the last query, -1 it
// ended without a close frame, else the code from its close frame.
std::atomic<int> g_lastClose{-2};

// Echoes whole frames (unmasked) until the client closes; answers a close frame.
void EchoUntilClosed(int fd) {
    struct Record {
        int code = -1;
        ~Record() { g_lastClose = code; }
    } record;
    for (;;) {
        unsigned char h[2];
        if (!ReadAll(fd, h, 2)) return;
        const int opcode = h[0] & 0x0F;
        std::uint64_t len = h[1] & 0x7F;
        if (len == 126) {
            unsigned char e[2];
            if (!ReadAll(fd, e, 2)) return;
            len = (e[0] << 8) | e[1];
        } else if (len == 127) {
            unsigned char e[8];
            if (!ReadAll(fd, e, 8)) return;
            len = 0;
            for (unsigned char b : e) len = (len << 8) | b;
        }
        unsigned char mask[4] = {0, 0, 0, 0};
        if ((h[1] & 0x80) && !ReadAll(fd, mask, 4)) return;
        if (len > (64u << 20)) return;
        std::string payload(len, '\0');
        if (!ReadAll(fd, payload.data(), len)) return;
        for (std::size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<char>(payload[i] ^ mask[i % 4]);
        if (opcode == 8) {
            if (payload.size() >= 2)
                record.code = (static_cast<unsigned char>(payload[0]) << 8) |
                              static_cast<unsigned char>(payload[1]);
            else
                record.code = 1005;  // a close frame without a status
            Frame(fd, true, 8, payload.substr(0, 2));
            return;
        }
        if (opcode == 9) {
            Frame(fd, true, 10, payload);
            continue;
        }
        if (opcode == 10) continue;
        if (!Frame(fd, (h[0] & 0x80) != 0, opcode, payload)) return;
    }
}

void Serve(int fd) {
    std::string request;
    char chunk[4096];
    while (request.find("\r\n\r\n") == std::string::npos && request.size() < 65536) {
        const ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) return;
        request.append(chunk, static_cast<std::size_t>(n));
    }
    const auto pathStart = request.find(' ') + 1;
    const std::string path = request.substr(pathStart, request.find(' ', pathStart) - pathStart);
    std::cerr << "ws_script_server: " << path << std::endl;
    if (path == "/reject403") {
        const std::string response =
            "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\nConnection: close\r\n\r\n";
        WriteAll(fd, response.data(), response.size());
        return;
    }
    if (path == "/silent") {
        while (recv(fd, chunk, sizeof chunk, 0) > 0) {
        }
        return;
    }
    std::string key;
    for (const char* name : {"Sec-WebSocket-Key: ", "sec-websocket-key: "}) {
        const auto k = request.find(name);
        if (k != std::string::npos) key = request.substr(k + 19, request.find("\r\n", k) - k - 19);
    }
    const std::string response =
        "HTTP/1.1 101 Switching Protocols\r\nUpgrade: websocket\r\nConnection: Upgrade\r\n"
        "Sec-WebSocket-Accept: " +
        AcceptKey(key) + "\r\n\r\n";
    if (!WriteAll(fd, response.data(), response.size())) return;
    if (path == "/drop") return;
    if (path == "/stall") {
        std::this_thread::sleep_for(std::chrono::seconds(60));
        return;
    }
    if (path == "/fragments") {
        Frame(fd, false, 1, "Merhaba ");
        Frame(fd, false, 0, "dünya");
        Frame(fd, true, 0, "!");
        Frame(fd, true, 2, "x");
    } else if (path == "/mixed") {
        Frame(fd, false, 1, "abc");
        Frame(fd, true, 2, "d");
    } else if (path == "/exact" || path == "/oversize") {
        const std::string piece(65536, 'k');
        for (int i = 0; i < 128; ++i)
            Frame(fd, path == "/exact" && i == 127, i == 0 ? 2 : 0, piece);
        if (path == "/oversize") Frame(fd, true, 0, "!");
    } else if (path == "/close") {
        Frame(fd, true, 8, std::string("\x03\xE8", 2));
    } else if (path == "/empty") {
        Frame(fd, true, 1, "");
    } else if (path == "/lastclose") {
        // The connection asked about may still be finishing on its own thread.
        for (int i = 0; i < 40 && g_lastClose == -2; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(50));
        const int code = g_lastClose.exchange(-2);
        Frame(fd, true, 1, code == -2 ? "pending" : code == -1 ? "none" : std::to_string(code));
    }
    EchoUntilClosed(fd);
}

}  // namespace

int main(int argc, char** argv) {
    int port = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            return 0;
        }
        if (arg == "--port" && i + 1 < argc) {
            port = std::atoi(argv[++i]);
        } else {
            std::cerr << "ws_script_server: unknown argument " << arg << " (see --help)\n";
            return 1;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    const int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        listen(listener, 64) != 0) {
        std::perror("ws_script_server: cannot listen");
        return 2;
    }
    socklen_t length = sizeof addr;
    getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &length);
    std::cout << "listening on 127.0.0.1:" << ntohs(addr.sin_port) << std::endl;
    for (;;) {
        const int fd = accept(listener, nullptr, nullptr);
        if (fd < 0) continue;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        std::thread([fd] {
            Serve(fd);
            close(fd);
        }).detach();
    }
}
