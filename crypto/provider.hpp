#pragma once
// The two things the platform's cryptographic provider supplies: random bytes and
// keyed primitives. Implemented once with bcrypt (Windows) and once with OpenSSL (Linux).
#include <cstddef>
#include <cstdint>
#include <memory>

namespace kl {

// Fills out with n bytes from the system's preferred generator; false on provider failure.
bool SystemRandom(std::uint8_t* out, std::size_t n) noexcept;

// HMAC-SHA256(key, data) into out32. Throws std::length_error "HMAC input too large" and
// std::runtime_error naming the failed step.
void HmacSha256(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* data,
                std::size_t dataLength, std::uint8_t* out32);

// One AES-256-GCM key per direction with 16-byte tags. Construction imports the send key
// first, then the receive key, and throws std::runtime_error with the failed step's text.
class AesGcmKeys {
  public:
    AesGcmKeys(const std::uint8_t* sendKey32, const std::uint8_t* receiveKey32);
    ~AesGcmKeys();
    AesGcmKeys(const AesGcmKeys&) = delete;
    AesGcmKeys& operator=(const AesGcmKeys&) = delete;

    // Encrypts length bytes with the send key; ciphertext has room for length bytes.
    // False on provider failure; produced receives the ciphertext length.
    bool Seal(const std::uint8_t* nonce12, const std::uint8_t* aad, std::size_t aadLength,
              const std::uint8_t* plaintext, std::size_t length, std::uint8_t* ciphertext,
              std::uint8_t* tag16, std::size_t& produced) noexcept;

    // Decrypts with the receive key and checks the tag; false on any failure.
    bool Open(const std::uint8_t* nonce12, const std::uint8_t* aad, std::size_t aadLength,
              const std::uint8_t* ciphertext, std::size_t length, const std::uint8_t* tag16,
              std::uint8_t* plaintext, std::size_t& produced) noexcept;

  private:
    struct Handles;
    std::unique_ptr<Handles> handles_;
};

}  // namespace kl
