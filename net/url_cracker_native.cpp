// Splits http:// and https:// URLs the way WinHttpCrackUrl does, for the native build:
// scheme default ports, user name and password before '@', a bracketed IPv6 host, a
// decimal port of 1 to 65535 (empty: the default), the path from the first '/', the extra part from
// '?'.
#include "net/relay_url.hpp"

namespace kl {

bool CrackUrl(const std::wstring& url, CrackedUrl& out) {
    std::size_t start;
    std::uint16_t defaultPort;
    if (url.rfind(L"https://", 0) == 0) {
        start = 8;
        defaultPort = 443;
    } else if (url.rfind(L"http://", 0) == 0) {
        start = 7;
        defaultPort = 80;
    } else {
        return false;
    }
    std::size_t end = url.find_first_of(L"/?", start);
    if (end == std::wstring::npos) end = url.size();
    std::wstring authority = url.substr(start, end - start);
    const std::wstring rest = url.substr(end);

    const std::size_t at = authority.rfind(L'@');
    if (at != std::wstring::npos) {
        const std::wstring userInfo = authority.substr(0, at);
        const std::size_t colon = userInfo.find(L':');
        out.userName = userInfo.substr(0, colon);
        if (colon != std::wstring::npos) out.password = userInfo.substr(colon + 1);
        authority = authority.substr(at + 1);
    }

    std::size_t portColon = std::wstring::npos;
    if (!authority.empty() && authority[0] == L'[') {
        const std::size_t close = authority.find(L']');
        if (close == std::wstring::npos) return false;
        if (close + 1 < authority.size()) {
            if (authority[close + 1] != L':') return false;
            portColon = close + 1;
        }
    } else {
        portColon = authority.find(L':');
    }
    out.host = authority.substr(0, portColon);
    out.port = defaultPort;
    if (portColon != std::wstring::npos) {
        const std::wstring digits = authority.substr(portColon + 1);
        if (digits.size() > 5) return false;
        unsigned value = 0;
        for (wchar_t c : digits) {
            if (c < L'0' || c > L'9') return false;
            value = value * 10 + static_cast<unsigned>(c - L'0');
        }
        // An empty port keeps the scheme's default, as the Windows cracker does.
        if (!digits.empty()) {
            if (value == 0 || value > 65535) return false;
            out.port = static_cast<std::uint16_t>(value);
        }
    }

    const std::size_t query = rest.find(L'?');
    out.path = rest.substr(0, query);
    out.extra = query == std::wstring::npos ? std::wstring() : rest.substr(query);
    return true;
}

}  // namespace kl
