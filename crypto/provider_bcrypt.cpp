// Provider on Windows CNG (bcrypt).
#include <windows.h>
#include <bcrypt.h>

#include <climits>
#include <stdexcept>

#include "base/unique_any.hpp"
#include "crypto/provider.hpp"

namespace kl {

namespace {

void CloseAlgorithm(BCRYPT_ALG_HANDLE h) noexcept {
    BCryptCloseAlgorithmProvider(h, 0);
}
void DestroyHash(BCRYPT_HASH_HANDLE h) noexcept {
    BCryptDestroyHash(h);
}
void DestroyKey(BCRYPT_KEY_HANDLE h) noexcept {
    BCryptDestroyKey(h);
}

using unique_bcrypt_algorithm = unique_any<BCRYPT_ALG_HANDLE, CloseAlgorithm, nullptr>;
using unique_bcrypt_hash = unique_any<BCRYPT_HASH_HANDLE, DestroyHash, nullptr>;
using unique_bcrypt_key = unique_any<BCRYPT_KEY_HANDLE, DestroyKey, nullptr>;

bool Failed(NTSTATUS status) noexcept {
    return status < 0;
}

BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO MakeAuthInfo(const std::uint8_t* nonce12,
                                                   const std::uint8_t* aad, std::size_t aadLength,
                                                   const std::uint8_t* tag16) {
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info;
    BCRYPT_INIT_AUTH_MODE_INFO(info);
    info.pbNonce = const_cast<PUCHAR>(nonce12);
    info.cbNonce = 12;
    info.pbAuthData = const_cast<PUCHAR>(aad);
    info.cbAuthData = static_cast<ULONG>(aadLength);
    info.pbTag = const_cast<PUCHAR>(tag16);
    info.cbTag = 16;
    return info;
}

}  // namespace

bool SystemRandom(std::uint8_t* out, std::size_t n) noexcept {
    while (n > 0) {
        ULONG chunk = n > ULONG_MAX ? ULONG_MAX : static_cast<ULONG>(n);
        if (Failed(BCryptGenRandom(nullptr, out, chunk, BCRYPT_USE_SYSTEM_PREFERRED_RNG)))
            return false;
        out += chunk;
        n -= chunk;
    }
    return true;
}

void HmacSha256(const std::uint8_t* key, std::size_t keyLength, const std::uint8_t* data,
                std::size_t dataLength, std::uint8_t* out32) {
    if (keyLength > 4294967295ull || dataLength > 4294967295ull)
        throw std::length_error("HMAC input too large");
    static UCHAR empty = 0;
    // Declared before the hash so the hash is destroyed first.
    unique_bcrypt_algorithm algorithm;
    if (Failed(BCryptOpenAlgorithmProvider(algorithm.put(), BCRYPT_SHA256_ALGORITHM, nullptr,
                                           BCRYPT_ALG_HANDLE_HMAC_FLAG)))
        throw std::runtime_error("HMAC provider failed");
    unique_bcrypt_hash hash;
    if (Failed(BCryptCreateHash(algorithm.get(), hash.put(), nullptr, 0,
                                keyLength ? const_cast<PUCHAR>(key) : &empty,
                                static_cast<ULONG>(keyLength), 0)))
        throw std::runtime_error("HMAC key failed");
    if (dataLength != 0 && Failed(BCryptHashData(hash.get(), const_cast<PUCHAR>(data),
                                                 static_cast<ULONG>(dataLength), 0)))
        throw std::runtime_error("HMAC update failed");
    if (Failed(BCryptFinishHash(hash.get(), out32, 32, 0)))
        throw std::runtime_error("HMAC finish failed");
}

struct AesGcmKeys::Handles {
    // Member order gives the destruction order: receive key, send key, then the provider.
    unique_bcrypt_algorithm aesAlgorithm;
    unique_bcrypt_key sendKey;
    unique_bcrypt_key receiveKey;
};

AesGcmKeys::AesGcmKeys(const std::uint8_t* sendKey32, const std::uint8_t* receiveKey32)
    : handles_(std::make_unique<Handles>()) {
    Handles& h = *handles_;
    if (Failed(BCryptOpenAlgorithmProvider(h.aesAlgorithm.put(), BCRYPT_AES_ALGORITHM, nullptr, 0)))
        throw std::runtime_error("AES provider failed");
    static const wchar_t kGcm[] = BCRYPT_CHAIN_MODE_GCM;
    if (Failed(BCryptSetProperty(h.aesAlgorithm.get(), BCRYPT_CHAINING_MODE,
                                 reinterpret_cast<PUCHAR>(const_cast<wchar_t*>(kGcm)), sizeof kGcm,
                                 0)))
        throw std::runtime_error("AES-GCM mode unavailable");
    BCRYPT_AUTH_TAG_LENGTHS_STRUCT lengths{};
    ULONG got = 0;
    if (Failed(BCryptGetProperty(h.aesAlgorithm.get(), BCRYPT_AUTH_TAG_LENGTH,
                                 reinterpret_cast<PUCHAR>(&lengths), sizeof lengths, &got, 0)))
        throw std::runtime_error("AES-GCM tag query failed");
    if (lengths.dwMinLength > 16 || lengths.dwMaxLength < 16)
        throw std::runtime_error("AES-GCM 128-bit tags unavailable");
    if (Failed(BCryptGenerateSymmetricKey(h.aesAlgorithm.get(), h.sendKey.put(), nullptr, 0,
                                          const_cast<PUCHAR>(sendKey32), 32, 0)) ||
        Failed(BCryptGenerateSymmetricKey(h.aesAlgorithm.get(), h.receiveKey.put(), nullptr, 0,
                                          const_cast<PUCHAR>(receiveKey32), 32, 0)))
        throw std::runtime_error("AES key import failed");
}

AesGcmKeys::~AesGcmKeys() = default;

bool AesGcmKeys::Seal(const std::uint8_t* nonce12, const std::uint8_t* aad, std::size_t aadLength,
                      const std::uint8_t* plaintext, std::size_t length, std::uint8_t* ciphertext,
                      std::uint8_t* tag16, std::size_t& produced) noexcept {
    produced = 0;
    if (length > ULONG_MAX || aadLength > ULONG_MAX) return false;
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = MakeAuthInfo(nonce12, aad, aadLength, tag16);
    ULONG result = 0;
    if (Failed(BCryptEncrypt(handles_->sendKey.get(), const_cast<PUCHAR>(plaintext),
                             static_cast<ULONG>(length), &info, nullptr, 0, ciphertext,
                             static_cast<ULONG>(length), &result, 0)))
        return false;
    produced = result;
    return true;
}

bool AesGcmKeys::Open(const std::uint8_t* nonce12, const std::uint8_t* aad, std::size_t aadLength,
                      const std::uint8_t* ciphertext, std::size_t length, const std::uint8_t* tag16,
                      std::uint8_t* plaintext, std::size_t& produced) noexcept {
    produced = 0;
    if (length > ULONG_MAX || aadLength > ULONG_MAX) return false;
    BCRYPT_AUTHENTICATED_CIPHER_MODE_INFO info = MakeAuthInfo(nonce12, aad, aadLength, tag16);
    ULONG result = 0;
    if (Failed(BCryptDecrypt(handles_->receiveKey.get(), const_cast<PUCHAR>(ciphertext),
                             static_cast<ULONG>(length), &info, nullptr, 0, plaintext,
                             static_cast<ULONG>(length), &result, 0)))
        return false;
    produced = result;
    return true;
}

}  // namespace kl
