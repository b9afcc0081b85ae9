#include "peer/ws_client.hpp"

#include <openssl/ssl.h>

#include <boost/asio/ssl.hpp>

#include "net/relay_url.hpp"

namespace kl::peer {

std::shared_ptr<WsClient> MakeClient(boost::asio::io_context& ioc, boost::asio::ssl::context& tls,
                                     bool secure) {
    return secure ? MakeTlsClient(ioc, tls) : MakePlainClient(ioc);
}

bool ParseTarget(const std::string& url, WsTarget& target, std::string& error) {
    for (unsigned char c : url)
        if (c >= 0x80) {
            error = "the relay URL must be ASCII";
            return false;
        }
    RelayEndpoint endpoint;
    if (!ParseRelayUrl(std::wstring(url.begin(), url.end()), endpoint, error)) return false;
    target.host.assign(endpoint.host.begin(), endpoint.host.end());
    if (target.host.size() > 2 && target.host.front() == '[' && target.host.back() == ']')
        target.host = target.host.substr(1, target.host.size() - 2);
    target.path.assign(endpoint.path.begin(), endpoint.path.end());
    target.port = endpoint.port;
    target.secure = endpoint.secure;
    return true;
}

void ConfigureTls(boost::asio::ssl::context& tls, const std::string& caFile) {
    namespace ssl = boost::asio::ssl;
    tls.set_options(ssl::context::default_workarounds | ssl::context::no_sslv2 |
                    ssl::context::no_sslv3 | ssl::context::no_tlsv1 | ssl::context::no_tlsv1_1);
    tls.set_verify_mode(ssl::verify_peer);
    if (caFile.empty())
        tls.set_default_verify_paths();
    else
        tls.load_verify_file(caFile);  // throws with the reason when the file is unusable
}

}  // namespace kl::peer
