// Provider on OpenSSL libcrypto, for the relay, the peer and the native tests.
#include <openssl/core_names.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <climits>
#include <cstring>
#include <stdexcept>

#include "crypto/provider.hpp"
#include "crypto/secure_wipe.hpp"

namespace kl {

bool SystemRandom(std::uint8_t* out, std::size_t n) noexcept {
    while (n > 0) {
        int chunk = n > INT_MAX ? INT_MAX : static_cast<int>(n);
        if (RAND_bytes(out, chunk) != 1) return false;
        out += chunk;
        n -= static_cast<std::size_t>(chunk);
    }
    return true;
}

void HmacSha256(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* data,
                std::size_t dataLength, std::uint8_t* out32) {
    if (keyLength > 4294967295ull || dataLength > 4294967295ull)
        throw std::length_error("HMAC input too large");
    static const std::uint8_t kEmpty = 0;
    struct Resources {
        EVP_MAC* mac = nullptr;
        EVP_MAC_CTX* ctx = nullptr;
        ~Resources() {
            EVP_MAC_CTX_free(ctx);
            EVP_MAC_free(mac);
        }
    } r;
    r.mac = EVP_MAC_fetch(nullptr, "HMAC", nullptr);
    if (r.mac == nullptr || (r.ctx = EVP_MAC_CTX_new(r.mac)) == nullptr)
        throw std::runtime_error("HMAC provider failed");
    char digest[] = "SHA256";
    OSSL_PARAM params[] = {OSSL_PARAM_construct_utf8_string(OSSL_MAC_PARAM_DIGEST, digest, 0),
                           OSSL_PARAM_construct_end()};
    if (EVP_MAC_init(r.ctx, keyLength ? key : &kEmpty, keyLength, params) != 1)
        throw std::runtime_error("HMAC key failed");
    if (dataLength != 0 && EVP_MAC_update(r.ctx, data, dataLength) != 1)
        throw std::runtime_error("HMAC update failed");
    std::size_t written = 0;
    if (EVP_MAC_final(r.ctx, out32, &written, 32) != 1 || written != 32)
        throw std::runtime_error("HMAC finish failed");
}

// Each context is keyed once; every message then only sets its nonce.
struct AesGcmKeys::Handles {
    EVP_CIPHER_CTX* send = nullptr;
    EVP_CIPHER_CTX* receive = nullptr;
    ~Handles() {
        EVP_CIPHER_CTX_free(receive);
        EVP_CIPHER_CTX_free(send);
    }
};

AesGcmKeys::AesGcmKeys(const std::uint8_t* sendKey32, const std::uint8_t* receiveKey32)
    : handles_(std::make_unique<Handles>()) {
    const EVP_CIPHER* cipher = EVP_aes_256_gcm();
    if (cipher == nullptr) throw std::runtime_error("AES provider failed");
    handles_->send = EVP_CIPHER_CTX_new();
    handles_->receive = EVP_CIPHER_CTX_new();
    if (handles_->send == nullptr || handles_->receive == nullptr)
        throw std::runtime_error("AES provider failed");
    if (EVP_EncryptInit_ex(handles_->send, cipher, nullptr, sendKey32, nullptr) != 1 ||
        EVP_DecryptInit_ex(handles_->receive, cipher, nullptr, receiveKey32, nullptr) != 1)
        throw std::runtime_error("AES key import failed");
}

AesGcmKeys::~AesGcmKeys() = default;

bool AesGcmKeys::Seal(const std::uint8_t* nonce12, const std::uint8_t* aad, std::size_t aadLength,
                      const std::uint8_t* plaintext, std::size_t length, std::uint8_t* ciphertext,
                      std::uint8_t* tag16, std::size_t& produced) noexcept {
    produced = 0;
    if (length > INT_MAX || aadLength > INT_MAX) return false;
    EVP_CIPHER_CTX* ctx = handles_->send;
    int out = 0, tail = 0;
    if (EVP_EncryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce12) != 1) return false;
    if (EVP_EncryptUpdate(ctx, nullptr, &out, aad, static_cast<int>(aadLength)) != 1) return false;
    if (length != 0 &&
        EVP_EncryptUpdate(ctx, ciphertext, &out, plaintext, static_cast<int>(length)) != 1)
        return false;
    if (length == 0) out = 0;
    if (EVP_EncryptFinal_ex(ctx, ciphertext + out, &tail) != 1) return false;
    if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_GET_TAG, 16, tag16) != 1) return false;
    produced = static_cast<std::size_t>(out + tail);
    return true;
}

bool AesGcmKeys::Open(const std::uint8_t* nonce12, const std::uint8_t* aad, std::size_t aadLength,
                      const std::uint8_t* ciphertext, std::size_t length, const std::uint8_t* tag16,
                      std::uint8_t* plaintext, std::size_t& produced) noexcept {
    produced = 0;
    if (length > INT_MAX || aadLength > INT_MAX) return false;
    EVP_CIPHER_CTX* ctx = handles_->receive;
    int out = 0, tail = 0;
    std::uint8_t tag[16];
    std::memcpy(tag, tag16, 16);
    if (EVP_DecryptInit_ex(ctx, nullptr, nullptr, nullptr, nonce12) != 1) return false;
    if (EVP_DecryptUpdate(ctx, nullptr, &out, aad, static_cast<int>(aadLength)) != 1) return false;
    if (length != 0 &&
        EVP_DecryptUpdate(ctx, plaintext, &out, ciphertext, static_cast<int>(length)) != 1)
        return false;
    if (length == 0) out = 0;
    if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_GCM_SET_TAG, 16, tag) != 1) return false;
    if (EVP_DecryptFinal_ex(ctx, plaintext + out, &tail) != 1) return false;
    produced = static_cast<std::size_t>(out + tail);
    return true;
}

}  // namespace kl
