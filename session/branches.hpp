#pragma once
// The branches of the received-message handler, one file per role plus the encrypted ones.
// Every rejection throws std::runtime_error with a short English word; the handler's one
// catch-all turns it into the security stop.
#include <cstdint>
#include <nlohmann/json.hpp>
#include <stdexcept>
#include <vector>

struct Client;

[[noreturn]] inline void Fail(const char* reason) {
    throw std::runtime_error(reason);
}

// Lets go of the request in hand (its crypto session, id and nonce); the host stays registered.
void ForgetRequest(Client& app);

void OnRegistered(Client& app, const nlohmann::json& message);
void OnConnectRequest(Client& app, const nlohmann::json& message);
void OnHostConnected(Client& app, const nlohmann::json& message);
void OnViewerConnected(Client& app, const nlohmann::json& message);
void OnBinaryMessage(Client& app, const std::vector<std::uint8_t>& envelope);
