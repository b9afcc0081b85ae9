#include "relay/connection/tls_stream.hpp"
#include "relay/connection/ws_session_impl.hpp"

namespace kl::relay {

std::shared_ptr<Session> MakeTlsSession(SessionOwner& owner, ConnId id, std::string address,
                                        boost::asio::ip::tcp::socket socket,
                                        boost::asio::ssl::context& tls) {
    return std::make_shared<detail::WsSession<TlsStream>>(owner, id, std::move(address),
                                                          std::move(socket), tls);
}

}  // namespace kl::relay
