#pragma once
// What the relay derives from things a client controls: the key its per-address limits
// count by, and text made fit for the one-line-per-event log.
#include <boost/asio/ip/address.hpp>
#include <cstddef>
#include <string>
#include <string_view>

namespace kl::relay {

// IPv4 counts per address; IPv6 per /64, since one subscriber usually holds a whole /64.
// An IPv4-mapped IPv6 address counts as the IPv4 address it is.
inline std::string AddressKey(const boost::asio::ip::address& address) {
    if (address.is_v4()) return address.to_string();
    const auto v6 = address.to_v6();
    if (v6.is_v4_mapped())
        return boost::asio::ip::make_address_v4(boost::asio::ip::v4_mapped, v6).to_string();
    auto bytes = v6.to_bytes();
    for (std::size_t i = 8; i < bytes.size(); ++i) bytes[i] = 0;
    return boost::asio::ip::address_v6(bytes).to_string() + "/64";
}

// At most `maxBytes` of `raw` (never cut inside a UTF-8 sequence), quoted, with everything
// outside printable ASCII, the space, the quote and the backslash written as \xHH: a logged
// value stays one field and cannot break a line, reorder text or fake another field.
inline std::string LogQuoted(std::string_view raw, std::size_t maxBytes = 64) {
    std::size_t cut = raw.size();
    if (cut > maxBytes) {
        cut = maxBytes;
        while (cut > 0 && (static_cast<unsigned char>(raw[cut]) & 0xC0) == 0x80) --cut;
    }
    static constexpr char kHex[] = "0123456789abcdef";
    std::string out = "\"";
    for (std::size_t i = 0; i < cut; ++i) {
        const auto c = static_cast<unsigned char>(raw[i]);
        if (c > 0x20 && c < 0x7F && c != '"' && c != '\\') {
            out += static_cast<char>(c);
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
    out += cut < raw.size() ? "\"..." : "\"";
    return out;
}

}  // namespace kl::relay
