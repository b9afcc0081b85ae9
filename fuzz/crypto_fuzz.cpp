// Feeds arbitrary bytes to every judge of peer data in the crypto core: none may crash,
// and the answers must be consistent with each other.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <vector>

#include "crypto/credentials.hpp"
#include "crypto/crypto_session.hpp"
#include "crypto/encoding.hpp"
#include "crypto_fuzz_session.hpp"

namespace {

using klfuzz::kId;
using klfuzz::kKey;

void Check(bool condition) {
    if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) return 0;
    const std::uint8_t selector = data[0];
    const std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    switch (selector % 4) {
        case 0: {  // envelopes into a fresh session, as the first message a viewer opens
            kl::CryptoSession viewer(kKey, kId, klfuzz::kNonce, false);
            std::uint8_t kind = 7;
            std::vector<std::uint8_t> out{1};
            const bool ok = viewer.Decrypt(data + 1, size - 1, kind, out);
            Check(ok || (kind == 0 && out.empty()));
            if (ok) {
                // What opened is what was sealed: the same length less the framing, a real kind,
                // and never twice.
                Check(kind != 0 && out.size() + kl::kEnvelopeOverhead == size - 1);
                std::uint8_t again = 7;
                std::vector<std::uint8_t> replay;
                Check(!viewer.Decrypt(data + 1, size - 1, again, replay) && again == 0 &&
                      replay.empty());
            }
            break;
        }
        case 1: {
            std::string nonce = "x";
            const bool ok = kl::VerifyAuthProof(kKey, kId, text, nonce);
            Check(ok ? nonce.size() == 32 : nonce.empty());
            // A proof that verifies is exactly the one the key makes for its nonce.
            if (ok) Check(kl::MakeAuthProof(kKey, kId, nonce) == text);
            break;
        }
        case 2: {
            std::vector<std::uint8_t> out(text.size() / 2 + 1);
            if (kl::HexDecode(text, out.data(), text.size() / 2))
                Check(kl::HexEncode(out.data(), text.size() / 2) == text);
            break;
        }
        case 3: {
            std::string key = kl::NormalizeConnectionKey(text);
            if (kl::IsValidConnectionKey(key)) {
                std::uint8_t bytes[16];
                kl::DecodeConnectionKey(key, bytes);
                // A valid key has exactly one byte value and encodes back to itself.
                std::string again = kl::Base32Encode(bytes);
                Check(again == key);
            } else {
                std::uint8_t bytes[16];
                try {
                    kl::DecodeConnectionKey(key, bytes);
                    std::abort();
                } catch (const std::invalid_argument&) {
                }
            }
            break;
        }
    }
    return 0;
}
