#pragma once
// What every klpeer mode shares: one relay connection, the JSON-line output of relay
// messages, and an orderly way to leave with an exit code.
#include <boost/asio/io_context.hpp>
#include <boost/asio/ssl/context.hpp>
#include <memory>
#include <string>

#include "crypto/crypto_session.hpp"
#include "peer/output.hpp"
#include "peer/peer.hpp"
#include "peer/ws_client.hpp"
#include "session/messages.hpp"

namespace kl::peer {

class PeerBase {
  public:
    PeerBase(boost::asio::io_context& ioc, boost::asio::ssl::context& tls,
             const PeerOptions& options, const WsTarget& target)
        : ioc_(ioc), tls_(tls), options_(options), target_(target) {}
    virtual ~PeerBase() = default;
    virtual void Start() = 0;
    // Closes with 1000 and ends the run with `code` once the relay has answered.
    virtual void Leave(int code) {
        if (leaving_) return;
        leaving_ = true;
        exitCode_ = code;
        if (client_) client_->Close(1000);
    }
    int exitCode() const { return exitCode_; }
    // SIGUSR1.
    virtual void OnUserSignal() {}

  protected:
    // Connects; unexpected closes end the process with kExitClosed (or kExitRefused when
    // the relay explained itself with an "error" first).
    void Connect() {
        client_ = MakeClient(ioc_, tls_, target_.secure);
        WsHandlers handlers;
        handlers.onOpen = [this] { OnOpen(); };
        handlers.onText = [this](std::string&& text) { OnText(std::move(text)); };
        handlers.onBinary = [this](std::string&& bytes) { OnBinary(std::move(bytes)); };
        handlers.onClosed = [this](int code, const std::string& reason) { OnClosed(code, reason); };
        handlers.onError = [](const std::string& error) { Quit(kExitConnect, error); };
        handlers.onDrained = [this] { OnDrained(); };
        client_->Start(target_, std::move(handlers));
    }
    virtual void OnDrained() {}
    virtual void OnOpen() = 0;
    virtual void OnText(std::string&& text) = 0;
    virtual void OnBinary(std::string&& bytes) = 0;
    virtual void OnClosed(int code, const std::string& reason) {
        Emit({{"event", "closed"}, {"code", code}, {"reason", reason}});
        if (leaving_) {
            ioc_.stop();
            return;
        }
        // The relay's text goes to a terminal: no escape sequences or bidi controls of its own.
        if (!relayError_.empty())
            Quit(kExitRefused, "refused by the relay: " + CleanRelayMessage(relayError_));
        Quit(kExitClosed, "the relay closed the connection (code " + std::to_string(code) + ")");
    }
    // The relay's text as JSON with its "type"; malformed JSON ends the run.
    static nlohmann::json ParseRelayText(const std::string& text, std::string& type) {
        nlohmann::json message;
        try {
            message = ParseMessage(text);
        } catch (const std::exception& e) {
            Quit(kExitProtocol, std::string("the relay sent malformed JSON: ") + e.what());
        }
        type = message.is_object() ? ReadString(message, "type", "") : "";
        return message;
    }
    // Common handling of "error": remember the text for the close that follows.
    void OnRelayError(const nlohmann::json& message) {
        const auto text = message.find("message");
        relayError_ = text != message.end() && text->is_string() ? text->get<std::string>() : "";
        Emit({{"event", "error"}, {"message", relayError_}});
    }
    static std::string Seal(CryptoSession& crypto, std::uint8_t kind,
                            const std::string& plaintext) {
        const auto envelope = crypto.Encrypt(
            kind, reinterpret_cast<const std::uint8_t*>(plaintext.data()), plaintext.size());
        return std::string(envelope.begin(), envelope.end());
    }

    boost::asio::io_context& ioc_;
    boost::asio::ssl::context& tls_;
    const PeerOptions& options_;
    WsTarget target_;
    std::shared_ptr<WsClient> client_;
    std::string relayError_;
    bool leaving_ = false;
    int exitCode_ = kExitOk;
};

std::unique_ptr<PeerBase> MakeHostPeer(boost::asio::io_context&, boost::asio::ssl::context&,
                                       const PeerOptions&, const WsTarget&);
std::unique_ptr<PeerBase> MakeViewerPeer(boost::asio::io_context&, boost::asio::ssl::context&,
                                         const PeerOptions&, const WsTarget&);
std::unique_ptr<PeerBase> MakeRawPeer(boost::asio::io_context&, boost::asio::ssl::context&,
                                      const PeerOptions&, const WsTarget&);
std::unique_ptr<PeerBase> MakeIdleHosts(boost::asio::io_context&, boost::asio::ssl::context&,
                                        const PeerOptions&, const WsTarget&);

}  // namespace kl::peer
