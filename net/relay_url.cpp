#include "net/relay_url.hpp"

#include <cwctype>

namespace kl {

namespace {

std::wstring Lower(std::wstring text) {
    for (wchar_t& c : text) c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
    return text;
}

}  // namespace

bool ParseRelayUrl(const std::wstring& url, RelayEndpoint& endpoint, std::string& error) {
    if (url.empty() || url.size() > 4096 || url.find_first_of(L"\r\n#") != std::wstring::npos ||
        url.find(L'\0') != std::wstring::npos) {
        error = "Invalid relay URL";
        return false;
    }
    std::wstring working = url;
    if (url.size() >= 6 && Lower(url.substr(0, 6)) == L"wss://") {
        endpoint.secure = true;
        working.replace(0, 6, L"https://");
    } else if (Lower(url.substr(0, 5)) == L"ws://") {
        endpoint.secure = false;
        working.replace(0, 5, L"http://");
    } else {
        error = "Relay URL must start with wss://";
        return false;
    }

    CrackedUrl cracked;
    if (!CrackUrl(working, cracked) || cracked.host.empty() || !cracked.userName.empty() ||
        !cracked.password.empty()) {
        error = "Invalid relay URL or embedded credentials";
        return false;
    }
    endpoint.host = cracked.host;
    const std::wstring lowerHost = Lower(cracked.host);
    endpoint.loopback = lowerHost == L"localhost" || lowerHost == L"127.0.0.1" ||
                        lowerHost == L"::1" || lowerHost == L"[::1]";
    if (!endpoint.secure) {
        if (!endpoint.loopback) {
            error = "Unencrypted WebSocket connections are permitted only on loopback";
            return false;
        }
        if (lowerHost == L"localhost") endpoint.host = L"127.0.0.1";
    }
    endpoint.port = cracked.port;
    endpoint.path = cracked.path.empty() ? L"/" : cracked.path;
    endpoint.path += cracked.extra;
    return true;
}

}  // namespace kl
