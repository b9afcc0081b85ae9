#include <gtest/gtest.h>

#include <functional>
#include <stdexcept>

#include "session/messages.hpp"

using nlohmann::json;

namespace {

template <typename E>
std::string ThrownText(const std::function<void()>& f) {
    try {
        f();
    } catch (const E& e) {
        return e.what();
    } catch (const std::exception& e) {
        return std::string("other: ") + e.what();
    }
    return "no exception";
}

}  // namespace

TEST(Messages, BuildersSerialiseCompactlyWithSortedKeys) {
    EXPECT_EQ(kl::BuildHostRegistration("482915037"),
              R"({"protocol":2,"role":"host","sessionId":"482915037","type":"register"})");
    EXPECT_EQ(
        kl::BuildViewerRegistration("482915037", "v2:p"),
        R"({"password":"v2:p","protocol":2,"role":"viewer","sessionId":"482915037","type":"register"})");
    EXPECT_EQ(kl::BuildConnectResponse("ab", false),
              R"({"accepted":false,"requestId":"ab","type":"connectResponse"})");
    EXPECT_EQ(kl::BuildInputEvent("move", 32767, 100, 1, 0),
              R"({"action":"move","button":1,"key":0,"x":32767,"y":100})");
    EXPECT_EQ(kl::BuildError("Bağlantı reddedildi."),
              "{\"message\":\"Bağlantı reddedildi.\",\"type\":\"error\"}");
    EXPECT_EQ(kl::BuildRegistered(), R"({"protocol":2,"type":"registered"})");
    // Invalid UTF-8 cannot be serialised.
    EXPECT_THROW(kl::BuildError("\xff"), json::type_error);
}

TEST(Messages, SizeGateAcceptsExactlyTheLimit) {
    EXPECT_NO_THROW(kl::CheckTextSize(16384));
    EXPECT_EQ(ThrownText<std::runtime_error>([] { kl::CheckTextSize(16385); }), "text limit");
}

TEST(Messages, NestingDeeperThanFourIsRefused) {
    EXPECT_EQ(
        ThrownText<std::runtime_error>([] { kl::ParseMessage(R"({"type":"x","a":[[[[1]]]]})"); }),
        "message nesting");
    EXPECT_NO_THROW(kl::ParseMessage(R"({"type":"x","a":[[[1]]]})"));
    EXPECT_NO_THROW(kl::ParseMessage(R"({"type":"x","a":[[[[]]]]})"));
    EXPECT_THROW(kl::ParseMessage(R"({"type":"x"} junk)"), json::parse_error);
    EXPECT_THROW(kl::ParseMessage(R"({"type":"x" /* c */})"), json::parse_error);
    EXPECT_THROW(kl::ParseMessage(""), json::parse_error);
}

TEST(Messages, StringReaderNeedsObjectAndString) {
    EXPECT_EQ(kl::ReadString(json::parse(R"({"a":1})"), "type", ""), "");
    EXPECT_EQ(kl::ReadString(json::parse(R"({"type":"connected"})"), "type", ""), "connected");
    auto array = json::parse("[1]");
    EXPECT_NE(ThrownText<json::type_error>([&] {
                  kl::ReadString(array, "type", "");
              }).find("cannot use value() with"),
              std::string::npos);
    auto number = json::parse(R"({"message":5})");
    EXPECT_NE(ThrownText<json::type_error>([&] {
                  kl::ReadString(number, "message", "");
              }).find("type must be string, but is"),
              std::string::npos);
}

TEST(Messages, NumberReaderTruncatesAndRefusesStrings) {
    EXPECT_EQ(kl::ReadNumber(json::parse(R"({"protocol":2.0})"), "protocol", 0), 2);
    EXPECT_EQ(kl::ReadNumber(json::parse(R"({"protocol":2.7})"), "protocol", 0), 2);
    EXPECT_EQ(kl::ReadNumber(json::parse(R"({"protocol":-2.7})"), "protocol", 0), -2);
    EXPECT_EQ(kl::ReadNumber(json::parse(R"({"protocol":true})"), "protocol", 0), 1);
    EXPECT_EQ(kl::ReadNumber(json::parse(R"({})"), "protocol", 0), 0);
    // Beyond any 64-bit integer: saturates rather than overflowing the conversion.
    EXPECT_EQ(kl::ReadNumber(json::parse(R"({"protocol":1e300})"), "protocol", 0), INT64_MAX);
    EXPECT_EQ(kl::ReadNumber(json::parse(R"({"protocol":18446744073709551615})"), "protocol", 0),
              INT64_MAX);
    auto text = json::parse(R"({"protocol":"2"})");
    EXPECT_NE(ThrownText<json::type_error>([&] {
                  kl::ReadNumber(text, "protocol", 0);
              }).find("type must be number, but is"),
              std::string::npos);
    auto bare = json::parse(R"("registered")");
    EXPECT_THROW(kl::ReadNumber(bare, "protocol", 0), json::type_error);
}

TEST(Messages, IntFieldRangesAndTypes) {
    auto event =
        json::parse(R"({"x":65535,"y":65536,"f":10.0,"b":true,"s":"1","k":-12000,"n":-12001})");
    EXPECT_EQ(kl::ReadIntField(event, "x", 0, 65535), 65535);
    EXPECT_EQ(ThrownText<std::runtime_error>([&] { kl::ReadIntField(event, "y", 0, 65535); }),
              "input range");
    EXPECT_EQ(ThrownText<std::runtime_error>([&] { kl::ReadIntField(event, "f", 0, 65535); }),
              "input number");
    EXPECT_EQ(ThrownText<std::runtime_error>([&] { kl::ReadIntField(event, "b", 0, 65535); }),
              "input number");
    EXPECT_EQ(ThrownText<std::runtime_error>([&] { kl::ReadIntField(event, "s", 0, 65535); }),
              "input number");
    EXPECT_EQ(kl::ReadIntField(event, "k", -12000, 12000), -12000);
    EXPECT_EQ(ThrownText<std::runtime_error>([&] { kl::ReadIntField(event, "n", -12000, 12000); }),
              "input range");
    EXPECT_EQ(ThrownText<json::out_of_range>([&] {
                  kl::ReadIntField(event, "missing", 0, 1);
              }).find("key 'missing' not found") != std::string::npos,
              true);
    auto array = json::parse("[]");
    EXPECT_NE(ThrownText<json::type_error>([&] {
                  kl::ReadIntField(array, "x", 0, 1);
              }).find("cannot use at() with"),
              std::string::npos);
}

TEST(Messages, RequestIdIsThirtyTwoLowerHex) {
    EXPECT_TRUE(kl::IsRequestId("0123456789abcdef0123456789abcdef"));
    EXPECT_FALSE(kl::IsRequestId("0123456789ABCDEF0123456789abcdef"));
    EXPECT_FALSE(kl::IsRequestId("0123456789abcdef0123456789abcde"));
    EXPECT_FALSE(kl::IsRequestId("0123456789abcdef0123456789abcdefa"));
    EXPECT_FALSE(kl::IsRequestId("0123456789abcdeg0123456789abcdef"));
}

TEST(Messages, RelayErrorTextKeepsItsWordsButNotItsLayout) {
    EXPECT_EQ(kl::CleanRelayMessage("Bu ID başka bir bilgisayarda kullanımda."),
              "Bu ID başka bir bilgisayarda kullanımda.");
    // Bidi overrides, isolates and marks, zero-width and tag characters vanish.
    EXPECT_EQ(kl::CleanRelayMessage(
                  "\u202EAB\u202C\u2066C\u2069\u200E\u200F\u061C\u200BD\uFEFF\U000E0041E"),
              "ABCDE");
    // C0 and C1 controls, separators and odd spaces become one space; ends are trimmed.
    EXPECT_EQ(kl::CleanRelayMessage("\r\n a\tb\x1B[2Jc\u0085d\u2028e\u2029f\u00A0\u3000g \x7F"),
              "a b [2Jc d e f g");
    EXPECT_EQ(kl::CleanRelayMessage(std::string("x\0y", 3)), "x y");
    EXPECT_EQ(kl::CleanRelayMessage("\u202E\u2067 \n"), "") << "nothing visible is left";
    EXPECT_EQ(kl::CleanRelayMessage("ab\xC3"), "") << "invalid UTF-8";
    EXPECT_EQ(kl::CleanRelayMessage("\xE0\x80\xAF"), "") << "overlong";
    EXPECT_EQ(kl::CleanRelayMessage("\xED\xA0\x80"), "") << "a surrogate";
}

TEST(Messages, RelayErrorTextIsCutAtOneHundredTwentyCharacters) {
    const std::string exact = std::string(119, 'a') + "ş";
    EXPECT_EQ(kl::CleanRelayMessage(exact), exact);
    // 125 two-byte letters: 119 of them and the ellipsis, never half a letter.
    std::string turkish;
    for (int i = 0; i < 125; ++i) turkish += "ğ";
    std::string cut;
    for (int i = 0; i < 119; ++i) cut += "ğ";
    EXPECT_EQ(kl::CleanRelayMessage(turkish), cut + "…");
    // Invisible characters do not count; a space at the cut is dropped; astral letters count once.
    EXPECT_EQ(
        kl::CleanRelayMessage(std::string(118, 'b') + "\u202E\u202E c" + std::string(50, 'd')),
        std::string(118, 'b') + "…");
    std::string emoji;
    for (int i = 0; i < 121; ++i) emoji += "\U0001F600";
    const std::string shown = kl::CleanRelayMessage(emoji);
    EXPECT_EQ(shown.size(), 119u * 4 + 3);
    EXPECT_EQ(shown.substr(shown.size() - 3), "…");
}
