#include "peer/ws_client_impl.hpp"

namespace kl::peer {

std::shared_ptr<WsClient> MakeTlsClient(boost::asio::io_context& ioc,
                                        boost::asio::ssl::context& tls) {
    return std::make_shared<
        detail::WsClientImpl<detail::beast::ssl_stream<detail::beast::tcp_stream>>>(ioc, tls);
}

}  // namespace kl::peer
