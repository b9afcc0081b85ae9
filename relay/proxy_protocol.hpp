#pragma once
// The PROXY protocol (v2, and v1's text line) as a balancer in front of the relay sends it:
// the client's address, ahead of the client's own bytes. It is read only from the balancers
// the operator names, and read exactly, never past its end, so the TLS or HTTP that follows
// stays on the socket for the session.
#include <boost/asio/ip/address.hpp>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace kl::relay {

struct Cidr {
    std::array<std::uint8_t, 16> net{};  // IPv4 as IPv4-mapped IPv6
    unsigned bits = 128;
};

// "10.0.0.0/8,2001:db8::/32,192.0.2.7"; throws std::invalid_argument with the reason.
std::vector<Cidr> ParseCidrList(const std::string& list);
bool InCidrs(const std::vector<Cidr>& cidrs, const boost::asio::ip::address& address);

class ProxyHeaderReader {
  public:
    // A header larger than this (v2 with its extensions) is refused.
    static constexpr std::size_t kMaxV2Body = 512;
    static constexpr std::size_t kMaxV1Line = 107;

    // How many bytes to read next, exactly; 0 once done or failed.
    std::size_t Wanted() const;
    // Takes the bytes asked for by Wanted().
    void Take(const std::uint8_t* data, std::size_t size);
    bool done() const { return state_ == State::Done; }
    bool failed() const { return state_ == State::Failed; }
    const std::string& fault() const { return fault_; }
    // The client's address; nothing for the balancer's own connections (v2 LOCAL, v1
    // UNKNOWN), which count as the balancer's.
    const std::optional<boost::asio::ip::address>& client() const { return client_; }

  private:
    enum class State { Start, V2Fixed, V2Body, V1Line, Done, Failed };
    void Fail(const char* why) {
        state_ = State::Failed;
        fault_ = why;
    }
    void ParseV2Body();
    void ParseV1Line();

    State state_ = State::Start;
    std::string bytes_;
    std::size_t bodyLength_ = 0;
    std::optional<boost::asio::ip::address> client_;
    std::string fault_;
};

}  // namespace kl::relay
