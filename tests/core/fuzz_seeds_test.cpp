// The crypto fuzz target's seeds open and verify under the target's own session, so fuzzing
// starts past the checks that guard everything after a successful open or verify.
#include <gtest/gtest.h>

#include "crypto/crypto_session.hpp"
#include "fuzz/crypto_fuzz_session.hpp"
#include "test_util.hpp"

TEST(FuzzSeeds, EnvelopeSeedOpensAndProofSeedVerifiesUnderTheTargetsSession) {
    const std::string envelope = kltest::ReadDataFile("../../fuzz/corpus/crypto_fuzz/envelope");
    ASSERT_GT(envelope.size(), 1u);
    EXPECT_EQ(envelope[0] % 4, 0) << "selects the envelope branch";
    kl::CryptoSession viewer(klfuzz::kKey, klfuzz::kId, klfuzz::kNonce, false);
    std::uint8_t kind = 0;
    std::vector<std::uint8_t> plain;
    EXPECT_TRUE(viewer.Decrypt(reinterpret_cast<const std::uint8_t*>(envelope.data()) + 1,
                               envelope.size() - 1, kind, plain));

    const std::string proof = kltest::ReadDataFile("../../fuzz/corpus/crypto_fuzz/proof");
    ASSERT_GT(proof.size(), 1u);
    EXPECT_EQ(proof[0] % 4, 1) << "selects the proof branch";
    std::string nonce;
    EXPECT_TRUE(kl::VerifyAuthProof(klfuzz::kKey, klfuzz::kId, proof.substr(1), nonce));
    EXPECT_EQ(nonce, klfuzz::kNonce);
}
