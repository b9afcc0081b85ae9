#include <gtest/gtest.h>

#include <set>
#include <stdexcept>

#include "crypto/credentials.hpp"
#include "crypto/encoding.hpp"
#include "test_util.hpp"

TEST(ConnectionId, AcceptsOnlyNineDigitsWithoutLeadingZero) {
    EXPECT_TRUE(kl::IsValidConnectionId("100000000"));
    EXPECT_TRUE(kl::IsValidConnectionId("999999999"));
    EXPECT_FALSE(kl::IsValidConnectionId("012345678"));
    EXPECT_FALSE(kl::IsValidConnectionId("12345678"));
    EXPECT_FALSE(kl::IsValidConnectionId("1234567890"));
    EXPECT_FALSE(kl::IsValidConnectionId("12345678a"));
    EXPECT_FALSE(kl::IsValidConnectionId(std::string("12345678\0", 9)));
    EXPECT_FALSE(kl::IsValidConnectionId(""));
}

TEST(ConnectionId, GeneratedIdsAreValidAndVary) {
    std::set<std::string> seen;
    for (int i = 0; i < 200; ++i) {
        std::string id = kl::GenerateConnectionId();
        ASSERT_TRUE(kl::IsValidConnectionId(id)) << id;
        seen.insert(id);
    }
    EXPECT_GT(seen.size(), 195u);
}

TEST(ConnectionId, NormalisationKeepsOnlyDigits) {
    EXPECT_EQ(kl::NormalizeConnectionId(L"123 456 789"), "123456789");
    EXPECT_EQ(kl::NormalizeConnectionId(L"ID: 12-34\u0663x5"),
              "12345");  // Arabic-Indic digit dropped
    EXPECT_EQ(kl::NormalizeConnectionId(L""), "");
}

TEST(ConnectionKey, LastCharacterMustCarryZeroPadding) {
    const std::string body = "ABCDEFGHIJKLMNOPQRSTUVWXY";
    for (char c : std::string("AEIMQUY4")) EXPECT_TRUE(kl::IsValidConnectionKey(body + c)) << c;
    for (char c : std::string("BCDFGHJKLNOPRSTVWXZ23567"))
        EXPECT_FALSE(kl::IsValidConnectionKey(body + c)) << c;
}

TEST(ConnectionKey, RejectsWrongLengthAndForeignCharacters) {
    EXPECT_FALSE(kl::IsValidConnectionKey("AAAAAAAAAAAAAAAAAAAAAAAAA"));
    EXPECT_FALSE(kl::IsValidConnectionKey("AAAAAAAAAAAAAAAAAAAAAAAAAAA"));
    for (char c : std::string("0189=a_"))
        EXPECT_FALSE(kl::IsValidConnectionKey(std::string(12, 'A') + c + std::string(13, 'A')))
            << c;
}

TEST(ConnectionKey, NormalisationUndoesTypingHabits) {
    EXPECT_EQ(kl::NormalizeConnectionKey("abcde-fghij klmno\tpqrst uvwxy-a\r\n"),
              "ABCDEFGHIJKLMNOPQRSTUVWXYA");
    EXPECT_TRUE(
        kl::IsValidConnectionKey(kl::NormalizeConnectionKey("abcde-fghij klmno pqrst uvwxy a\n")));
    // Digits outside the alphabet, '=' and non-ASCII letters survive and stay invalid.
    EXPECT_FALSE(
        kl::IsValidConnectionKey(kl::NormalizeConnectionKey("abcde fghij klmno pqrst uvwx0 a")));
    EXPECT_FALSE(
        kl::IsValidConnectionKey(kl::NormalizeConnectionKey("abcde fghij klmno pqrst uvwx= a")));
    EXPECT_EQ(kl::NormalizeConnectionKey("\xc3\xa7i"), "\xc3\xa7I");
}

TEST(ConnectionKey, EncodeDecodeRoundTrip) {
    std::uint8_t zero[16] = {};
    EXPECT_EQ(kl::Base32Encode(zero), std::string(26, 'A'));
    std::uint8_t out[16];
    std::fill(out, out + 16, 0xee);
    kl::DecodeConnectionKey(std::string(26, 'A'), out);
    EXPECT_TRUE(std::all_of(out, out + 16, [](std::uint8_t b) { return b == 0; }));

    for (int i = 0; i < 50; ++i) {
        std::string key = kl::GenerateConnectionKey();
        ASSERT_TRUE(kl::IsValidConnectionKey(key)) << key;
        kl::DecodeConnectionKey(key, out);
        EXPECT_EQ(kl::Base32Encode(out), key);
    }
    const auto ones = kltest::Unhex("ffffffffffffffffffffffffffffffff");
    EXPECT_EQ(kl::Base32Encode(ones.data()), "77777777777777777777777774");
}

TEST(ConnectionKey, DecodingInvalidKeyThrowsBeforeWriting) {
    std::uint8_t out[16];
    std::fill(out, out + 16, 0x33);
    try {
        kl::DecodeConnectionKey("AAAAAAAAAAAAAAAAAAAAAAAAAB", out);
        ADD_FAILURE();
    } catch (const std::invalid_argument& e) {
        EXPECT_STREQ(e.what(), "Invalid connection secret");
    }
    EXPECT_TRUE(std::all_of(out, out + 16, [](std::uint8_t b) { return b == 0x33; }));
}

TEST(Hex, DecodeAcceptsOnlyExactLowerCase) {
    std::uint8_t out[16];
    EXPECT_FALSE(kl::HexDecode("00112233445566778899AABBCCDDEEFF", out, 16));
    ASSERT_TRUE(kl::HexDecode("00112233445566778899aabbccddeeff", out, 16));
    EXPECT_EQ(out[0], 0x00);
    EXPECT_EQ(out[15], 0xff);
    EXPECT_FALSE(kl::HexDecode(std::string(31, 'a'), out, 16));
    EXPECT_FALSE(kl::HexDecode(std::string(33, 'a'), out, 16));
    EXPECT_FALSE(kl::HexDecode("0g", out, 1));
    EXPECT_TRUE(kl::HexDecode("", nullptr, 0));
    EXPECT_FALSE(kl::HexDecode("00", out, static_cast<std::size_t>(-1)));
}

TEST(RandomHex, LengthsAndLimits) {
    EXPECT_EQ(kl::RandomHex(0), "");
    std::string nonce = kl::RandomHex(16);
    ASSERT_EQ(nonce.size(), 32u);
    std::uint8_t bytes[16];
    EXPECT_TRUE(kl::HexDecode(nonce, bytes, 16));
    EXPECT_NE(kl::RandomHex(16), nonce);
    try {
        kl::RandomHex(4294967296ull);
        ADD_FAILURE();
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "Random buffer too large");
    }
}
