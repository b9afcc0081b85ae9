#include "crypto/crypto_session.hpp"

#include <cstring>
#include <limits>
#include <mutex>
#include <stdexcept>

#include "crypto/credentials.hpp"
#include "crypto/encoding.hpp"
#include "crypto/hkdf.hpp"
#include "crypto/provider.hpp"
#include "crypto/secure_wipe.hpp"

namespace kl {

struct CryptoSessionState {
    std::mutex mutex;
    std::unique_ptr<AesGcmKeys> aes;  // algorithm, sendKey, receiveKey
    std::uint64_t sendSequence = 0;
    std::uint64_t receiveSequence = 0;

    ~CryptoSessionState() {
        sendSequence = 0;
        receiveSequence = 0;
        aes.reset();
    }
};

namespace {

constexpr char kHostToViewerLabel[] = "Kestrelink/v2/host-to-viewer|";
constexpr char kViewerToHostLabel[] = "Kestrelink/v2/viewer-to-host|";
constexpr char kAuthLabel[] = "Kestrelink/v2/auth|";

void Expand(const std::uint8_t* prk, std::string_view label, std::string_view sessionId,
            std::uint8_t* out32) {
    std::string info;
    info.reserve(label.size() + sessionId.size());
    info.append(label).append(sessionId);
    HkdfExpand(prk, reinterpret_cast<const std::uint8_t*>(info.data()), info.size(), out32, 32);
}

void WriteHeader(std::uint8_t* header, std::uint8_t kind, std::uint64_t sequence) {
    header[0] = 'K';
    header[1] = 'L';
    header[2] = 2;
    header[3] = kind;
    for (int i = 0; i < 8; ++i) header[4 + i] = static_cast<std::uint8_t>(sequence >> (56 - 8 * i));
}

void MakeNonce(std::uint64_t sequence, std::uint8_t* nonce12) {
    std::memset(nonce12, 0, 4);
    for (int i = 0; i < 8; ++i)
        nonce12[4 + i] = static_cast<std::uint8_t>(sequence >> (56 - 8 * i));
}

std::uint64_t ReadSequence(const std::uint8_t* header) {
    std::uint64_t s = 0;
    for (int i = 0; i < 8; ++i) s = (s << 8) | header[4 + i];
    return s;
}

}  // namespace

void DeriveSessionKeys(std::string_view connectionKey, std::string_view sessionId,
                       std::string_view nonceText, std::uint8_t* hostToViewer32,
                       std::uint8_t* viewerToHost32) {
    std::uint8_t salt[16], ikm[16], prk[32];
    ScopedWipe wipeSalt(salt, sizeof salt), wipeIkm(ikm, sizeof ikm), wipePrk(prk, sizeof prk);
    if (!IsValidConnectionId(sessionId)) throw std::invalid_argument("Invalid session ID");
    if (!HexDecode(nonceText, salt, 16)) throw std::invalid_argument("Invalid session nonce");
    DecodeConnectionKey(connectionKey, ikm);
    HmacSha256(salt, sizeof salt, ikm, sizeof ikm, prk);  // HKDF-Extract
    Expand(prk, kHostToViewerLabel, sessionId, hostToViewer32);
    Expand(prk, kViewerToHostLabel, sessionId, viewerToHost32);
}

CryptoSession::CryptoSession(std::string_view connectionKey, std::string_view sessionId,
                             std::string_view nonceText, bool isHost)
    : state_(std::make_unique<CryptoSessionState>()) {
    std::uint8_t hostToViewer[32], viewerToHost[32];
    ScopedWipe wipeA(hostToViewer, 32), wipeB(viewerToHost, 32);
    DeriveSessionKeys(connectionKey, sessionId, nonceText, hostToViewer, viewerToHost);
    state_->aes = isHost ? std::make_unique<AesGcmKeys>(hostToViewer, viewerToHost)
                         : std::make_unique<AesGcmKeys>(viewerToHost, hostToViewer);
}

CryptoSession::~CryptoSession() = default;

std::vector<std::uint8_t> CryptoSession::Encrypt(std::uint8_t kind, const std::uint8_t* plaintext,
                                                 std::size_t length) {
    if (kind == 0 || length > kMaxPlaintextSize)
        throw std::invalid_argument("Invalid encrypted message size or kind");
    std::lock_guard<std::mutex> lock(state_->mutex);
    if (state_->sendSequence == std::numeric_limits<std::uint64_t>::max())
        throw std::overflow_error("Encryption sequence exhausted");
    std::vector<std::uint8_t> envelope(length + kEnvelopeOverhead);
    const std::uint64_t sequence = ++state_->sendSequence;
    WriteHeader(envelope.data(), kind, sequence);
    std::uint8_t nonce[12];
    MakeNonce(sequence, nonce);
    std::size_t produced = 0;
    if (!state_->aes->Seal(nonce, envelope.data(), 12, length ? plaintext : nullptr, length,
                           envelope.data() + 12, envelope.data() + 12 + length, produced))
        throw std::runtime_error("Authenticated encryption failed");
    if (produced != length) throw std::runtime_error("Unexpected encryption length");
    return envelope;
}

bool CryptoSession::Decrypt(const std::uint8_t* envelope, std::size_t length, std::uint8_t& outKind,
                            std::vector<std::uint8_t>& outPlaintext) noexcept {
    outKind = 0;
    SecureWipe(outPlaintext);
    outPlaintext.clear();
    if (envelope == nullptr || length < kEnvelopeOverhead || length > kMaxEnvelopeSize)
        return false;
    if (envelope[0] != 'K' || envelope[1] != 'L' || envelope[2] != 2 || envelope[3] == 0)
        return false;
    try {
        std::lock_guard<std::mutex> lock(state_->mutex);
        const std::uint64_t sequence = ReadSequence(envelope);
        // Exactly the next number: senders never skip one, so a gap means the relay dropped an
        // envelope (a lost "up" or "keyup" would leave a button or key held on the host).
        if (state_->receiveSequence == std::numeric_limits<std::uint64_t>::max() ||
            sequence != state_->receiveSequence + 1)
            return false;
        const std::size_t p = length - kEnvelopeOverhead;
        std::vector<std::uint8_t> plain(p == 0 ? 1 : p);
        std::uint8_t nonce[12];
        MakeNonce(sequence, nonce);
        std::size_t produced = 0;
        if (!state_->aes->Open(nonce, envelope, 12, p ? envelope + 12 : nullptr, p,
                               envelope + 12 + p, plain.data(), produced) ||
            produced != p) {
            SecureWipe(plain);
            return false;
        }
        plain.resize(p);
        outPlaintext = std::move(plain);
        state_->receiveSequence = sequence;
        outKind = envelope[3];
        return true;
    } catch (...) {
        return false;
    }
}

void ComputeAuthTag(std::string_view connectionKey, std::string_view sessionId,
                    std::string_view nonceText, std::uint8_t* out32) {
    std::uint8_t nonce[16];
    ScopedWipe wipeNonce(nonce, sizeof nonce);
    if (!IsValidConnectionId(sessionId) || !HexDecode(nonceText, nonce, 16))
        throw std::invalid_argument("Invalid authentication context");
    std::uint8_t keyBytes[16];
    ScopedWipe wipeKey(keyBytes, sizeof keyBytes);
    DecodeConnectionKey(connectionKey, keyBytes);
    std::string message;
    message.reserve(61);
    message.append(kAuthLabel).append(sessionId).append("|").append(nonceText);
    HmacSha256(keyBytes, sizeof keyBytes, reinterpret_cast<const std::uint8_t*>(message.data()),
               message.size(), out32);
}

std::string MakeAuthProof(std::string_view connectionKey, std::string_view sessionId,
                          std::string_view nonceText) {
    std::uint8_t tag[32];
    ScopedWipe wipe(tag, sizeof tag);
    ComputeAuthTag(connectionKey, sessionId, nonceText, tag);
    std::string proof = "v2:";
    proof.append(nonceText).append(":").append(HexEncode(tag, sizeof tag));
    return proof;
}

bool VerifyAuthProof(std::string_view connectionKey, std::string_view sessionId,
                     std::string_view proof, std::string& outNonce) noexcept {
    try {
        outNonce.clear();
    } catch (...) {
    }
    std::uint8_t received[32] = {}, expected[32] = {};
    ScopedWipe wipeReceived(received, 32), wipeExpected(expected, 32);
    if (proof.size() != 100 || proof.substr(0, 3) != "v2:" || proof[35] != ':') return false;
    const std::string_view nonceText = proof.substr(3, 32);
    if (!HexDecode(proof.substr(36, 64), received, 32)) return false;
    try {
        ComputeAuthTag(connectionKey, sessionId, nonceText, expected);
    } catch (...) {
        return false;
    }
    std::uint8_t difference = 0;
    for (int i = 0; i < 32; ++i) difference |= static_cast<std::uint8_t>(received[i] ^ expected[i]);
    if (difference != 0) return false;
    try {
        outNonce.assign(nonceText);
    } catch (...) {
        outNonce.clear();
        return false;
    }
    return true;
}

}  // namespace kl

#include "crypto/crypto_session_test_access.hpp"

namespace kl {
void CryptoSessionTestAccess::SetSendSequence(CryptoSession& session, std::uint64_t value) {
    std::lock_guard<std::mutex> lock(session.state_->mutex);
    session.state_->sendSequence = value;
}
void CryptoSessionTestAccess::SetReceiveSequence(CryptoSession& session, std::uint64_t value) {
    std::lock_guard<std::mutex> lock(session.state_->mutex);
    session.state_->receiveSequence = value;
}
}  // namespace kl
