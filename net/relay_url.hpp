#pragma once
// Which relay URLs are acceptable: wss:// everywhere, ws:// only to this machine, no
// credentials, no fragment, nothing that could split a request line.
#include <cstdint>
#include <string>

namespace kl {

struct RelayEndpoint {
    std::wstring host;
    std::wstring path;
    std::uint16_t port = 0;
    bool secure = false;
    bool loopback = false;
};

bool ParseRelayUrl(const std::wstring& url, RelayEndpoint& endpoint, std::string& error);

// What the platform's URL splitter yields for an http:// or https:// URL.
struct CrackedUrl {
    std::wstring host, userName, password, path, extra;
    std::uint16_t port = 0;
};
// WinHttpCrackUrl on Windows; elsewhere a splitter that refuses what it refuses.
bool CrackUrl(const std::wstring& url, CrackedUrl& out);

}  // namespace kl
