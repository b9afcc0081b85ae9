#include <windows.h>
#include <winhttp.h>

#include "net/relay_url.hpp"

namespace kl {

bool CrackUrl(const std::wstring& url, CrackedUrl& out) {
    URL_COMPONENTS parts{};
    parts.dwStructSize = sizeof parts;
    // Lengths of -1 ask the cracker for pointers into the URL itself.
    parts.dwHostNameLength = static_cast<DWORD>(-1);
    parts.dwUserNameLength = static_cast<DWORD>(-1);
    parts.dwPasswordLength = static_cast<DWORD>(-1);
    parts.dwUrlPathLength = static_cast<DWORD>(-1);
    parts.dwExtraInfoLength = static_cast<DWORD>(-1);
    if (!WinHttpCrackUrl(url.c_str(), static_cast<DWORD>(url.size()), 0, &parts)) return false;
    auto take = [](const wchar_t* p, DWORD n) {
        return p != nullptr ? std::wstring(p, n) : std::wstring();
    };
    out.host = take(parts.lpszHostName, parts.dwHostNameLength);
    out.userName = take(parts.lpszUserName, parts.dwUserNameLength);
    out.password = take(parts.lpszPassword, parts.dwPasswordLength);
    out.path = take(parts.lpszUrlPath, parts.dwUrlPathLength);
    out.extra = take(parts.lpszExtraInfo, parts.dwExtraInfoLength);
    out.port = parts.nPort;
    return true;
}

}  // namespace kl
