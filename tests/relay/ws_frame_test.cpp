#include "relay/ws_frame.hpp"

#include <gtest/gtest.h>

#include <cstring>
#include <random>

using kl::relay::ws::MessageReader;
using Event = MessageReader::Event;
namespace ws = kl::relay::ws;

namespace {

// A client frame: masked with `key`, the length in its shortest form unless `lengthForm` forces
// 126 or 127.
std::string Frame(std::uint8_t opcode, const std::string& payload, bool fin = true,
                  std::uint32_t key = 0x37FA213D, int lengthForm = 0) {
    std::string out;
    out += static_cast<char>((fin ? 0x80 : 0) | opcode);
    const std::uint64_t n = payload.size();
    const int form = lengthForm ? lengthForm : n < 126 ? 0 : n <= 0xFFFF ? 126 : 127;
    if (form == 0) {
        out += static_cast<char>(0x80 | n);
    } else {
        out += static_cast<char>(0x80 | form);
        for (int i = (form == 126 ? 1 : 7); i >= 0; --i) out += static_cast<char>(n >> (8 * i));
    }
    const char mask[4] = {char(key >> 24), char(key >> 16), char(key >> 8), char(key)};
    out.append(mask, 4);
    for (std::size_t i = 0; i < payload.size(); ++i)
        out += static_cast<char>(payload[i] ^ mask[i & 3]);
    return out;
}

struct Seen {
    std::vector<std::string> messages, pings;
    std::vector<std::uint16_t> closes;
    std::uint16_t failed = 0;
};

// Feeds `wire` in pieces of the given sizes (cycled); large payload pieces go the way the
// session reads them, straight into the message, when `direct` is set.
Seen Feed(MessageReader& reader, const std::string& wire, std::vector<std::size_t> pieces,
          bool direct = false) {
    Seen seen;
    std::size_t at = 0, piece = 0;
    auto note = [&](Event e) {
        if (e == Event::Message)
            seen.messages.push_back((reader.text() ? "T:" : "B:") + reader.TakeMessage());
        if (e == Event::Ping) seen.pings.push_back(reader.control());
        if (e == Event::Close) seen.closes.push_back(reader.code());
        if (e == Event::Fail) seen.failed = reader.code();
    };
    while (at < wire.size() && seen.failed == 0) {
        if (reader.NeedsRoom()) reader.Grow();
        const std::size_t n = std::min(pieces[piece++ % pieces.size()], wire.size() - at);
        if (direct && reader.PayloadLeft() > 0) {
            const std::size_t k = std::min(n, reader.PayloadLeft());
            std::memcpy(reader.Space(), wire.data() + at, k);
            at += k;
            note(reader.Filled(k));
            continue;
        }
        std::size_t used = 0;
        while (used < n && seen.failed == 0) {
            const std::size_t took = reader.Consume(wire.data() + at + used, n - used);
            used += took;
            note(reader.event());
            if (reader.NeedsRoom()) reader.Grow();
            if (took == 0 && reader.event() == Event::None) break;
        }
        at += used;
    }
    return seen;
}

std::string Bytes(std::size_t n, unsigned seed) {
    std::mt19937 random(seed);
    std::string s(n, '\0');
    for (auto& c : s) c = static_cast<char>(random());
    return s;
}

}  // namespace

TEST(WsFrames, MessagesComeWholeHoweverTheBytesAreCutAndControlFramesMayInterleave) {
    const std::string big = Bytes(300000, 1), odd = Bytes(70001, 2);
    // A text message in three fragments with a ping between them, a UTF-8 letter cut between
    // two fragments, then two binary messages (one with a 64-bit length) and a close.
    const std::string wire = Frame(ws::kText, "{\"type\":\"Ba\xC4", false) +
                             Frame(ws::kPing, "p1") +
                             Frame(ws::kContinuation, "\x9F\"", false, 0x01020304) +
                             Frame(ws::kContinuation, "}", true, 0) + Frame(ws::kBinary, big) +
                             Frame(ws::kBinary, odd, true, 0xFFFFFFFF) +
                             Frame(ws::kClose, ws::ClosePayload(1000) + "bye");
    for (const auto& pieces :
         std::vector<std::vector<std::size_t>>{{1}, {3, 7, 1}, {4096}, {65536, 5}, {wire.size()}}) {
        for (bool direct : {false, true}) {
            MessageReader reader(1 << 20);
            const Seen seen = Feed(reader, wire, pieces, direct);
            ASSERT_EQ(seen.failed, 0) << pieces[0];
            ASSERT_EQ(seen.messages.size(), 3u) << pieces[0];
            EXPECT_EQ(seen.messages[0], "T:{\"type\":\"Ba\xC4\x9F\"}");
            EXPECT_TRUE(seen.messages[1] == "B:" + big) << "pieces of " << pieces[0];
            EXPECT_TRUE(seen.messages[2] == "B:" + odd) << "pieces of " << pieces[0];
            EXPECT_EQ(seen.pings, std::vector<std::string>{"p1"});
            EXPECT_EQ(seen.closes, std::vector<std::uint16_t>{1000});
            EXPECT_TRUE(reader.Idle());
        }
    }
}

TEST(WsFrames, EveryBrokenRuleFailsWithItsCloseCode) {
    const std::string unmasked = std::string("\x82\x03", 2) + "abc";
    std::string reservedBit = Frame(ws::kBinary, "abc");
    reservedBit[0] = static_cast<char>(reservedBit[0] | 0x40);
    const struct {
        const char* what;
        std::string wire;
        std::uint16_t code;
    } cases[] = {
        {"an unmasked client frame", unmasked, ws::kProtocolError},
        {"an extension bit", reservedBit, ws::kProtocolError},
        {"a reserved opcode", Frame(0x3, "x"), ws::kProtocolError},
        {"a continuation with nothing to continue", Frame(ws::kContinuation, "x"),
         ws::kProtocolError},
        {"a new message inside a fragmented one",
         Frame(ws::kText, "a", false) + Frame(ws::kText, "b"), ws::kProtocolError},
        {"a fragmented ping", Frame(ws::kPing, "x", false), ws::kProtocolError},
        {"a control frame over 125 bytes", Frame(ws::kPing, std::string(126, 'x')),
         ws::kProtocolError},
        {"a length in a longer form than needed", Frame(ws::kBinary, "abc", true, 1, 126),
         ws::kProtocolError},
        {"a 64-bit length for a 16-bit size",
         Frame(ws::kBinary, std::string(300, 'x'), true, 1, 127), ws::kProtocolError},
        {"a 64-bit length with its top bit set",
         std::string("\x82\xFF\x80\0\0\0\0\0\0\x01", 10) + "mask", ws::kProtocolError},
        {"a close of one byte", Frame(ws::kClose, "x"), ws::kProtocolError},
        {"a close code no peer may send", Frame(ws::kClose, ws::ClosePayload(1005)),
         ws::kProtocolError},
        {"a close code below 1000", Frame(ws::kClose, ws::ClosePayload(999)), ws::kProtocolError},
        {"a close reason that is not UTF-8", Frame(ws::kClose, ws::ClosePayload(1000) + "\xFF"),
         ws::kInvalidPayload},
        {"text that is not UTF-8", Frame(ws::kText, "{\"type\":\"\xC3\x28\"}"),
         ws::kInvalidPayload},
        {"text cut inside a letter", Frame(ws::kText, "Ba\xC4"), ws::kInvalidPayload},
        {"a frame over the limit", Frame(ws::kBinary, std::string(1025, 'x')), ws::kTooBig},
        {"fragments together over the limit",
         Frame(ws::kBinary, std::string(600, 'x'), false) +
             Frame(ws::kContinuation, std::string(600, 'x')),
         ws::kTooBig},
    };
    for (const auto& c : cases) {
        MessageReader reader(1024);
        const Seen seen = Feed(reader, c.wire, {1});
        EXPECT_EQ(seen.failed, c.code) << c.what;
        EXPECT_TRUE(seen.messages.empty()) << c.what;
    }
    // Refused from its header alone, before any of the payload is held.
    MessageReader reader(1024);
    const std::string huge = Frame(ws::kBinary, std::string(2000, 'x'));
    reader.Consume(huge.data(), 8);  // the header: 2 bytes, a 16-bit length, the key
    EXPECT_EQ(reader.event(), Event::Fail);
    EXPECT_LT(reader.buffered(), 1024u);
    // Once binary may be larger, text still may not.
    MessageReader paired(1024);
    paired.SetLimit(8 << 20);
    EXPECT_EQ(Feed(paired, Frame(ws::kText, std::string(1025, 'x')), {1}).failed, ws::kTooBig);
    // A header announcing 8 MiB gets room a step at a time as the payload comes, not at once.
    MessageReader announced(1024);
    announced.SetLimit(8 << 20);
    const std::string header = Frame(ws::kBinary, std::string(8 << 20, 'x')).substr(0, 14);
    EXPECT_EQ(announced.Consume(header.data(), header.size()), 14u);
    EXPECT_LT(announced.buffered(), 64u);
    EXPECT_TRUE(announced.NeedsRoom());
    EXPECT_LE(announced.RoomWanted(), MessageReader::kRoomStep);
    announced.Grow();
    EXPECT_LE(announced.buffered(), MessageReader::kRoomStep + 64);
    EXPECT_EQ(announced.PayloadLeft(), MessageReader::kRoomStep);
}

TEST(WsFrames, ServerHeadersUseTheShortestLengthForm) {
    std::array<std::uint8_t, 10> h{};
    EXPECT_EQ(ws::ServerHeader(ws::kBinary, 125, h), 2u);
    EXPECT_EQ(h[0], 0x82);
    EXPECT_EQ(h[1], 125);
    EXPECT_EQ(ws::ServerHeader(ws::kText, 126, h), 4u);
    EXPECT_EQ((h[2] << 8) | h[3], 126);
    EXPECT_EQ(ws::ServerHeader(ws::kBinary, 65535, h), 4u);
    EXPECT_EQ(ws::ServerHeader(ws::kBinary, 65536, h), 10u);
    EXPECT_EQ(h[1], 127);
    EXPECT_EQ(h[7], 1);
    EXPECT_EQ(h[9], 0);
}
