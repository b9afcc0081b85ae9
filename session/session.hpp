#pragma once
// Session operations on the record; all run on the user-interface thread.
#include "net/events.hpp"

struct Client;

// Ends any session, makes a fresh ID and key and registers them with the relay.
void RenewHostId(Client& app);
// Sends a connection request with the ID and key typed into the edit controls.
void SendConnectRequest(Client& app);
// The local user's answer to a pending connection request.
void AnswerConsent(Client& app, bool accepted);
// The only place that joins the workers; leaves no relay connection behind.
void StopSession(Client& app);
// One event of the current session from the relay connection.
void HandleNetEvent(Client& app, kl::NetEvent& event);
