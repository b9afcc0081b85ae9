#include <gtest/gtest.h>

#include <nlohmann/json.hpp>
#include <stdexcept>

#include "crypto/credentials.hpp"
#include "crypto/crypto_session.hpp"
#include "crypto/crypto_session_test_access.hpp"
#include "test_util.hpp"

using kltest::Hex;
using kltest::Unhex;

namespace {

const nlohmann::json& Vectors() {
    static const nlohmann::json doc =
        nlohmann::json::parse(kltest::ReadDataFile("session-crypto.json"));
    return doc.at("cases");
}

// Seals kind/plaintext with the given sequence number by spending the numbers before it.
std::vector<std::uint8_t> SealAt(kl::CryptoSession& s, std::uint8_t kind,
                                 const std::vector<std::uint8_t>& plain, std::uint64_t sequence,
                                 std::uint64_t& used) {
    while (used + 1 < sequence) {
        s.Encrypt(1, nullptr, 0);
        ++used;
    }
    ++used;
    return s.Encrypt(kind, plain);
}

}  // namespace

TEST(SessionVectors, ReproduceProofKeysAndEnvelopes) {
    ASSERT_FALSE(Vectors().empty());
    for (const auto& c : Vectors()) {
        const std::string key = c.at("key"), id = c.at("sessionId"), nonce = c.at("nonce");
        SCOPED_TRACE(id);
        std::uint8_t keyBytes[16];
        kl::DecodeConnectionKey(key, keyBytes);
        EXPECT_EQ(Hex(keyBytes, 16), c.at("keyBytes").get<std::string>());
        EXPECT_EQ(kl::MakeAuthProof(key, id, nonce), c.at("proof").get<std::string>());

        std::uint8_t h2v[32], v2h[32];
        kl::DeriveSessionKeys(key, id, nonce, h2v, v2h);
        EXPECT_EQ(Hex(h2v, 32), c.at("hostToViewerKey").get<std::string>());
        EXPECT_EQ(Hex(v2h, 32), c.at("viewerToHostKey").get<std::string>());

        kl::CryptoSession hostSeal(key, id, nonce, true), viewerSeal(key, id, nonce, false);
        std::uint64_t hostUsed = 0, viewerUsed = 0;
        for (const auto& e : c.at("envelopes")) {
            const bool fromHost = e.at("from") == "host";
            const auto plain = Unhex(e.at("plaintextHex"));
            const auto kind = e.at("kind").get<std::uint8_t>();
            const auto sequence = e.at("sequence").get<std::uint64_t>();
            const auto sealed = fromHost ? SealAt(hostSeal, kind, plain, sequence, hostUsed)
                                         : SealAt(viewerSeal, kind, plain, sequence, viewerUsed);
            EXPECT_EQ(Hex(sealed), e.at("envelopeHex").get<std::string>());

            // Opens with the receiving side's key only.
            const auto envelope = Unhex(e.at("envelopeHex"));
            kl::CryptoSession receiver(key, id, nonce, !fromHost), sender(key, id, nonce, fromHost);
            for (kl::CryptoSession* s : {&receiver, &sender})  // as if every earlier number arrived
                kl::CryptoSessionTestAccess::SetReceiveSequence(*s, sequence - 1);
            std::uint8_t outKind = 0xff;
            std::vector<std::uint8_t> out;
            EXPECT_FALSE(sender.Decrypt(envelope, outKind, out));
            ASSERT_TRUE(receiver.Decrypt(envelope, outKind, out));
            EXPECT_EQ(outKind, kind);
            EXPECT_EQ(out, plain);
        }
    }
}

TEST(AuthProof, VerifiesGenuineProofAndReturnsNonce) {
    const auto& c = Vectors().at(0);
    std::string nonce = "stale";
    EXPECT_TRUE(kl::VerifyAuthProof(c.at("key").get<std::string>(),
                                    c.at("sessionId").get<std::string>(),
                                    c.at("proof").get<std::string>(), nonce));
    EXPECT_EQ(nonce, c.at("nonce").get<std::string>());
}

TEST(AuthProof, RefusesEveryMalformedOrForgedProof) {
    const std::string key = kl::GenerateConnectionKey(), id = "123456789";
    const std::string nonce = kl::RandomHex(16);
    const std::string proof = kl::MakeAuthProof(key, id, nonce);
    ASSERT_EQ(proof.size(), 100u);

    std::vector<std::string> bad = {proof.substr(0, 99), proof + "0", "V2" + proof.substr(2),
                                    "v3" + proof.substr(2), "v2;" + proof.substr(3)};
    std::string semicolon = proof;
    semicolon[35] = ';';
    bad.push_back(semicolon);
    std::string upperTag = proof.substr(0, 36);
    for (char ch : proof.substr(36)) upperTag += static_cast<char>(std::toupper(ch));
    if (upperTag != proof) bad.push_back(upperTag);
    std::string lastBit = proof;
    const std::string digits = "0123456789abcdef";
    lastBit[99] = digits[digits.find(lastBit[99]) ^ 1];
    bad.push_back(lastBit);
    std::string upperNonce = proof;
    for (int i = 3; i < 35; ++i) upperNonce[i] = static_cast<char>(std::toupper(upperNonce[i]));
    if (upperNonce != proof) bad.push_back(upperNonce);

    for (const auto& p : bad) {
        std::string out = "x";
        EXPECT_FALSE(kl::VerifyAuthProof(key, id, p, out)) << p;
        EXPECT_TRUE(out.empty());
    }
    std::string out;
    EXPECT_FALSE(kl::VerifyAuthProof(key, "123456788", proof, out));
    EXPECT_FALSE(kl::VerifyAuthProof(kl::GenerateConnectionKey(), id, proof, out));
    EXPECT_FALSE(kl::VerifyAuthProof("not a key", id, proof, out));
    EXPECT_TRUE(kl::VerifyAuthProof(key, id, proof, out));
}

TEST(AuthProof, BuildersThrowExactTexts) {
    const std::string key(26, 'A'), nonce(32, 'a');
    std::uint8_t tag[32];
    auto expectInvalid = [&](auto&& call, const char* text) {
        try {
            call();
            ADD_FAILURE() << "no exception, expected " << text;
        } catch (const std::invalid_argument& e) {
            EXPECT_STREQ(e.what(), text);
        }
    };
    expectInvalid([&] { kl::ComputeAuthTag(key, "012345678", nonce, tag); },
                  "Invalid authentication context");
    expectInvalid([&] { kl::ComputeAuthTag(key, "123456789", std::string(32, 'A'), tag); },
                  "Invalid authentication context");
    expectInvalid([&] { kl::MakeAuthProof("AAAA", "123456789", nonce); },
                  "Invalid connection secret");
    expectInvalid([&] { kl::CryptoSession(key, "12345678", nonce, true); }, "Invalid session ID");
    expectInvalid([&] { kl::CryptoSession(key, "123456789", std::string(32, 'A'), true); },
                  "Invalid session nonce");
    expectInvalid(
        [&] { kl::CryptoSession("AAAAAAAAAAAAAAAAAAAAAAAAAB", "123456789", nonce, true); },
        "Invalid connection secret");
}
