#pragma once
// What relays of one cluster tell each other through Redis. A message is a one-line JSON
// header, a newline and, for binary traffic, the payload as it came from the client. Another
// relay is trusted no more than a client: Decode checks every field and refuses the rest.
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kl::relay::wire {

enum class Kind {
    Request,   // viewer's relay -> host's relay: a viewer asks for a host there
    Text,      // host's relay -> viewer's relay: a relay message for the viewer
    Close,     // host's relay -> viewer's relay: close the viewer with a code
    ToHost,    // viewer's relay -> host's relay: a binary message of the viewer
    ToViewer,  // host's relay -> viewer's relay: a binary message of the host
    Left,      // viewer's relay -> host's relay: the viewer has gone
    Credit,    // the receiving relay has passed on that many binary bytes of the pair
               // (`toHost`: credit for the host's relay)
};

struct Message {
    Kind kind = Kind::Text;
    std::string from;          // the sending relay's node id
    std::string epoch;         // the sending relay's epoch (16 hex digits, like a node id)
    std::uint64_t conn = 0;    // the viewer's connection on the viewer's relay
    std::string sessionId;     // Request
    std::string password;      // Request: the viewer's proof, forwarded to the host only
    std::string address;       // Request: the viewer's source address
    std::string text;          // Text
    std::uint16_t code = 0;    // Close
    std::uint32_t count = 0;   // Credit: bytes
    bool toHost = false;       // Credit
    std::string_view payload;  // ToHost, ToViewer: points into the decoded buffer
};

inline constexpr std::size_t kMaxHeader = 4096;

bool IsNodeId(std::string_view id) noexcept;
// The header and payload of `m` as one buffer.
std::string Encode(const Message& m);
// Nothing for a malformed message, or one whose payload exceeds `maxPayload`.
std::optional<Message> Decode(std::string_view data, std::size_t maxPayload);

}  // namespace kl::relay::wire
