#include <gtest/gtest.h>

#include <stdexcept>

#include "crypto/hkdf.hpp"
#include "test_util.hpp"

using kltest::Bytes;
using kltest::Hex;
using kltest::Unhex;

namespace {

std::string Hmac(const std::vector<std::uint8_t>& key, const std::vector<std::uint8_t>& data) {
    std::uint8_t out[32];
    kl::HmacSha256(key.data(), key.size(), data.data(), data.size(), out);
    return Hex(out, 32);
}

std::vector<std::uint8_t> Range(int first, int last) {
    std::vector<std::uint8_t> v;
    for (int i = first; i <= last; ++i) v.push_back(static_cast<std::uint8_t>(i));
    return v;
}

}  // namespace

TEST(HmacSha256, MatchesRfc4231Cases) {
    const std::vector<std::uint8_t> aa131(131, 0xaa);
    EXPECT_EQ(Hmac(std::vector<std::uint8_t>(20, 0x0b), Bytes("Hi There")),
              "b0344c61d8db38535ca8afceaf0bf12b881dc200c9833da726e9376c2e32cff7");
    EXPECT_EQ(Hmac(Bytes("Jefe"), Bytes("what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
    EXPECT_EQ(Hmac(std::vector<std::uint8_t>(20, 0xaa), std::vector<std::uint8_t>(50, 0xdd)),
              "773ea91e36800e46854db8ebd09181a72959098b3ef8c122d9635514ced565fe");
    EXPECT_EQ(Hmac(Range(1, 25), std::vector<std::uint8_t>(50, 0xcd)),
              "82558a389a443c0ea4cc819899f2083a85f0faa3e578f8077a2e3ff46729665b");
    // Case 5 is specified truncated to 128 bits.
    EXPECT_EQ(
        Hmac(std::vector<std::uint8_t>(20, 0x0c), Bytes("Test With Truncation")).substr(0, 32),
        "a3b6167473100ee06e0c796c2955552b");
    EXPECT_EQ(Hmac(aa131, Bytes("Test Using Larger Than Block-Size Key - Hash Key First")),
              "60e431591ee0b67f0d8a26aacbf5b77f8e0bc6213728c5140546040f0ee37f54");
    EXPECT_EQ(Hmac(aa131, Bytes("This is a test using a larger than block-size key and a larger "
                                "than block-size data. The key needs to be hashed before being "
                                "used by the HMAC algorithm.")),
              "9b09ffa71b942fcb27635fbcd5b0e944bfdc63644f0713938a7f51535c3a35e2");
}

TEST(HmacSha256, EmptyMessageStillAuthenticates) {
    // HMAC-SHA256 with key "key" over the empty message.
    EXPECT_EQ(Hmac(Bytes("key"), {}),
              "5d5d139563c95b5967b9bd9a8c9b233a9dedb45072794cd232dc1b74832607d0");
}

struct HkdfCase {
    std::vector<std::uint8_t> ikm, salt, info;
    std::string prk, okm;
};

TEST(Hkdf, MatchesRfc5869Cases) {
    const std::vector<HkdfCase> cases = {
        {std::vector<std::uint8_t>(22, 0x0b), Range(0x00, 0x0c), Range(0xf0, 0xf9),
         "077709362c2e32df0ddc3f0dc47bba6390b6c73bb50f9c3122ec844ad7c2b3e5",
         "3cb25f25faacd57a90434f64d0362f2a2d2d0a90cf1a5a4c5db02d56ecc4c5bf34007208d5b887185865"},
        {Range(0x00, 0x4f), Range(0x60, 0xaf), Range(0xb0, 0xff),
         "06a6b88c5853361a06104c9ceb35b45cef760014904671014a193f40c15fc244",
         "b11e398dc80327a1c8e7f78c596a49344f012eda2d4efad8a050cc4c19afa97c59045a99cac7827271cb41c6"
         "5e590e09da3275600c2f09b8367793a9aca3db71cc30c58179ec3e87c14c01d5c1f3434f1d87"},
        {std::vector<std::uint8_t>(22, 0x0b),
         {},
         {},
         "19ef24a32c717b167f33a91d6f648bdf96596776afdb6377ac434c1c293ccb04",
         "8da4e775a563c18f715f802a063c5a31b8a11f5c5ee1879ec3454e5f3c738d2d9d201395faa4b61a96c8"},
    };
    for (const auto& c : cases) {
        // Extract is one HMAC with the salt as key; an absent salt is 32 zero bytes.
        std::vector<std::uint8_t> salt = c.salt.empty() ? std::vector<std::uint8_t>(32, 0) : c.salt;
        std::uint8_t prk[32];
        kl::HmacSha256(salt.data(), salt.size(), c.ikm.data(), c.ikm.size(), prk);
        EXPECT_EQ(Hex(prk, 32), c.prk);
        std::vector<std::uint8_t> okm(c.okm.size() / 2);
        kl::HkdfExpand(prk, c.info.data(), c.info.size(), okm.data(), okm.size());
        EXPECT_EQ(Hex(okm), c.okm);
    }
}

TEST(Hkdf, EnforcesOutputAndInfoLimits) {
    std::uint8_t prk[32] = {1};
    std::vector<std::uint8_t> out(8161);
    std::vector<std::uint8_t> info(4097, 7);
    EXPECT_NO_THROW(kl::HkdfExpand(prk, nullptr, 0, out.data(), 32));
    EXPECT_NO_THROW(kl::HkdfExpand(prk, info.data(), 4096, out.data(), 8160));
    try {
        kl::HkdfExpand(prk, nullptr, 0, out.data(), 8161);
        ADD_FAILURE() << "8161 bytes accepted";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "HKDF output too large");
    }
    try {
        kl::HkdfExpand(prk, info.data(), 4097, out.data(), 32);
        ADD_FAILURE() << "4097-byte info accepted";
    } catch (const std::length_error& e) {
        EXPECT_STREQ(e.what(), "HKDF output too large");
    }
    // A zero-length output writes nothing.
    std::uint8_t sentinel = 0x5a;
    kl::HkdfExpand(prk, nullptr, 0, &sentinel, 0);
    EXPECT_EQ(sentinel, 0x5a);
}

TEST(Hkdf, PrefixOfLongerOutputEqualsShorterOutput) {
    std::uint8_t prk[32] = {9, 8, 7};
    std::vector<std::uint8_t> shortOut(33), longOut(100);
    kl::HkdfExpand(prk, prk, 5, shortOut.data(), shortOut.size());
    kl::HkdfExpand(prk, prk, 5, longOut.data(), longOut.size());
    EXPECT_TRUE(std::equal(shortOut.begin(), shortOut.end(), longOut.begin()));
}
