#pragma once
// The two queues between the user-interface thread and the network, and the workers that
// serve them. Events from a stopped session never reach the session handler.
#include <windows.h>

#include <cstdint>
#include <functional>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/limits.hpp"
#include "net/events.hpp"

struct Client;

// The wake-up a worker posts to the main window when events wait; the UI thread drains them.
inline constexpr UINT kDrainMessage = WM_APP + 1;

inline constexpr std::size_t kMaxQueuedEvents = 32;
inline constexpr std::size_t kMaxQueuedEventBytes = 25165824;
inline constexpr std::size_t kMaxEventBytes = kl::kMaxMessageBytes;
inline constexpr std::size_t kMaxEventText = kl::kMaxTextBytes;
inline constexpr std::size_t kMaxOutgoingMessage = kl::kMaxMessageBytes;
inline constexpr std::size_t kMaxQueuedMessages = 128;
inline constexpr std::size_t kMaxQueuedMessageBytes = 16777216;

// Any thread, never throws. Drops events of another generation; marks an overflow when a limit
// is hit or the event cannot be stored, so the session ends either way.
void PostEvent(Client& app, std::uint32_t generation, kl::NetEvent event) noexcept;
// Queue a message for the sender worker; false when refused (nothing queued).
bool QueueText(Client& app, const nlohmann::json& message);
bool QueueText(Client& app, std::string text);
// Kinds 1..255 only: kind 0 is plain text and would go out as an empty message.
bool QueueEncrypted(Client& app, std::uint8_t kind, const std::vector<std::uint8_t>& plaintext);
bool QueueOutgoing(Client& app, kl::OutgoingMessage message);

// UI thread: hands each queued event of the current session to `handler` in order.
using EventHandler = std::function<void(Client&, kl::NetEvent&)>;
void DrainEvents(Client& app, const EventHandler& handler);
void DrainEvents(Client& app);  // with HandleNetEvent
// UI thread: drains when events wait but no wake-up is outstanding (one could not be posted).
void DrainIfStalled(Client& app);
