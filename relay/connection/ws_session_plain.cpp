#include "relay/connection/ws_session_impl.hpp"

namespace kl::relay {

std::shared_ptr<Session> MakePlainSession(SessionOwner& owner, ConnId id, std::string address,
                                          boost::asio::ip::tcp::socket socket) {
    return std::make_shared<detail::WsSession<boost::asio::ip::tcp::socket>>(
        owner, id, std::move(address), std::move(socket));
}

}  // namespace kl::relay
