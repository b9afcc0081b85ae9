#include "relay/cluster_seal.hpp"

#include <openssl/evp.h>
#include <sys/stat.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "crypto/hkdf.hpp"
#include "crypto/secure_wipe.hpp"

namespace kl::relay {

namespace {

constexpr std::uint8_t kVersion = 1;
constexpr std::size_t kMinSecret = 32;
constexpr char kSalt[] = "kestrelink relay cluster";

bool HexToBytes(std::string_view hex, std::uint8_t* out) {
    auto nibble = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < hex.size() / 2; ++i) {
        const int hi = nibble(hex[2 * i]), lo = nibble(hex[2 * i + 1]);
        if (hi < 0 || lo < 0) return false;
        out[i] = static_cast<std::uint8_t>(hi << 4 | lo);
    }
    return hex.size() % 2 == 0;
}

std::string BytesToHex(const std::uint8_t* bytes, std::size_t n) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    for (std::size_t i = 0; i < n; ++i) {
        out += kDigits[bytes[i] >> 4];
        out += kDigits[bytes[i] & 15];
    }
    return out;
}

void PutCounter(std::uint64_t v, std::uint8_t* out) {
    for (int i = 7; i >= 0; --i, v >>= 8) out[i] = static_cast<std::uint8_t>(v);
}

std::uint64_t GetCounter(const std::uint8_t* in) {
    std::uint64_t v = 0;
    for (int i = 0; i < 8; ++i) v = v << 8 | in[i];
    return v;
}

}  // namespace

std::string ReadClusterSecret(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        throw std::invalid_argument("--cluster-secret-file: cannot read " + path);
    if (!S_ISREG(st.st_mode))
        throw std::invalid_argument("--cluster-secret-file: " + path + " is not a file");
    if ((st.st_mode & (S_IRWXG | S_IRWXO)) != 0)
        throw std::invalid_argument("--cluster-secret-file: " + path +
                                    " may be read by others; make it mode 0600 or 0400");
    std::ifstream in(path, std::ios::binary);
    std::string secret((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (!in.good() && !in.eof())
        throw std::invalid_argument("--cluster-secret-file: cannot read " + path);
    while (!secret.empty() && (secret.back() == '\n' || secret.back() == '\r')) secret.pop_back();
    if (secret.size() < kMinSecret) {
        SecureWipe(secret);
        throw std::invalid_argument("--cluster-secret-file: " + path + " holds fewer than " +
                                    std::to_string(kMinSecret) +
                                    " bytes (make one with: openssl rand -hex 32)");
    }
    return secret;
}

struct ClusterSeal::Ctx {
    EVP_CIPHER_CTX* seal = EVP_CIPHER_CTX_new();
    EVP_CIPHER_CTX* open = EVP_CIPHER_CTX_new();
    ~Ctx() {
        EVP_CIPHER_CTX_free(seal);
        EVP_CIPHER_CTX_free(open);
    }
};

ClusterSeal::ClusterSeal(std::string_view secret, const std::string& node)
    : ctx_(std::make_unique<Ctx>()) {
    if (!ctx_->seal || !ctx_->open) throw std::runtime_error("cluster seal: no cipher context");
    HmacSha256(reinterpret_cast<const std::uint8_t*>(kSalt), sizeof kSalt - 1,
               reinterpret_cast<const std::uint8_t*>(secret.data()), secret.size(), prk_.data());
    static const char kNames[] = "names";
    HkdfExpand(prk_.data(), reinterpret_cast<const std::uint8_t*>(kNames), sizeof kNames - 1,
               names_.data(), names_.size());
    if (node.size() != 16 || !HexToBytes(node, self_.data()))
        throw std::invalid_argument("cluster seal: bad node id");
    own_ = SenderKey(node);
}

ClusterSeal::~ClusterSeal() {
    SecureWipe(prk_.data(), prk_.size());
    SecureWipe(names_.data(), names_.size());
    SecureWipe(own_.data(), own_.size());
    for (auto& [node, sender] : senders_) SecureWipe(sender.key.data(), sender.key.size());
}

ClusterSeal::Key ClusterSeal::SenderKey(const std::string& node) const {
    const std::string info = "seal " + node;
    Key key{};
    HkdfExpand(prk_.data(), reinterpret_cast<const std::uint8_t*>(info.data()), info.size(),
               key.data(), key.size());
    return key;
}

std::string ClusterSeal::Name(std::string_view kind, std::string_view value) const {
    std::string data(kind);
    data += '\0';
    data.append(value);
    std::uint8_t mac[32];
    HmacSha256(names_.data(), names_.size(), reinterpret_cast<const std::uint8_t*>(data.data()),
               data.size(), mac);
    return BytesToHex(mac, 16);
}

void ClusterSeal::Seal(const std::string& to, std::string_view head, std::string_view payload,
                       std::string& out) {
    std::uint8_t prefix[17], aad[25], nonce[12] = {};
    prefix[0] = kVersion;
    std::copy(self_.begin(), self_.end(), prefix + 1);
    PutCounter(++counter_, prefix + 9);
    std::copy(prefix, prefix + 17, aad);
    if (to.size() != 16 || !HexToBytes(to, aad + 17))
        throw std::invalid_argument("cluster seal: bad node id");
    std::copy(prefix + 9, prefix + 17, nonce + 4);
    const std::size_t start = out.size();
    out.append(reinterpret_cast<const char*>(prefix), sizeof prefix);
    out.resize(start + sizeof prefix + head.size() + payload.size() + 16);
    auto* cipher = reinterpret_cast<std::uint8_t*>(out.data() + start + sizeof prefix);
    EVP_CIPHER_CTX* c = ctx_->seal;
    int n = 0;
    bool ok = EVP_EncryptInit_ex(c, EVP_aes_256_gcm(), nullptr, own_.data(), nonce) == 1 &&
              EVP_EncryptUpdate(c, nullptr, &n, aad, sizeof aad) == 1;
    for (std::string_view part : {head, payload}) {
        if (!ok || part.empty()) continue;
        ok = EVP_EncryptUpdate(c, cipher, &n, reinterpret_cast<const std::uint8_t*>(part.data()),
                               static_cast<int>(part.size())) == 1;
        cipher += n;
    }
    ok = ok && EVP_EncryptFinal_ex(c, cipher, &n) == 1 &&
         EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_GET_TAG, 16, cipher + n) == 1;
    if (!ok) throw std::runtime_error("cluster seal: encryption failed");
}

ClusterSeal::Opened ClusterSeal::Open(std::string_view sealed, std::string& plain,
                                      std::string& from) {
    if (sealed.size() < kOverhead || static_cast<std::uint8_t>(sealed[0]) != kVersion ||
        sealed.size() - kOverhead > (std::size_t{1} << 30))
        return Opened::Malformed;
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(sealed.data());
    from = BytesToHex(bytes + 1, 8);
    const std::uint64_t counter = GetCounter(bytes + 9);
    auto known = senders_.find(from);
    // A replay is refused before any work; a counter is only taken once the tag holds.
    if (known != senders_.end() && counter <= known->second.last) return Opened::Replayed;
    const Key key = known != senders_.end() ? known->second.key : SenderKey(from);
    std::uint8_t aad[25], nonce[12] = {};
    std::copy(bytes, bytes + 17, aad);
    std::copy(self_.begin(), self_.end(), aad + 17);
    std::copy(bytes + 9, bytes + 17, nonce + 4);
    const std::size_t length = sealed.size() - kOverhead;
    plain.resize(length);
    EVP_CIPHER_CTX* c = ctx_->open;
    int n = 0;
    std::uint8_t tag[16];
    std::copy(bytes + sealed.size() - 16, bytes + sealed.size(), tag);
    auto* out = reinterpret_cast<std::uint8_t*>(plain.data());
    bool ok =
        EVP_DecryptInit_ex(c, EVP_aes_256_gcm(), nullptr, key.data(), nonce) == 1 &&
        EVP_DecryptUpdate(c, nullptr, &n, aad, sizeof aad) == 1 &&
        (length == 0 || EVP_DecryptUpdate(c, out, &n, bytes + 17, static_cast<int>(length)) == 1) &&
        EVP_CIPHER_CTX_ctrl(c, EVP_CTRL_GCM_SET_TAG, 16, tag) == 1;
    int tail = 0;
    ok = ok && EVP_DecryptFinal_ex(c, out + (length == 0 ? 0 : n), &tail) == 1;
    if (!ok) {
        plain.clear();
        return Opened::Forged;
    }
    if (known == senders_.end())
        senders_[from] = Sender{key, counter};
    else
        known->second.last = counter;
    return Opened::Ok;
}

}  // namespace kl::relay
