#include "relay/core/router.hpp"

#include <exception>

#include "crypto/credentials.hpp"
#include "session/messages.hpp"

namespace kl::relay {

namespace {
constexpr std::uint16_t kPolicyViolation = 1008;
constexpr std::uint16_t kTooBig = 1009;
}  // namespace

Router::Router(Limits limits, std::function<std::string()> makeRequestId)
    : limits_(limits), makeRequestId_(std::move(makeRequestId)) {}

void Router::OnOpen(ConnId id, const std::string& address, Clock::time_point now) {
    Conn& conn = conns_[id];
    conn.openedAt = now;
    conn.address = address;
}

bool Router::AllowViewerRequest(const std::string& address, Clock::time_point now) {
    auto& times = viewerRequests_[address];
    while (!times.empty() && now - times.front() >= std::chrono::minutes(1)) times.pop_front();
    if (times.size() >= limits_.viewerRequestsPerMinute) return false;
    times.push_back(now);
    return true;
}

void Router::Refuse(ConnId id, const char* message, const char* reason, std::vector<Action>& out) {
    ++counters_.refusals[reason];
    Log(id, std::string("refused ") + reason);
    out.push_back({Action::SendText, id, BuildError(message), 0});
    out.push_back({Action::Close, id, {}, kPolicyViolation});
}

std::vector<Action> Router::RefuseConn(ConnId id, const char* message, const char* reason) {
    std::vector<Action> out;
    auto it = conns_.find(id);
    if (it == conns_.end() || it->second.refused) return out;
    it->second.refused = true;
    Refuse(id, message, reason, out);
    return out;
}

bool Router::AwaitsRegister(ConnId id) const {
    auto it = conns_.find(id);
    return it != conns_.end() && it->second.role == Role::None && !it->second.refused;
}

void Router::AttachRemote(ConnId viewer, const std::string& sessionId, ConnId remotePeer,
                          Clock::time_point deadline) {
    auto it = conns_.find(viewer);
    if (it == conns_.end()) return;
    Conn& conn = it->second;
    conn.role = Role::Viewer;
    conn.sessionId = sessionId;
    conn.peer = remotePeer;
    conn.requestDeadline = deadline;
    Recount();
}

void Router::SetRemotePaired(ConnId viewer, const std::string& requestId) {
    auto it = conns_.find(viewer);
    if (it == conns_.end() || it->second.peer == 0) return;
    it->second.paired = true;
    it->second.requestId = requestId;
    Recount();
}

void Router::DetachRemote(ConnId viewer) {
    auto it = conns_.find(viewer);
    if (it == conns_.end()) return;
    it->second.peer = 0;
    it->second.paired = false;
    Recount();
}

void Router::EndRequest(Conn& host, Conn& viewer) {
    host.peer = 0;
    host.paired = false;
    host.requestId.clear();
    viewer.peer = 0;
    viewer.paired = false;
}

std::vector<Action> Router::OnText(ConnId id, std::string_view text, Clock::time_point now) {
    std::vector<Action> out;
    auto it = conns_.find(id);
    if (it == conns_.end()) return out;
    Conn& conn = it->second;
    if (text.size() > limits_.maxTextBytes) {
        ++counters_.refusals["text_too_big"];
        Log(id, "refused text_too_big");
        out.push_back({Action::Close, id, {}, kTooBig});
        return out;
    }
    try {
        const nlohmann::json message = ParseMessage(text);
        const std::string type = ReadString(message, "type", "");
        if (conn.role == Role::None) {
            if (type != "register" || ReadNumber(message, "protocol", 0) != 2) {
                Refuse(id, text::kInvalid, "not_registered", out);
                return out;
            }
            const std::string role = ReadString(message, "role", "");
            const std::string sessionId = ReadString(message, "sessionId", "");
            if (!IsValidConnectionId(sessionId)) {
                Refuse(id, text::kInvalid, "invalid_register", out);
                return out;
            }
            if (role == "host") {
                if (hosts_.count(sessionId) != 0) {
                    Refuse(id, text::kIdInUse, "duplicate_id", out);
                    return out;
                }
                conn.role = Role::Host;
                conn.sessionId = sessionId;
                hosts_[sessionId] = id;
                Log(id, "registered host " + sessionId);
                out.push_back({Action::SendText, id, BuildRegistered(), 0});
            } else if (role == "viewer") {
                const std::string password = ReadString(message, "password", "");
                if (password.size() != 100) {
                    Refuse(id, text::kInvalid, "invalid_register", out);
                    return out;
                }
                if (!AllowViewerRequest(conn.address, now)) {
                    Refuse(id, text::kTooManyRequests, "rate_limited", out);
                    return out;
                }
                auto host = hosts_.find(sessionId);
                if (host == hosts_.end()) {
                    Refuse(id, text::kUnknownId, "unknown_id", out);
                    return out;
                }
                Conn& hostConn = conns_.at(host->second);
                if (hostConn.peer != 0) {
                    Refuse(id, text::kBusy, "busy", out);
                    return out;
                }
                conn.role = Role::Viewer;
                conn.sessionId = sessionId;
                conn.requestId = makeRequestId_();
                conn.peer = host->second;
                conn.requestDeadline = now + limits_.requestDeadline;
                hostConn.peer = id;
                hostConn.requestId = conn.requestId;
                Log(id, "viewer request to " + sessionId + " request " + conn.requestId);
                out.push_back({Action::SendText, host->second,
                               BuildConnectRequest(password, conn.requestId), 0});
            } else {
                Refuse(id, text::kInvalid, "invalid_register", out);
            }
            Recount();
            return out;
        }
        if (conn.role == Role::Host && type == "connectResponse") {
            const std::string requestId = ReadString(message, "requestId", "");
            // A late answer to a request that already ended is harmless and ignored.
            if (conn.peer == 0 || conn.paired || requestId != conn.requestId) return out;
            const auto accepted = message.find("accepted");
            if (accepted == message.end() || !accepted->is_boolean()) {
                Refuse(id, text::kInvalid, "invalid_response", out);
                return out;
            }
            Conn& viewer = conns_.at(conn.peer);
            if (accepted->get<bool>()) {
                conn.paired = viewer.paired = true;
                Log(id, "paired request " + requestId);
                out.push_back({Action::SendText, id, BuildConnected(requestId), 0});
                out.push_back({Action::SendText, conn.peer, BuildConnected(requestId), 0});
            } else {
                const ConnId viewerId = conn.peer;
                EndRequest(conn, viewer);
                Refuse(viewerId, text::kRefused, "refused_by_host", out);
            }
            Recount();
            return out;
        }
        if (type == "register") Refuse(id, text::kInvalid, "second_register", out);
    } catch (const std::exception&) {
        Refuse(id, text::kInvalid, "malformed", out);
    }
    return out;
}

ConnId Router::OnBinary(ConnId id, std::vector<Action>& actions) {
    auto it = conns_.find(id);
    if (it == conns_.end()) return 0;
    if (!it->second.paired) {
        Refuse(id, text::kInvalid, "binary_unpaired", actions);
        return 0;
    }
    return it->second.peer;
}

std::vector<Action> Router::OnClose(ConnId id) {
    std::vector<Action> out;
    auto it = conns_.find(id);
    if (it == conns_.end()) return out;
    Conn conn = it->second;
    conns_.erase(it);
    if (conn.role == Role::Host) {
        auto h = hosts_.find(conn.sessionId);
        if (h != hosts_.end() && h->second == id) hosts_.erase(h);
    }
    if (conn.peer != 0) {
        auto p = conns_.find(conn.peer);
        if (p != conns_.end()) {
            Conn& peer = p->second;
            const std::string& requestId = conn.requestId;
            if (conn.paired || peer.role == Role::Host) {
                out.push_back({Action::SendText, conn.peer, BuildPeerDisconnected(requestId), 0});
            } else {
                // The host left while this viewer's request was pending.
                out.push_back({Action::SendText, conn.peer, BuildError(text::kUnknownId), 0});
                out.push_back({Action::Close, conn.peer, {}, 1000});
            }
            peer.peer = 0;
            peer.paired = false;
            if (peer.role == Role::Host) peer.requestId.clear();
        }
    }
    Recount();
    return out;
}

std::vector<Action> Router::OnTick(Clock::time_point now) {
    std::vector<Action> out;
    // An address quiet for a minute leaves no record behind.
    if (now - pruned_ >= std::chrono::seconds(10)) {
        pruned_ = now;
        for (auto it = viewerRequests_.begin(); it != viewerRequests_.end();) {
            auto& times = it->second;
            while (!times.empty() && now - times.front() >= std::chrono::minutes(1))
                times.pop_front();
            it = times.empty() ? viewerRequests_.erase(it) : std::next(it);
        }
    }
    for (auto& [id, conn] : conns_) {
        if (conn.role == Role::None && !conn.refused &&
            now - conn.openedAt > limits_.registerDeadline) {
            conn.refused = true;
            Refuse(id, text::kNoRegister, "register_timeout", out);
        } else if (conn.role == Role::Viewer && conn.peer != 0 && !conn.paired &&
                   now > conn.requestDeadline) {
            auto local = conns_.find(conn.peer);
            if (local == conns_.end()) {
                // A host on another relay whose answer never came.
                conn.peer = 0;
                Refuse(id, text::kExpired, "request_timeout", out);
                continue;
            }
            Conn& host = local->second;
            Log(id, "request expired " + conn.requestId);
            out.push_back({Action::SendText, conn.peer, BuildPeerDisconnected(conn.requestId), 0});
            EndRequest(host, conn);
            Refuse(id, text::kExpired, "request_timeout", out);
        }
    }
    Recount();
    return out;
}

void Router::Recount() {
    counters_.registeredHosts = hosts_.size();
    counters_.addressRecords = viewerRequests_.size();
    counters_.pendingRequests = counters_.pairedSessions = 0;
    for (const auto& [id, conn] : conns_) {
        if (conn.role != Role::Viewer || conn.peer == 0) continue;
        if (conn.paired)
            ++counters_.pairedSessions;
        else
            ++counters_.pendingRequests;
    }
}

}  // namespace kl::relay
