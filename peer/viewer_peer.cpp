// The viewer role: requests a host with a real proof, binds on Ready, checks every frame's
// JPEG structure and reports it, and sends scripted input.
#include <boost/asio/steady_timer.hpp>
#include <cstdio>
#include <fstream>
#include <memory>

#include "crypto/credentials.hpp"
#include "crypto/crypto_session.hpp"
#include "peer/frames.hpp"
#include "peer/peer_base.hpp"
#include "screen/jpeg_check.hpp"
#include "screen/jpeg_encoder.hpp"
#include "session/messages.hpp"

namespace kl::peer {

namespace {

class ViewerPeer final : public PeerBase {
  public:
    ViewerPeer(boost::asio::io_context& ioc, boost::asio::ssl::context& tls,
               const PeerOptions& options, const WsTarget& target)
        : PeerBase(ioc, tls, options, target), inputTimer_(ioc) {}

    void OnUserSignal() override {
        inputStopped_ = true;
        inputTimer_.cancel();
        Emit({{"event", "inputStopped"}, {"atMs", static_cast<double>(MonotonicNs()) / 1e6}});
    }

    void Leave(int code) override {
        inputTimer_.cancel();
        PeerBase::Leave(code);
    }

    void Start() override {
        id_ = NormalizeConnectionId(std::wstring(options_.id.begin(), options_.id.end()));
        key_ = NormalizeConnectionKey(options_.key);
        if (id_.size() != 9 || !IsValidConnectionKey(key_))
            Quit(kExitUsage,
                 "viewer needs --id with 9 digits and --key with a valid 26-character key");
        for (const auto& input : options_.inputs) {
            try {
                const auto event = ParseMessage(input);
                inputs_.push_back(BuildInputEvent(
                    event.at("action").get<std::string>(), ReadIntField(event, "x", 0, 65535),
                    ReadIntField(event, "y", 0, 65535), ReadIntField(event, "button", 0, 3),
                    ReadIntField(event, "key", -12000, 12000)));
            } catch (const std::exception& e) {
                Quit(kExitUsage, "--input " + input + ": " + e.what());
            }
        }
        try {
            const std::string nonce = RandomHex(16);
            crypto_ = std::make_unique<CryptoSession>(key_, id_, nonce, false);
            proof_ = MakeAuthProof(key_, id_, nonce);
        } catch (const std::exception& e) {
            Quit(kExitUsage, std::string("cannot prepare the request: ") + e.what());
        }
        Connect();
    }

  private:
    void OnOpen() override { client_->SendText(BuildViewerRegistration(id_, proof_)); }

    void OnText(std::string&& text) override {
        std::string type;
        const nlohmann::json message = ParseRelayText(text, type);
        if (type == "connected") {
            if (!requestId_.empty()) Quit(kExitProtocol, "\"connected\" arrived twice");
            requestId_ = ReadString(message, "requestId", "");
            if (!IsRequestId(requestId_))
                Quit(kExitProtocol, "\"connected\" without a valid requestId");
            Emit({{"event", "connected"}, {"requestId", requestId_}});
        } else if (type == "peerDisconnected") {
            Emit({{"event", "peerDisconnected"},
                  {"requestId", ReadString(message, "requestId", "")}});
            if (bound_) Leave(kExitOk);
        } else if (type == "error") {
            OnRelayError(message);
        }
    }

    void OnBinary(std::string&& bytes) override {
        if (requestId_.empty())
            Quit(kExitProtocol, "a binary message arrived before \"connected\"");
        std::uint8_t kind = 0;
        std::vector<std::uint8_t> plain;
        if (!crypto_->Decrypt(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size(),
                              kind, plain))
            Quit(kExitProtocol, "an envelope from the host failed authentication");
        if (kind == Ready && !bound_) {
            if (std::string(plain.begin(), plain.end()) != requestId_)
                Quit(kExitProtocol, "Ready does not name this request");
            bound_ = true;
            Emit({{"event", "ready"}});
            for (const auto& input : inputs_) {
                client_->SendBinary(Seal(*crypto_, InputEvent, input));
                Emit({{"event", "inputSent"}, {"json", input}});
            }
            if (options_.inputEverySeconds > 0) ScheduleInput();
            return;
        }
        if (kind != ScreenFrame || !bound_)
            Quit(kExitProtocol, "an envelope of kind " + std::to_string(kind) + " out of order");
        JpegFrameInfo info;
        if (!CheckJpegStructure(plain.data(), plain.size(), info))
            Quit(kExitProtocol, "a frame is not a well-formed JPEG");
        ++frames_;
        nlohmann::json line = {
            {"event", "frame"},      {"seq", frames_},
            {"size", plain.size()},  {"width", info.width},
            {"height", info.height}, {"quality", JpegQuality(plain.data(), plain.size())}};
        const std::string frame(plain.begin(), plain.end());
        if (!options_.saveFramesDir.empty()) {
            std::ofstream(options_.saveFramesDir + "/frame-" + std::to_string(frames_) + ".jpg",
                          std::ios::binary)
                .write(frame.data(), static_cast<std::streamsize>(frame.size()));
        }
        if (const auto sent = EmbeddedSendTime(frame))
            line["latencyMs"] = static_cast<double>(MonotonicNs() - *sent) / 1e6;
        if (options_.probeX >= 0) {
            line["atMs"] = static_cast<double>(MonotonicNs()) / 1e6;
            int x = options_.probeX, y = options_.probeY;
            if (options_.probeWidth > 0) {
                x = static_cast<int>(static_cast<long long>(x) * info.width / options_.probeWidth);
                y = static_cast<int>(static_cast<long long>(y) * info.width / options_.probeWidth);
            }
            if (const auto colour = ColourAt(frame, x, y)) {
                char hex[8];
                std::snprintf(hex, sizeof hex, "%06x", *colour);
                line["colour"] = hex;
            }
        }
        Emit(line);
        if (options_.frameCount >= 0 && frames_ >= options_.frameCount) Leave(kExitOk);
        if (frames_ == options_.stopReadingAfter) {
            client_->StopReading();
            Emit({{"event", "stoppedReading"}});
        }
    }

    void ScheduleInput() {
        inputTimer_.expires_after(std::chrono::duration_cast<std::chrono::steady_clock::duration>(
            std::chrono::duration<double>(options_.inputEverySeconds)));
        inputTimer_.async_wait([this](boost::system::error_code ec) {
            if (ec || leaving_ || inputStopped_) return;
            // Coordinates are absolute, 0 to 65535 across the host's screen: consecutive moves
            // land far apart on any screen, and (x, y) stays unique for a long run.
            ++moves_;
            const int x = static_cast<int>(moves_ * 4099 % 65536),
                      y = static_cast<int>(moves_ / 16 * 2053 % 65536);
            client_->SendBinary(Seal(*crypto_, InputEvent, BuildInputEvent("move", x, y, 0, 0)));
            Emit({{"event", "inputSent"},
                  {"x", x},
                  {"y", y},
                  {"atMs", static_cast<double>(MonotonicNs()) / 1e6}});
            ScheduleInput();
        });
    }

    std::string id_, key_, proof_, requestId_;
    std::unique_ptr<CryptoSession> crypto_;
    std::vector<std::string> inputs_;
    bool bound_ = false, inputStopped_ = false;
    long frames_ = 0, moves_ = 0;
    boost::asio::steady_timer inputTimer_;
};

}  // namespace

std::unique_ptr<PeerBase> MakeViewerPeer(boost::asio::io_context& ioc,
                                         boost::asio::ssl::context& tls, const PeerOptions& options,
                                         const WsTarget& target) {
    return std::make_unique<ViewerPeer>(ioc, tls, options, target);
}

}  // namespace kl::peer
