#pragma once
// Messages between relays sealed under the cluster's secret, so that Redis carries them
// without being trusted with them: a Redis client without the secret can neither read, forge
// nor replay one. Each relay seals with a key of its own, derived from the secret and its node
// id (new at every start), under a counter that only goes up; the receiver's node id is bound
// in, and a receiver takes each sender's counters in increasing order only. Keys in Redis are
// named through a keyed hash of the same secret, so they show no host ID and no address.
#include <array>
#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>

namespace kl::relay {

// The secret in `path`, which only its owner may read (mode 0600 or 0400); throws
// std::invalid_argument with the reason.
std::string ReadClusterSecret(const std::string& path);

class ClusterSeal {
  public:
    // Added to a message by sealing: version, sender, counter and tag.
    static constexpr std::size_t kOverhead = 1 + 8 + 8 + 16;
    enum class Opened { Ok, Malformed, Forged, Replayed };

    // `node`: this relay's 16 hex digit node id.
    ClusterSeal(std::string_view secret, const std::string& node);
    ~ClusterSeal();
    ClusterSeal(const ClusterSeal&) = delete;
    ClusterSeal& operator=(const ClusterSeal&) = delete;

    // Appends to `out` the sealed form of `head` followed by `payload`, for relay `to`.
    void Seal(const std::string& to, std::string_view head, std::string_view payload,
              std::string& out);
    // The plain text of a message for this relay, and its sender's node id.
    Opened Open(std::string_view sealed, std::string& plain, std::string& from);
    // A name for `value` of kind `kind` ("host", "rate") that tells nothing without the secret.
    std::string Name(std::string_view kind, std::string_view value) const;

  private:
    using Key = std::array<std::uint8_t, 32>;
    Key SenderKey(const std::string& node) const;

    Key prk_{}, names_{}, own_{};
    std::array<std::uint8_t, 8> self_{};
    std::uint64_t counter_ = 0;
    struct Sender {
        Key key;
        std::uint64_t last = 0;
    };
    std::map<std::string, Sender> senders_;  // only senders that have sealed a message
    struct Ctx;
    std::unique_ptr<Ctx> ctx_;
};

}  // namespace kl::relay
