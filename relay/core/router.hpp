#pragma once
// The relay's routing rules without any I/O: connections come in as events, and what the
// relay must send, forward or close comes out as actions. The network layer drives it from
// one strand, so it needs no lock of its own.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>
#include "base/limits.hpp"

namespace kl::relay {

using ConnId = std::uint64_t;
using Clock = std::chrono::steady_clock;

struct Limits {
    std::chrono::milliseconds registerDeadline{10000};
    std::chrono::milliseconds requestDeadline{45000};
    unsigned viewerRequestsPerMinute = 30;  // per source address
    std::size_t maxTextBytes = kMaxTextBytes;
};

struct Action {
    enum Kind { SendText, Close } kind = SendText;
    ConnId to = 0;
    std::string text;                // SendText
    std::uint16_t closeCode = 1000;  // Close
};

// Every text a user may see is short Turkish, shown verbatim by the program.
namespace text {
inline constexpr char kIdInUse[] = "Bu ID başka bir bilgisayarda kullanımda.";
inline constexpr char kUnknownId[] = "Bu ID ile bağlı bir bilgisayar bulunamadı.";
inline constexpr char kBusy[] = "Karşı taraf şu anda başka bir bağlantıyla meşgul.";
inline constexpr char kRefused[] = "Bağlantı isteği reddedildi.";
inline constexpr char kExpired[] = "Bağlantı isteği zaman aşımına uğradı.";
inline constexpr char kInvalid[] = "Geçersiz istek.";
inline constexpr char kNoRegister[] = "Kayıt zamanında yapılmadı.";
inline constexpr char kTooManyRequests[] = "Çok fazla bağlantı isteği. Biraz sonra yeniden dene.";
inline constexpr char kTooManyConnections[] = "Sunucu şu anda çok yoğun. Biraz sonra yeniden dene.";
inline constexpr char kShuttingDown[] = "Sunucu yeniden başlatılıyor.";
inline constexpr char kClusterUnavailable[] =
    "Sunucu şu anda hizmet veremiyor. Biraz sonra yeniden dene.";
}  // namespace text

struct Counters {
    std::uint64_t registeredHosts = 0, pendingRequests = 0, pairedSessions = 0;
    std::uint64_t addressRecords = 0;  // source addresses with viewer requests in the last minute
    std::map<std::string, std::uint64_t> refusals;  // by reason
};

class Router {
  public:
    Router(Limits limits, std::function<std::string()> makeRequestId);

    // One line per connection event for the operator's log; never a proof, key or payload.
    void SetLog(std::function<void(ConnId, const std::string&)> log) { log_ = std::move(log); }

    void OnOpen(ConnId id, const std::string& address, Clock::time_point now);
    std::vector<Action> OnText(ConnId id, std::string_view text, Clock::time_point now);
    // The peer a binary message goes to, or 0 with a close action when the sender is unpaired.
    ConnId OnBinary(ConnId id, std::vector<Action>& actions);
    std::vector<Action> OnClose(ConnId id);
    std::vector<Action> OnTick(Clock::time_point now);

    // Refusals decided by the network layer (limits, oversized or slow traffic).
    void CountRefusal(const std::string& reason) { ++counters_.refusals[reason]; }
    std::vector<Action> RefuseConn(ConnId id, const char* message, const char* reason);

    // For a relay cluster: a viewer whose host lives on another relay. That relay decides
    // everything about the request; here the viewer only waits (`deadline` is a safety net
    // should the answer never come), and `remotePeer` stands for the host in OnBinary.
    bool HasHost(const std::string& sessionId) const { return hosts_.count(sessionId) != 0; }
    bool AwaitsRegister(ConnId id) const;
    void AttachRemote(ConnId viewer, const std::string& sessionId, ConnId remotePeer,
                      Clock::time_point deadline);
    void SetRemotePaired(ConnId viewer, const std::string& requestId);
    void DetachRemote(ConnId viewer);
    const Counters& counters() const { return counters_; }
    // The partner of a paired connection, else 0.
    ConnId PairedPeer(ConnId id) const {
        auto it = conns_.find(id);
        return it != conns_.end() && it->second.paired ? it->second.peer : 0;
    }

  private:
    enum class Role { None, Host, Viewer };
    struct Conn {
        Role role = Role::None;
        Clock::time_point openedAt;
        std::string address;
        std::string sessionId;  // host: own ID; viewer: the host asked for
        std::string requestId;  // viewer: its request; host: the pending or active one
        ConnId peer = 0;        // the other side of a pending request or a session
        bool paired = false;
        bool refused = false;  // a close is already on its way
        Clock::time_point requestDeadline;
    };

    void Refuse(ConnId id, const char* message, const char* reason, std::vector<Action>& out);
    void EndRequest(Conn& host, Conn& viewer);
    void Recount();
    bool AllowViewerRequest(const std::string& address, Clock::time_point now);
    void Log(ConnId id, const std::string& line) {
        if (log_) log_(id, line);
    }

    Limits limits_;
    std::function<std::string()> makeRequestId_;
    std::map<ConnId, Conn> conns_;
    std::map<std::string, ConnId> hosts_;  // sessionId -> host connection
    std::map<std::string, std::deque<Clock::time_point>>
        viewerRequests_;  // by address, last minute
    Clock::time_point pruned_{};
    std::function<void(ConnId, const std::string&)> log_;
    Counters counters_;
};

}  // namespace kl::relay
