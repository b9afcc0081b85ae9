#pragma once
// Session operations on the record; all run on the user-interface thread.
#include <cstdint>
#include <string>

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
// A stop path: StopSession (which also releases the remote pictures), back to no role, the
// layout refreshed and `status` shown.
void StopWithStatus(Client& app, const std::wstring& status);
// One event of the current session from the relay connection.
void HandleNetEvent(Client& app, kl::NetEvent& event);
// Viewer, after a drained batch: hands the picture it held back to the decoding thread
// (decodes it at once when there is no window to paint it).
void RequestHeldFramePaint(Client& app);
// Viewer: decodes the held picture into the remote picture on this thread; one that does not
// decode ends the session as a bad frame does.
void ShowHeldFrame(Client& app);
// Viewer, when the decoding thread has a picture: it becomes the remote picture and is painted;
// one that did not decode ends the session as a bad frame does.
void ShowDecodedFrame(Client& app);
// The two deadline checks of the 500 ms timer: consent first, then the request.
void CheckTimers(Client& app);
// The deadlines' clock in milliseconds.
std::uint64_t TickNow(const Client& app);
