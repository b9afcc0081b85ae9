#pragma once
// The relay's routing rules without any I/O: connections come in as events, and what the
// relay must send, forward or close comes out as actions. The network layer drives it from
// one strand, so it needs no lock of its own.
#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <string_view>
#include <vector>

namespace kl::relay {

using ConnId = std::uint64_t;
using Clock = std::chrono::steady_clock;

struct Limits {
    std::chrono::milliseconds registerDeadline{10000};
    std::chrono::milliseconds requestDeadline{45000};
};

struct Action {
    enum Kind { SendText, Close } kind = SendText;
    ConnId to = 0;
    std::string text;              // SendText
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
}  // namespace text

struct Counters {
    std::uint64_t registeredHosts = 0, pendingRequests = 0, pairedSessions = 0;
    std::map<std::string, std::uint64_t> refusals;  // by reason
};

class Router {
public:
    Router(Limits limits, std::function<std::string()> makeRequestId);

    void OnOpen(ConnId id, Clock::time_point now);
    std::vector<Action> OnText(ConnId id, std::string_view text, Clock::time_point now);
    // The peer a binary message goes to, or 0 with a close action when the sender is unpaired.
    ConnId OnBinary(ConnId id, std::vector<Action>& actions);
    std::vector<Action> OnClose(ConnId id);
    std::vector<Action> OnTick(Clock::time_point now);

    const Counters& counters() const { return counters_; }

private:
    enum class Role { None, Host, Viewer };
    struct Conn {
        Role role = Role::None;
        Clock::time_point openedAt;
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

    Limits limits_;
    std::function<std::string()> makeRequestId_;
    std::map<ConnId, Conn> conns_;
    std::map<std::string, ConnId> hosts_;  // sessionId -> host connection
    Counters counters_;
};

}  // namespace kl::relay
