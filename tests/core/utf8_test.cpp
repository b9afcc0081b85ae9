#include <gtest/gtest.h>

#include "base/utf8.hpp"

using kl::Utf8ToWide;
using kl::WideToUtf8;

TEST(Utf8ToWide, InvalidOrEmptyInputGivesAnEmptyText) {
    EXPECT_EQ(Utf8ToWide("Bağlantı"), L"Bağlantı");
    EXPECT_EQ(Utf8ToWide(""), L"");
    EXPECT_EQ(Utf8ToWide("ab\xC3"), L"") << "a truncated sequence";
    EXPECT_EQ(Utf8ToWide("\xFF\xFE"), L"");
    EXPECT_EQ(Utf8ToWide("\xC0\xAF"), L"") << "an overlong '/'";
    EXPECT_EQ(Utf8ToWide("\xE0\x80\xAF"), L"") << "an overlong '/' in three bytes";
    EXPECT_EQ(Utf8ToWide("\xED\xA0\x80"), L"") << "an encoded surrogate";
    EXPECT_EQ(Utf8ToWide("\xF4\x90\x80\x80"), L"") << "past U+10FFFF";
    EXPECT_EQ(Utf8ToWide("a\x80"), L"") << "a continuation byte without a lead";
}

// The relay checks text messages with the same rules, ASCII taking a shorter road.
TEST(IsUtf8, AgreesWithTheConverterOnEveryIllFormedCase) {
    for (const char* bad : {"ab\xC3", "\xFF\xFE", "\xC0\xAF", "\xE0\x80\xAF", "\xED\xA0\x80",
                            "\xF4\x90\x80\x80", "a\x80", "{\"type\":\"\xC3\x28\"}"}) {
        EXPECT_FALSE(kl::IsUtf8(bad)) << bad;
        EXPECT_EQ(Utf8ToWide(bad), L"") << bad;
    }
    EXPECT_TRUE(kl::IsUtf8("a\xC3\xA7\xE2\x80\xA6\xF0\x9F\x94\x92 Ba\xC4\x9Flant\xC4\xB1"));
    EXPECT_TRUE(kl::IsUtf8(std::string_view("a\0b", 3)));
}

TEST(Utf8ToWide, EveryLengthRoundTrips) {
    const std::string text = "a\xC3\xA7\xE2\x80\xA6\xF0\x9F\x94\x92";  // a, ç, …, 🔒
    const std::wstring wide = Utf8ToWide(text);
    if (sizeof(wchar_t) == 2)
        EXPECT_EQ(wide, (std::wstring{L'a', wchar_t(0xE7), wchar_t(0x2026), wchar_t(0xD83D),
                                      wchar_t(0xDD12)}));
    else
        EXPECT_EQ(wide.size(), 4u);
    EXPECT_EQ(WideToUtf8(wide), text);
    EXPECT_EQ(WideToUtf8(L"Oturum süresi doldu"), "Oturum s\xC3\xBCresi doldu");
}

TEST(WideToUtf8, LoneSurrogatesGiveAnEmptyText) {
    EXPECT_EQ(WideToUtf8(std::wstring{L'a', wchar_t(0xD800)}), "") << "a high surrogate at the end";
    EXPECT_EQ(WideToUtf8(std::wstring{wchar_t(0xDC00), L'a'}), "") << "a low surrogate first";
    EXPECT_EQ(WideToUtf8(std::wstring{wchar_t(0xD800), L'a'}), "")
        << "a high surrogate before a letter";
}
