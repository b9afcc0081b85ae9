#pragma once
// Real relay and klpeer processes for the tests, and the small readers the tests share.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "process.hpp"

namespace kltest {

inline std::vector<std::string> With(std::vector<std::string> base,
                                     const std::vector<std::string>& more) {
    base.insert(base.end(), more.begin(), more.end());
    return base;
}

// The next line of `process` whose "event" is `name`; an empty object when none comes.
inline nlohmann::json NextEvent(Process& process, const std::string& name,
                                std::chrono::milliseconds limit = std::chrono::seconds(15)) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) return nlohmann::json::object();
        const auto line = process.ReadLine(left);
        if (!line) return nlohmann::json::object();
        auto json = nlohmann::json::parse(*line, nullptr, false);
        if (json.is_object() && json.value("event", "") == name) return json;
    }
}

// A TCP socket to 127.0.0.1:port; `connected` tells whether the connect succeeded. Close it.
inline int ConnectLoopback(int port, bool& connected) {
    const int fd = socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected = connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    return fd;
}

// A GET over plain HTTP/1.0 to 127.0.0.1; the whole answer, headers included.
inline std::string HttpGet(const std::string& url) {
    const auto hostStart = url.find("//") + 2;
    const auto colon = url.find(':', hostStart);
    const auto slash = url.find('/', colon);
    const int port = std::stoi(url.substr(colon + 1, slash - colon - 1));
    bool connected = false;
    const int fd = ConnectLoopback(port, connected);
    std::string answer;
    if (connected) {
        const std::string request =
            "GET " + url.substr(slash) + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n";
        if (write(fd, request.data(), request.size()) == static_cast<ssize_t>(request.size())) {
            char chunk[4096];
            ssize_t n;
            while ((n = read(fd, chunk, sizeof chunk)) > 0)
                answer.append(chunk, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    return answer;
}

// The relay under test; KL_RELAY_UNDER_TEST names another build of it (to compare figures).
inline std::string RelayPath() {
    const char* other = std::getenv("KL_RELAY_UNDER_TEST");
    return other != nullptr && *other != '\0' ? other : KL_RELAY_PATH;
}

struct Relay {
    explicit Relay(const std::vector<std::string>& options = {})
        : process(With({RelayPath(), "--port", "0", "--metrics-port", "0"}, options)) {
        const auto line = process.ReadLine();
        if (!line) throw std::runtime_error("the relay did not start: " + process.Stderr());
        const auto json = nlohmann::json::parse(*line);
        url = json.at("url").get<std::string>();
        metrics = json.at("metrics").get<std::string>();
    }
    std::string Metrics() const { return HttpGet(metrics); }
    Process process;
    std::string url, metrics;
};

inline std::vector<std::string> Peer(const std::vector<std::string>& args) {
    return With({KL_PEER_PATH}, args);
}

// A host peer that has registered, with its ID and key.
struct Host {
    Host(const Relay& relay, const std::vector<std::string>& options = {})
        : process(Peer(With({"host", "--relay", relay.url, "--timeout", "60"}, options))) {
        const auto credentials = NextEvent(process, "credentials");
        id = credentials.value("id", "");
        key = credentials.value("key", "");
        registered = !NextEvent(process, "registered").empty();
    }
    Process process;
    std::string id, key;
    bool registered = false;
};

}  // namespace kltest
