#include "peer/ws_client_impl.hpp"

namespace kl::peer {

std::shared_ptr<WsClient> MakePlainClient(boost::asio::io_context& ioc) {
    return std::make_shared<detail::WsClientImpl<detail::beast::tcp_stream>>(ioc);
}

}  // namespace kl::peer
