#pragma once
// The keys and sequence counters of one session, the authentication proof, and the
// encrypted envelope: "KL", version 2, kind, big-endian sequence, AES-256-GCM
// ciphertext and a 16-byte tag.
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <vector>
#include "base/limits.hpp"

namespace kl {

inline constexpr std::size_t kEnvelopeOverhead = 28;
inline constexpr std::size_t kMaxEnvelopeSize = kMaxMessageBytes;
inline constexpr std::size_t kMaxPlaintextSize = kMaxEnvelopeSize - kEnvelopeOverhead;  // 8388580

struct CryptoSessionState;

// Derives both direction keys of a session (32 bytes each). Throws as the session
// constructor does for a bad ID, nonce or key.
void DeriveSessionKeys(std::string_view connectionKey, std::string_view sessionId,
                       std::string_view nonceText, std::uint8_t* hostToViewer32,
                       std::uint8_t* viewerToHost32);

class CryptoSession {
  public:
    CryptoSession(std::string_view connectionKey, std::string_view sessionId,
                  std::string_view nonceText, bool isHost);
    ~CryptoSession();
    CryptoSession(const CryptoSession&) = delete;
    CryptoSession& operator=(const CryptoSession&) = delete;

    std::vector<std::uint8_t> Encrypt(std::uint8_t kind, const std::uint8_t* plaintext,
                                      std::size_t length);
    std::vector<std::uint8_t> Encrypt(std::uint8_t kind, const std::vector<std::uint8_t>& p) {
        return Encrypt(kind, p.data(), p.size());
    }
    // Judges bytes from the peer: never throws, false with kind 0 and an empty plaintext.
    bool Decrypt(const std::uint8_t* envelope, std::size_t length, std::uint8_t& outKind,
                 std::vector<std::uint8_t>& outPlaintext) noexcept;
    bool Decrypt(const std::vector<std::uint8_t>& envelope, std::uint8_t& outKind,
                 std::vector<std::uint8_t>& outPlaintext) noexcept {
        return Decrypt(envelope.data(), envelope.size(), outKind, outPlaintext);
    }

  private:
    friend struct CryptoSessionTestAccess;  // lets tests reach the end of the sequence space
    std::unique_ptr<CryptoSessionState> state_;
};

void ComputeAuthTag(std::string_view connectionKey, std::string_view sessionId,
                    std::string_view nonceText, std::uint8_t* out32);
std::string MakeAuthProof(std::string_view connectionKey, std::string_view sessionId,
                          std::string_view nonceText);
bool VerifyAuthProof(std::string_view connectionKey, std::string_view sessionId,
                     std::string_view proof, std::string& outNonce) noexcept;

}  // namespace kl
