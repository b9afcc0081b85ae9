#include "relay/proxy_protocol.hpp"

#include <charconv>
#include <cstring>
#include <stdexcept>

namespace kl::relay {

namespace asio = boost::asio;

namespace {

const char kV2Signature[] = "\r\n\r\n\0\r\nQUIT\n";  // 12 bytes

std::array<std::uint8_t, 16> Mapped(const asio::ip::address& a) {
    if (a.is_v6()) return a.to_v6().to_bytes();
    return asio::ip::make_address_v6(asio::ip::v4_mapped, a.to_v4()).to_bytes();
}

}  // namespace

std::vector<Cidr> ParseCidrList(const std::string& list) {
    std::vector<Cidr> out;
    std::size_t start = 0;
    while (start <= list.size()) {
        const auto comma = std::min(list.find(',', start), list.size());
        const std::string item = list.substr(start, comma - start);
        start = comma + 1;
        const auto slash = item.find('/');
        boost::system::error_code ec;
        const auto address = asio::ip::make_address(item.substr(0, slash), ec);
        if (ec)
            throw std::invalid_argument("--proxy-protocol-from: \"" + item +
                                        "\" is not an address or ADDRESS/BITS");
        Cidr c;
        c.net = Mapped(address);
        const unsigned width = address.is_v4() ? 32 : 128;
        unsigned bits = width;
        if (slash != std::string::npos) {
            const std::string b = item.substr(slash + 1);
            const auto r = std::from_chars(b.data(), b.data() + b.size(), bits);
            if (b.empty() || r.ec != std::errc() || r.ptr != b.data() + b.size() || bits > width)
                throw std::invalid_argument("--proxy-protocol-from: bad prefix length in \"" +
                                            item + "\"");
        }
        c.bits = bits + (128 - width);
        for (unsigned i = c.bits; i < 128; ++i) c.net[i / 8] &= ~(0x80u >> (i % 8));
        out.push_back(c);
    }
    return out;
}

bool InCidrs(const std::vector<Cidr>& cidrs, const asio::ip::address& address) {
    const auto bytes = Mapped(address);
    for (const Cidr& c : cidrs) {
        bool match = true;
        for (unsigned i = 0; i < c.bits && match; ++i) {
            const std::uint8_t bit = 0x80u >> (i % 8);
            match = (bytes[i / 8] & bit) == (c.net[i / 8] & bit);
        }
        if (match) return true;
    }
    return false;
}

std::size_t ProxyHeaderReader::Wanted() const {
    switch (state_) {
        case State::Start:
            return 8;
        case State::V2Fixed:
            return 16 - bytes_.size();
        case State::V2Body:
            return 16 + bodyLength_ - bytes_.size();
        case State::V1Line:
            return 1;  // the line's end is found byte by byte, so nothing past it is read
        default:
            return 0;
    }
}

void ProxyHeaderReader::Take(const std::uint8_t* data, std::size_t size) {
    bytes_.append(reinterpret_cast<const char*>(data), size);
    switch (state_) {
        case State::Start:
            if (bytes_.size() < 8) return;
            if (bytes_.compare(0, 8, std::string(kV2Signature, 8)) == 0)
                state_ = State::V2Fixed;
            else if (bytes_.compare(0, 6, "PROXY ") == 0)
                state_ = State::V1Line;
            else
                Fail("no PROXY protocol header");
            return;
        case State::V2Fixed: {
            if (bytes_.size() < 16) return;
            if (bytes_.compare(0, 12, std::string(kV2Signature, 12)) != 0)
                return Fail("a bad PROXY v2 signature");
            const auto verCmd = static_cast<std::uint8_t>(bytes_[12]);
            if ((verCmd >> 4) != 2 || (verCmd & 0xF) > 1)
                return Fail("a bad PROXY v2 version or command");
            bodyLength_ =
                static_cast<std::uint8_t>(bytes_[14]) << 8 | static_cast<std::uint8_t>(bytes_[15]);
            if (bodyLength_ > kMaxV2Body) return Fail("an oversized PROXY v2 header");
            state_ = State::V2Body;
            if (bodyLength_ == 0) ParseV2Body();
            return;
        }
        case State::V2Body:
            if (bytes_.size() == 16 + bodyLength_) ParseV2Body();
            return;
        case State::V1Line:
            if (bytes_.size() >= 2 && bytes_.compare(bytes_.size() - 2, 2, "\r\n") == 0)
                return ParseV1Line();
            if (bytes_.size() >= kMaxV1Line) Fail("an oversized PROXY v1 line");
            return;
        default:
            return;
    }
}

void ProxyHeaderReader::ParseV2Body() {
    const auto* b = reinterpret_cast<const std::uint8_t*>(bytes_.data());
    const bool local = (b[12] & 0xF) == 0;
    const std::uint8_t family = b[13];
    state_ = State::Done;
    if (local) return;  // the balancer's own connection (a health check)
    if (family == 0x11 && bodyLength_ >= 12) {
        asio::ip::address_v4::bytes_type v4;
        std::memcpy(v4.data(), b + 16, 4);
        client_ = asio::ip::address_v4(v4);
    } else if (family == 0x21 && bodyLength_ >= 36) {
        asio::ip::address_v6::bytes_type v6;
        std::memcpy(v6.data(), b + 16, 16);
        client_ = asio::ip::address_v6(v6);
    } else {
        Fail("a PROXY v2 header without a TCP address");
    }
}

void ProxyHeaderReader::ParseV1Line() {
    // PROXY TCP4|TCP6 SRC DST SPORT DPORT, or PROXY UNKNOWN ...
    const std::string line = bytes_.substr(6, bytes_.size() - 8);
    if (line.rfind("UNKNOWN", 0) == 0) {
        state_ = State::Done;
        return;
    }
    const bool tcp4 = line.rfind("TCP4 ", 0) == 0, tcp6 = line.rfind("TCP6 ", 0) == 0;
    if (!tcp4 && !tcp6) return Fail("a bad PROXY v1 line");
    const auto end = line.find(' ', 5);
    if (end == std::string::npos) return Fail("a bad PROXY v1 line");
    boost::system::error_code ec;
    const auto address = asio::ip::make_address(line.substr(5, end - 5), ec);
    if (ec || address.is_v4() != tcp4) return Fail("a bad PROXY v1 address");
    client_ = address;
    state_ = State::Done;
}

}  // namespace kl::relay
