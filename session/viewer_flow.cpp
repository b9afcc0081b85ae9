#include "app/client.hpp"
#include "session/session.hpp"

void SendConnectRequest(Client& app) {  // UI thread only
    (void)app;  // the viewer's request flow arrives with the session work
}
