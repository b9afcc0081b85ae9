// The host role: registers an ID, answers requests, sends Ready and frames, prints input.
#include <boost/asio/steady_timer.hpp>
#include <chrono>
#include <optional>
#include <set>

#include "crypto/credentials.hpp"
#include "crypto/crypto_session.hpp"
#include "peer/frames.hpp"
#include "peer/peer_base.hpp"
#include "session/messages.hpp"

namespace kl::peer {

namespace {

class HostPeer final : public PeerBase {
  public:
    HostPeer(boost::asio::io_context& ioc, boost::asio::ssl::context& tls,
             const PeerOptions& options, const WsTarget& target)
        : PeerBase(ioc, tls, options, target), frameTimer_(ioc) {
        id_ = options.id.empty() ? GenerateConnectionId() : options.id;
        key_ = options.key.empty() ? GenerateConnectionKey() : NormalizeConnectionKey(options.key);
        if (!IsValidConnectionId(id_) || !IsValidConnectionKey(key_))
            Quit(kExitUsage,
                 "--id needs 9 digits (not starting with 0) and --key a valid 26-character key");
        if (options.mode == "host") {
            frames_ = options.framesDir.empty()
                          ? FrameSource::TestPattern(options.patternWidth, options.patternHeight, 8)
                          : FrameSource::FromFolder(options.framesDir);
        }
    }

    void Start() override {
        if (options_.mode == "host") Emit({{"event", "credentials"}, {"id", id_}, {"key", key_}});
        Connect();
    }

    void Leave(int code) override {
        frameTimer_.cancel();
        PeerBase::Leave(code);
    }

  private:
    void OnOpen() override { client_->SendText(BuildHostRegistration(id_)); }

    void OnText(std::string&& text) override {
        std::string type;
        const nlohmann::json message = ParseRelayText(text, type);
        if (type == "registered") {
            if (ReadNumber(message, "protocol", 0) != 2)
                Quit(kExitProtocol, "\"registered\" without protocol 2");
            Emit({{"event", "registered"}, {"id", id_}});
            if (options_.mode == "probe") Leave(kExitOk);
        } else if (type == "connectRequest") {
            OnRequest(message);
        } else if (type == "connected") {
            const std::string requestId = ReadString(message, "requestId", "");
            if (accepted_.empty() || requestId != accepted_ || sessionActive_)
                Quit(kExitProtocol, "\"connected\" for a request this host did not accept");
            sessionActive_ = true;
            Emit({{"event", "connected"}, {"requestId", requestId}});
            client_->SendBinary(Seal(*crypto_, Ready, requestId));
            ScheduleFrame(std::chrono::steady_clock::now());
        } else if (type == "peerDisconnected") {
            Emit({{"event", "peerDisconnected"},
                  {"requestId", ReadString(message, "requestId", "")}});
            const bool wasActive = sessionActive_;
            EndRequest();
            if (wasActive && !options_.stay) Leave(kExitOk);
        } else if (type == "error") {
            OnRelayError(message);
        }
    }

    void OnRequest(const nlohmann::json& message) {
        const std::string requestId = ReadString(message, "requestId", "");
        if (!IsRequestId(requestId))
            Quit(kExitProtocol, "connectRequest with a malformed requestId");
        if (sessionActive_ || !pending_.empty() || !accepted_.empty()) {
            Emit({{"event", "request"}, {"requestId", requestId}, {"ignored", "busy"}});
            return;
        }
        std::string nonce;
        const bool valid = VerifyAuthProof(key_, id_, ReadString(message, "password", ""), nonce);
        const bool replay = valid && seen_.count(nonce) != 0;
        Emit({{"event", "request"},
              {"requestId", requestId},
              {"proofValid", valid},
              {"replay", replay}});
        if (!valid || replay) {
            client_->SendText(BuildConnectResponse(requestId, false));
            return;
        }
        seen_.insert(nonce);
        if (options_.answer == "ignore") {
            pending_ = requestId;
            return;
        }
        const bool accept = options_.answer == "accept";
        if (accept) {
            crypto_ = std::make_unique<CryptoSession>(key_, id_, nonce, true);
            accepted_ = requestId;
        }
        client_->SendText(BuildConnectResponse(requestId, accept));
        Emit({{"event", "answered"}, {"requestId", requestId}, {"accepted", accept}});
    }

    void EndRequest() {
        frameTimer_.cancel();
        waiting_.reset();
        sessionActive_ = false;
        crypto_.reset();
        accepted_.clear();
        pending_.clear();
    }

    void ScheduleFrame(std::chrono::steady_clock::time_point at) {
        if (options_.fps <= 0) return;
        frameTimer_.expires_at(at);
        frameTimer_.async_wait([this, at](boost::system::error_code ec) {
            if (ec || !sessionActive_ || leaving_) return;
            SendFrame();
            if (leaving_) return;
            const auto period = std::chrono::duration_cast<std::chrono::steady_clock::duration>(
                std::chrono::duration<double>(1.0 / options_.fps));
            ScheduleFrame(at + period);
        });
    }

    void SendFrame() {
        std::string frame = frames_->Next(MonotonicNs(), options_.frameBytes);
        if (frame.size() > kMaxPlaintextSize)
            Quit(kExitUsage, "a frame is larger than the 8 MiB envelope limit");
        // Like the program: one frame on its way, and only the newest one waiting behind it. It
        // is sealed when it leaves, so a replaced frame leaves no gap in the envelope sequence.
        if (client_->queuedBytes() > 0) {
            if (waiting_) Emit({{"event", "frameReplaced"}, {"replaced", ++replaced_}});
            waiting_ = std::move(frame);
            return;
        }
        Transmit(frame);
    }

    void OnDrained() override {
        if (!waiting_ || !sessionActive_ || leaving_) return;
        const std::string frame = std::move(*waiting_);
        waiting_.reset();
        Transmit(frame);
    }

    void Transmit(const std::string& frame) {
        client_->SendBinary(Seal(*crypto_, ScreenFrame, frame));
        ++sent_;
        if (options_.frameBytes == 0 || sent_ <= 3)
            Emit({{"event", "frameSent"}, {"seq", sent_}, {"size", frame.size()}});
        if (options_.frameCount >= 0 && sent_ >= options_.frameCount) Leave(kExitOk);
    }

    void OnBinary(std::string&& bytes) override {
        if (!sessionActive_ || !crypto_)
            Quit(kExitProtocol, "a binary message arrived outside a session");
        std::uint8_t kind = 0;
        std::vector<std::uint8_t> plain;
        if (!crypto_->Decrypt(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                              kind, plain))
            Quit(kExitProtocol, "an envelope from the viewer failed authentication");
        if (kind != InputEvent)
            Quit(kExitProtocol, "the viewer sent an envelope of kind " + std::to_string(kind));
        if (plain.size() > kMaxInputEvent)
            Quit(kExitProtocol, "an input event longer than 1024 bytes");
        try {
            const auto event = ParseMessage(plain);
            Emit({{"event", "input"},
                  {"atMs", static_cast<double>(MonotonicNs()) / 1e6},
                  {"action", event.at("action").get<std::string>()},
                  {"x", ReadIntField(event, "x", 0, 65535)},
                  {"y", ReadIntField(event, "y", 0, 65535)},
                  {"button", ReadIntField(event, "button", 0, 3)},
                  {"key", ReadIntField(event, "key", -12000, 12000)}});
        } catch (const std::exception& e) {
            Quit(kExitProtocol, std::string("a malformed input event: ") + e.what());
        }
    }

    std::string id_, key_;
    std::optional<FrameSource> frames_;
    std::unique_ptr<CryptoSession> crypto_;
    std::set<std::string> seen_;
    std::string pending_, accepted_;
    bool sessionActive_ = false;
    long sent_ = 0, replaced_ = 0;
    std::optional<std::string> waiting_;
    boost::asio::steady_timer frameTimer_;
};

}  // namespace

std::unique_ptr<PeerBase> MakeHostPeer(boost::asio::io_context& ioc, boost::asio::ssl::context& tls,
                                       const PeerOptions& options, const WsTarget& target) {
    return std::make_unique<HostPeer>(ioc, tls, options, target);
}

}  // namespace kl::peer
