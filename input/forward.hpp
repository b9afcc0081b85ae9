#pragma once
// Viewer side: the main window's mouse and keys become encrypted input events for the host,
// only while a viewing session is bound.
#include <cstdint>
#include <string>

struct Client;

// Queues one input event; a refused push ends the session through an "Input send failed" error.
void SendInputMessage(Client& app, const std::string& action, std::int32_t x, std::int32_t y,
                      std::int32_t button, std::int32_t key);
// Maps a client point onto the remote picture (0..65535 each way) and sends it; points off the
// picture are dropped, except a release, which is clamped to the picture's edge.
void SendMouseMessage(Client& app, const std::string& action, int clientX, int clientY,
                      std::int32_t button, std::int32_t key);
