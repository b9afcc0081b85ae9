// Operator and test tools: a raw client that misbehaves on purpose, and many idle hosts.
#include "crypto/credentials.hpp"
#include "peer/peer_base.hpp"
#include "session/messages.hpp"

namespace kl::peer {

namespace {

// Sends what the options say (a registration, a text or binary message of a given size, or
// nothing at all), prints whatever the relay answers and how it closes, and exits 0 then.
class RawPeer final : public PeerBase {
  public:
    using PeerBase::PeerBase;
    void Start() override { Connect(); }

  private:
    void OnOpen() override {
        Emit({{"event", "open"}});
        if (options_.registerHost) client_->SendText(BuildHostRegistration(GenerateConnectionId()));
        if (options_.textBytes > 0) {
            const std::size_t n = options_.textBytes;
            client_->SendText(n < 10 ? std::string(n, 'a')
                                     : "{\"pad\":\"" + std::string(n - 10, 'a') + "\"}");
        }
        if (options_.binaryBytes > 0)
            client_->SendBinary(std::string(options_.binaryBytes, '\x5A'));
    }
    void OnText(std::string&& text) override {
        nlohmann::json line = {{"event", "text"}, {"size", text.size()}};
        try {
            const auto message = ParseMessage(text);
            line["type"] = ReadString(message, "type", "");
            if (message.contains("message")) line["message"] = message["message"];
        } catch (const std::exception&) {
            line["malformed"] = true;
        }
        Emit(line);
    }
    void OnBinary(std::string&& bytes) override {
        Emit({{"event", "binary"}, {"size", bytes.size()}});
    }
    void OnClosed(int code, const std::string& reason) override {
        Emit({{"event", "closed"}, {"code", code}, {"reason", reason}});
        ioc_.stop();
    }
};

// Holds `count` registered hosts open until a signal; for the relay's memory figures.
class IdleHosts final : public PeerBase {
  public:
    using PeerBase::PeerBase;

    void Start() override {
        for (std::size_t i = 0; i < std::min<std::size_t>(options_.count, kInFlight); ++i)
            OpenNext();
    }

    void Leave(int code) override {
        if (leaving_) return;
        leaving_ = true;
        exitCode_ = code;
        if (clients_.size() == closed_) return ioc_.stop();
        for (auto& client : clients_) client->Close(1000);
    }

  private:
    static constexpr std::size_t kInFlight = 128;

    void OpenNext() {
        if (clients_.size() >= options_.count || leaving_) return;
        auto client = MakeClient(ioc_, tls_, target_.secure);
        const std::string id =
            options_.firstId > 0
                ? std::to_string(options_.firstId + static_cast<long>(clients_.size()))
                : GenerateConnectionId();
        if (!IsValidConnectionId(id))
            Quit(kExitUsage, "--first-id plus --count goes past 999999999");
        WsClient* raw = client.get();
        WsHandlers handlers;
        handlers.onOpen = [raw, id] { raw->SendText(BuildHostRegistration(id)); };
        handlers.onText = [this](std::string&& text) {
            if (text.find("\"registered\"") == std::string::npos)
                Quit(kExitRefused, "a host was refused: " + text);
            if (++registered_ == options_.count)
                Emit({{"event", "registered"}, {"count", registered_}});
            else if (registered_ % 1000 == 0)
                Emit({{"event", "progress"}, {"registered", registered_}});
            OpenNext();
        };
        handlers.onClosed = [this](int code, const std::string&) {
            if (!leaving_)
                Quit(kExitClosed, "an idle host was closed with code " + std::to_string(code));
            if (++closed_ == clients_.size()) ioc_.stop();
        };
        handlers.onError = [](const std::string& error) { Quit(kExitConnect, error); };
        client->Start(target_, std::move(handlers));
        clients_.push_back(std::move(client));
    }

    void OnOpen() override {}
    void OnText(std::string&&) override {}
    void OnBinary(std::string&&) override {}

    std::vector<std::shared_ptr<WsClient>> clients_;
    std::size_t registered_ = 0, closed_ = 0;
};

}  // namespace

std::unique_ptr<PeerBase> MakeRawPeer(boost::asio::io_context& ioc, boost::asio::ssl::context& tls,
                                      const PeerOptions& options, const WsTarget& target) {
    return std::make_unique<RawPeer>(ioc, tls, options, target);
}

std::unique_ptr<PeerBase> MakeIdleHosts(boost::asio::io_context& ioc,
                                        boost::asio::ssl::context& tls, const PeerOptions& options,
                                        const WsTarget& target) {
    return std::make_unique<IdleHosts>(ioc, tls, options, target);
}

}  // namespace kl::peer
