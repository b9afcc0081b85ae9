// relay_url_check: judges a relay URL with the program's own policy (the same ParseRelayUrl,
// on the native URL splitter) before a release build compiles it in.
#include <clocale>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <string>

#include "net/relay_url.hpp"

namespace {

const char* kUsage = R"(Usage: relay_url_check URL

Checks a relay URL the way the program does when it connects: wss:// (ws:// only to this
machine), a host, no user name or password, no fragment, no CR or LF. A release also needs
wss:// and a URL that can be compiled in as it stands: printable ASCII without spaces,
quotes, backslashes or semicolons (percent-encode anything else).

Exit status: 0 accepted (one line describes the endpoint), 1 refused (the reason on
standard error), 2 bad usage.
)";

std::string Narrow(const std::wstring& text) {
    std::string out;
    for (wchar_t c : text) out += static_cast<char>(c);  // only ASCII reaches here
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && (std::strcmp(argv[1], "--help") == 0 || std::strcmp(argv[1], "-h") == 0)) {
        std::cout << kUsage;
        return 0;
    }
    if (argc != 2) {
        std::cerr << "relay_url_check: give exactly one URL (see --help)\n";
        return 2;
    }
    const std::string url = argv[1];

    // The program sees the URL as UTF-16; decode the argument as UTF-8 so the policy judges the
    // same characters.
    std::setlocale(LC_ALL, "C.UTF-8");
    std::wstring wide(url.size(), L'\0');
    const std::size_t length = std::mbstowcs(wide.data(), url.c_str(), wide.size());
    if (length == static_cast<std::size_t>(-1)) {
        std::cerr << "relay_url_check: Invalid relay URL (not UTF-8)\n";
        return 1;
    }
    wide.resize(length);
    // mbstowcs stops at the first NUL, which argv cannot carry anyway.

    kl::RelayEndpoint endpoint;
    std::string error;
    if (!kl::ParseRelayUrl(wide, endpoint, error)) {
        std::cerr << "relay_url_check: " << error << '\n';
        return 1;
    }
    if (!endpoint.secure) {
        std::cerr << "relay_url_check: a release connects over wss:// "
                     "(ws:// is for loopback test builds)\n";
        return 1;
    }
    for (unsigned char c : url) {
        if (c <= 0x20 || c >= 0x7f || c == '"' || c == '\\' || c == ';') {
            std::cerr << "relay_url_check: the URL holds a character a release cannot compile in "
                         "as it stands (spaces, quotes, backslashes, semicolons, non-ASCII): "
                         "percent-encode it\n";
            return 1;
        }
    }
    std::cout << "relay URL accepted: host " << Narrow(endpoint.host) << ", port " << endpoint.port
              << ", path " << Narrow(endpoint.path) << (endpoint.loopback ? " (loopback)" : "")
              << '\n';
    return 0;
}
