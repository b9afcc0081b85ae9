#include <gtest/gtest.h>

#include <stdexcept>

#include "crypto/credentials.hpp"
#include "crypto/crypto_session.hpp"
#include "crypto/crypto_session_test_access.hpp"
#include "test_util.hpp"

namespace {

struct Pair {
    std::string key = kl::GenerateConnectionKey();
    std::string id = "555444333";
    std::string nonce = kl::RandomHex(16);
    kl::CryptoSession host{key, id, nonce, true};
    kl::CryptoSession viewer{key, id, nonce, false};
};

std::uint64_t SequenceOf(const std::vector<std::uint8_t>& e) {
    std::uint64_t s = 0;
    for (int i = 4; i < 12; ++i) s = (s << 8) | e[i];
    return s;
}

bool Opens(kl::CryptoSession& s, const std::vector<std::uint8_t>& e) {
    std::uint8_t kind;
    std::vector<std::uint8_t> out;
    return s.Decrypt(e, kind, out);
}

}  // namespace

TEST(Envelope, SequenceStartsAtOneAndCounts) {
    Pair p;
    auto a = p.host.Encrypt(1, kltest::Bytes("frame"));
    auto b = p.host.Encrypt(1, kltest::Bytes("frame"));
    EXPECT_EQ(SequenceOf(a), 1u);
    EXPECT_EQ(SequenceOf(b), 2u);
    EXPECT_NE(a, b);
    EXPECT_EQ(a.size(), 5u + kl::kEnvelopeOverhead);
}

TEST(Envelope, EmptyPlaintextRoundTrips) {
    Pair p;
    auto e = p.viewer.Encrypt(2, nullptr, 0);
    ASSERT_EQ(e.size(), 28u);
    std::uint8_t kind = 0;
    std::vector<std::uint8_t> out{1, 2, 3};
    ASSERT_TRUE(p.host.Decrypt(e, kind, out));
    EXPECT_EQ(kind, 2);
    EXPECT_TRUE(out.empty());
}

TEST(Envelope, AcceptsOnlyTheNextSequenceNumber) {
    Pair p;
    auto e1 = p.host.Encrypt(1, kltest::Bytes("1"));
    auto e2 = p.host.Encrypt(1, kltest::Bytes("2"));
    auto e3 = p.host.Encrypt(1, kltest::Bytes("3"));
    EXPECT_TRUE(Opens(p.viewer, e1));
    EXPECT_FALSE(Opens(p.viewer, e1)) << "replayed";
    EXPECT_FALSE(Opens(p.viewer, e3)) << "2 was dropped on the way";
    EXPECT_TRUE(Opens(p.viewer, e2)) << "the refused gap left the counter alone";
    EXPECT_FALSE(Opens(p.viewer, e2));
    EXPECT_TRUE(Opens(p.viewer, e3));
}

TEST(Envelope, TamperingAnywhereIsRefusedAndGenuineStillOpens) {
    Pair p;
    auto genuine = p.host.Encrypt(3, kltest::Bytes("0123456789abcdef"));
    // Every bit of the header's kind and sequence, of the ciphertext and of the tag.
    for (std::size_t byte = 3; byte < genuine.size(); ++byte) {
        for (int bit = 0; bit < 8; ++bit) {
            auto forged = genuine;
            forged[byte] ^= static_cast<std::uint8_t>(1u << bit);
            std::uint8_t kind = 9;
            std::vector<std::uint8_t> out{7};
            ASSERT_FALSE(p.viewer.Decrypt(forged, kind, out)) << byte << ":" << bit;
            EXPECT_EQ(kind, 0);
            EXPECT_TRUE(out.empty());
        }
    }
    EXPECT_TRUE(Opens(p.viewer, genuine));
}

TEST(Envelope, RefusesMalformedFramingWithoutTouchingTheSession) {
    Pair p;
    auto genuine = p.host.Encrypt(1, kltest::Bytes("x"));
    auto withByte = [&](std::size_t i, std::uint8_t v) {
        auto e = genuine;
        e[i] = v;
        return e;
    };
    EXPECT_FALSE(Opens(p.viewer, withByte(0, 'k')));
    EXPECT_FALSE(Opens(p.viewer, withByte(1, 'X')));
    EXPECT_FALSE(Opens(p.viewer, withByte(2, 1)));
    EXPECT_FALSE(Opens(p.viewer, withByte(2, 3)));
    EXPECT_FALSE(Opens(p.viewer, withByte(3, 0)));
    EXPECT_FALSE(Opens(p.viewer, std::vector<std::uint8_t>(genuine.begin(), genuine.begin() + 27)));
    EXPECT_FALSE(Opens(p.viewer, {}));
    std::uint8_t kind;
    std::vector<std::uint8_t> out;
    EXPECT_FALSE(p.viewer.Decrypt(nullptr, 100, kind, out));
    // Sequence 0 is never valid, even with a fresh counter.
    auto zero = genuine;
    for (int i = 4; i < 12; ++i) zero[i] = 0;
    EXPECT_FALSE(Opens(p.viewer, zero));
    EXPECT_TRUE(Opens(p.viewer, genuine));
}

TEST(Envelope, WrongDirectionOrSessionCannotOpen) {
    Pair p, other;
    auto e = p.host.Encrypt(1, kltest::Bytes("mine"));
    EXPECT_FALSE(Opens(p.host, e));        // own send key is not the receive key
    EXPECT_FALSE(Opens(other.viewer, e));  // another nonce, unrelated keys
    kl::CryptoSession secondViewer(p.key, p.id, p.nonce, false);
    auto v = p.viewer.Encrypt(2, kltest::Bytes("{}"));
    EXPECT_FALSE(Opens(secondViewer, v));  // two viewers do not talk to each other
    EXPECT_TRUE(Opens(p.viewer, e));
}

TEST(Envelope, SizeAndKindLimits) {
    Pair p;
    auto expectRefused = [&](std::uint8_t kind, std::size_t size) {
        std::vector<std::uint8_t> plain(size);
        try {
            p.host.Encrypt(kind, plain);
            ADD_FAILURE() << "accepted kind " << int(kind) << " size " << size;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), "Invalid encrypted message size or kind");
        }
    };
    expectRefused(0, 10);
    expectRefused(1, kl::kMaxPlaintextSize + 1);
    // Refusals consumed no sequence number.
    auto first = p.host.Encrypt(255, nullptr, 0);
    EXPECT_EQ(SequenceOf(first), 1u);
    EXPECT_TRUE(Opens(p.viewer, first));

    std::vector<std::uint8_t> largest(kl::kMaxPlaintextSize, 0x42);
    auto big = p.host.Encrypt(1, largest);
    ASSERT_EQ(big.size(), kl::kMaxEnvelopeSize);
    std::uint8_t kind;
    std::vector<std::uint8_t> out;
    ASSERT_TRUE(p.viewer.Decrypt(big, kind, out));
    EXPECT_EQ(out, largest);
    auto oversized = big;
    oversized.push_back(0);
    EXPECT_FALSE(p.viewer.Decrypt(oversized, kind, out));
}

TEST(Envelope, SequenceExhaustionRefusesAfterTheLargestNumber) {
    Pair p;
    kl::CryptoSessionTestAccess::SetSendSequence(p.host, 0xfffffffffffffffeull);
    auto last = p.host.Encrypt(1, nullptr, 0);
    EXPECT_EQ(SequenceOf(last), 0xffffffffffffffffull);
    EXPECT_FALSE(Opens(p.viewer, last)) << "numbers 1 to 2^64-2 never arrived";
    kl::CryptoSessionTestAccess::SetReceiveSequence(p.viewer, 0xfffffffffffffffeull);
    EXPECT_TRUE(Opens(p.viewer, last));
    EXPECT_FALSE(Opens(p.viewer, last)) << "nothing follows the largest number";
    try {
        p.host.Encrypt(1, nullptr, 0);
        ADD_FAILURE();
    } catch (const std::overflow_error& e) {
        EXPECT_STREQ(e.what(), "Encryption sequence exhausted");
    }
}
