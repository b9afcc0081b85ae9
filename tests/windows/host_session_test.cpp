// The host's handling of relay messages, its consent answer and its deadlines, fed directly.
#include <algorithm>

#include <new>

#include "input/inject.hpp"
#include "net/workers.hpp"
#include "screen/capture.hpp"
#include "session_fixture.hpp"
#include "ui/ui.hpp"
#include "window_fixture.hpp"

using kltest::kSecurityStop;

namespace {

class HostSession : public kltest::SessionTest {
  protected:
    void SetUp() override {
        SessionTest::SetUp();
        Text(kl::BuildRegistered());
    }
    // A request taken for consent under `id` with nonce `n`.
    void Pending(int n, const std::string& id) {
        Text(Request(Nonce(n), id));
        ASSERT_TRUE(app.consentPending) << testing::PrintToString(app.statusText);
    }
    // Accepted and reported "connected": the session is on.
    void Sharing() {
        Pending(1, RequestId(1));
        AnswerConsent(app, true);
        Text(kl::BuildConnected(RequestId(1)));
        ASSERT_TRUE(app.sessionActive);
    }
    std::vector<std::uint8_t> FromViewer(std::uint8_t kind, const std::string& text) {
        if (!viewer)
            viewer = std::make_unique<kl::CryptoSession>(app.connectionKey, app.connectionId,
                                                         Nonce(1), false);
        return viewer->Encrypt(kind, reinterpret_cast<const std::uint8_t*>(text.data()),
                               text.size());
    }
    std::unique_ptr<kl::CryptoSession> viewer;
    // A fresh identity registered on a fresh connection, as after "Yenile".
    void Reregister() {
        Connect();
        app.connectionKey = kl::GenerateConnectionKey();
        viewer.reset();
        app.seenRequests.clear();
        Text(kl::BuildRegistered());
    }
    static int Banners() {
        int count = 0;
        for (HWND w = nullptr;
             (w = FindWindowExW(nullptr, w, kBannerWindowClass, nullptr)) != nullptr;)
            ++count;
        return count;
    }
};

class BannerClass : public ::testing::Environment {
  public:
    void SetUp() override { kltest::RegisterTestClass(kBannerWindowClass, BannerWindowProc); }
};
const auto* const kBannerClass = ::testing::AddGlobalTestEnvironment(new BannerClass);

// Records what would have been injected.
std::vector<INPUT> g_injected;
UINT RecordInput(UINT count, INPUT* inputs, int) {
    g_injected.insert(g_injected.end(), inputs, inputs + count);
    return count;
}

}  // namespace

TEST_F(HostSession, RegistrationIsAcceptedOnceAndOnlyWithProtocolTwo) {
    EXPECT_TRUE(app.hostReady);
    EXPECT_EQ(app.statusText, L"Bağlantıya hazır");
    Text(kl::BuildRegistered());
    ExpectStopped(kSecurityStop);

    for (const char* text : {R"({"type":"registered","protocol":2.7})", R"({"type":"registered"})",
                             R"({"type":"registered","protocol":"2"})"}) {
        app.hostReady = false;
        Connect();
        Text(text);
        const bool accepted = std::string(text).find("2.7") != std::string::npos;
        EXPECT_EQ(app.hostReady, accepted) << text;
        EXPECT_EQ(app.statusText, accepted ? L"Bağlantıya hazır" : kSecurityStop) << text;
    }
}

TEST_F(HostSession, RequestBeforeRegistrationOrWithABadIdStopsEvenWhileConsentIsPending) {
    app.hostReady = false;
    Text(Request(Nonce(1), RequestId(1)));
    ExpectStopped(kSecurityStop);

    Connect();
    Text(kl::BuildRegistered());
    Pending(1, RequestId(1));
    Text(Request(Nonce(2), RequestId(2)));
    EXPECT_TRUE(app.consentPending) << "a well-formed request meanwhile is ignored";
    EXPECT_EQ(app.requestId, RequestId(1));
    EXPECT_TRUE(QueuedTexts().empty()) << "and not answered";
    std::string upper = RequestId(2);
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    Text(Request(Nonce(2), upper));
    ExpectStopped(kSecurityStop);
}

TEST_F(HostSession, ValidRequestWaitsForConsentWithItsOwnCryptoAndDeadline) {
    Pending(7, RequestId(7));
    EXPECT_EQ(app.requestId, RequestId(7));
    EXPECT_EQ(app.requestNonce, Nonce(7));
    EXPECT_TRUE(app.crypto);
    EXPECT_EQ(app.consentDeadline, now + 35000);
    EXPECT_EQ(app.seenRequests.count(Nonce(7)), 1u);
    EXPECT_EQ(app.statusText, L"Bağlantıya hazır") << "the consent panel asks, not the status line";
    EXPECT_TRUE(QueuedTexts().empty());
}

TEST_F(HostSession, WrongProofReplayAndTheRequestLimitAreRefusedAtOnce) {
    Text(kl::BuildConnectRequest("v2:" + Nonce(1) + ":" + std::string(64, '0'), RequestId(1)));
    EXPECT_EQ(QueuedTexts().back(), kl::BuildConnectResponse(RequestId(1), false));
    EXPECT_EQ(app.statusText, L"Yanlış anahtarla gelen istek reddedildi.");
    EXPECT_TRUE(app.hostReady && app.transport) << "still registered";

    // A nonce refused by the user stays spent.
    Pending(2, RequestId(2));
    AnswerConsent(app, false);
    Text(Request(Nonce(2), RequestId(3)));
    EXPECT_EQ(QueuedTexts().back(), kl::BuildConnectResponse(RequestId(3), false));
    EXPECT_EQ(app.statusText, L"Tekrarlanmış bağlantı isteği reddedildi.");

    for (int n = 3; n <= 256; ++n) {
        Pending(n, RequestId(n));
        AnswerConsent(app, false);
        app.sendQueue.clear();  // what the sender worker would have sent
        app.sendQueueBytes = 0;
    }
    EXPECT_EQ(app.seenRequests.size(), 255u);
    Pending(257, RequestId(257));  // the 256th nonce is still taken
    AnswerConsent(app, false);
    Text(Request(Nonce(258), RequestId(258)));
    EXPECT_FALSE(app.consentPending);
    EXPECT_EQ(app.statusText, L"İstek sınırına ulaşıldı. Yeni ID üret.");
    Text(Request(Nonce(2), RequestId(259)));
    EXPECT_EQ(app.statusText, L"İstek sınırına ulaşıldı. Yeni ID üret.") << "a repeat once full";
    EXPECT_EQ(app.seenRequests.size(), 256u);
    EXPECT_EQ(QueuedTexts().back(), kl::BuildConnectResponse(RequestId(259), false));
}

TEST_F(HostSession, ConsentTimesOutAtTheFirstTickAfterThirtyFiveSeconds) {
    Pending(1, RequestId(1));
    now += 35000;
    CheckTimers(app);
    EXPECT_TRUE(app.consentPending) << "not before the deadline has passed";
    now += 1;
    CheckTimers(app);
    EXPECT_FALSE(app.consentPending);
    EXPECT_EQ(QueuedTexts().back(), kl::BuildConnectResponse(RequestId(1), false));
    EXPECT_EQ(app.statusText, L"İstek reddedildi. Yeni istek bekleniyor.");
    EXPECT_FALSE(app.crypto);
    EXPECT_TRUE(app.requestId.empty());
    EXPECT_TRUE(app.hostReady);
}

TEST_F(HostSession, AcceptedWithoutConnectedForFifteenSecondsStops) {
    Pending(1, RequestId(1));
    AnswerConsent(app, true);
    EXPECT_EQ(QueuedTexts().back(), kl::BuildConnectResponse(RequestId(1), true));
    EXPECT_EQ(app.statusText, L"Onaylandı. Şifreli oturum kuruluyor…");
    now += 15000;
    CheckTimers(app);
    EXPECT_TRUE(app.transport);
    now += 1;
    CheckTimers(app);
    ExpectStopped(L"Bağlantı onayı zaman aşımına uğradı. Yeni ID üret.");
}

TEST_F(HostSession, AnswerThatCannotBeQueuedEndsTheRequest) {
    Pending(1, RequestId(1));
    app.networkRunning = false;  // the sender has gone
    AnswerConsent(app, true);
    ExpectStopped(L"İstek sona erdi. Yeni ID üret.");
}

TEST_F(HostSession, ConnectedNeedsTheAcceptedRequest) {
    Text(kl::BuildConnected(RequestId(1)));
    ExpectStopped(kSecurityStop);

    Connect();
    Text(kl::BuildRegistered());
    Pending(1, RequestId(1));
    AnswerConsent(app, true);
    Text(kl::BuildConnected(RequestId(2)));
    ExpectStopped(kSecurityStop);
}

TEST_F(HostSession, SharingOffersTheHotKeyOnlyWhenTheWindowHoldsIt) {
    app.hotkeyRegistered = false;  // another program had Ctrl+Alt+Shift+F12
    Sharing();
    EXPECT_EQ(app.statusText, L"Ekran paylaşımı açık");
}

TEST_F(HostSession, ConnectedStartsSharingWithBannerAndReadyFirst) {
    Sharing();
    EXPECT_EQ(app.statusText, L"Ekran paylaşımı açık · Ctrl+Alt+Shift+F12 ile kes");
    EXPECT_EQ(app.requestDeadline, 0u);
    ASSERT_NE(app.bannerWindow, nullptr);
    wchar_t title[64] = {};
    GetWindowTextW(app.bannerWindow, title, 64);
    EXPECT_STREQ(title, L"Kestrelink · Ekran paylaşımı açık");
    const LONG_PTR exStyle = GetWindowLongPtrW(app.bannerWindow, GWL_EXSTYLE);
    EXPECT_TRUE(exStyle & WS_EX_TOPMOST);
    EXPECT_TRUE(exStyle & WS_EX_TOOLWINDOW) << "no taskbar button";
    EXPECT_TRUE(IsWindowVisible(app.bannerWindow));
    RECT where{};
    GetWindowRect(app.bannerWindow, &where);
    EXPECT_EQ(where.left, 20);
    EXPECT_EQ(where.top, 20);
    EXPECT_EQ(where.right - where.left, 610);
    EXPECT_EQ(where.bottom - where.top, 52);
    EXPECT_NE(GetActiveWindow(), app.bannerWindow) << "shown without taking the focus";
    EXPECT_NE(GetFocus(), app.bannerWindow);
    EXPECT_EQ(Banners(), 1);

    EXPECT_TRUE(app.captureThread.joinable()) << "the capture worker runs";
    std::unique_lock<std::mutex> lock(app.sendMutex);
    ASSERT_GE(app.sendQueue.size(), 2u);
    const kl::OutgoingMessage ready = app.sendQueue[1];  // right after the answer, before any frame
    lock.unlock();
    EXPECT_EQ(ready.kind, kl::Ready);
    EXPECT_EQ(std::string(ready.bytes.begin(), ready.bytes.end()), RequestId(1));

    // What the viewer receives opens as Ready with the request id.
    const auto envelope = ready.crypto->Encrypt(ready.kind, ready.bytes);
    kl::CryptoSession viewerSide(app.connectionKey, app.connectionId, Nonce(1), false);
    std::uint8_t kind = 0;
    std::vector<std::uint8_t> plain;
    ASSERT_TRUE(viewerSide.Decrypt(envelope, kind, plain));
    EXPECT_EQ(kind, kl::Ready);

    HWND banner = app.bannerWindow;
    Text(kl::BuildConnected(RequestId(1)));
    ExpectStopped(kSecurityStop);
    EXPECT_FALSE(IsWindow(banner));
    EXPECT_EQ(Banners(), 0);

    // The next session gets one fresh banner.
    Connect();
    Text(kl::BuildRegistered());
    Pending(2, RequestId(2));
    AnswerConsent(app, true);
    Text(kl::BuildConnected(RequestId(2)));
    ASSERT_TRUE(app.sessionActive);
    EXPECT_EQ(Banners(), 1);
}

TEST_F(HostSession, RelayClosingOrConnectedBeforeTheAnswerEndsTheConsentPrompt) {
    Pending(1, RequestId(1));
    kl::NetEvent closed;
    closed.kind = kl::NetEvent::Closed;
    closed.text = "Relay connection closed";
    Handle(closed);
    ExpectStopped(L"Bağlantı kapandı. Yeniden bağlanmak için yeni ID üret.");
    EXPECT_FALSE(app.consentPending) << "the prompt is gone with the connection";

    Connect();
    Text(kl::BuildRegistered());
    Pending(2, RequestId(2));
    Text(kl::BuildConnected(RequestId(2)));  // the user has not answered
    ExpectStopped(kSecurityStop);
}

TEST_F(HostSession, RenewingEmptiesTheSeenRequestsAndReplacesTheKey) {
    Pending(1, RequestId(1));
    AnswerConsent(app, false);
    ASSERT_EQ(app.seenRequests.size(), 1u);
    const std::string oldKey = app.connectionKey, oldId = app.connectionId;
    app.relayUrl = L"ws://127.0.0.1:9/ws";
    RouteCommand(app, 106);  // "Yenile"
    EXPECT_TRUE(app.seenRequests.empty());
    EXPECT_NE(app.connectionKey, oldKey);
    EXPECT_NE(app.connectionId, oldId);
    EXPECT_TRUE(kl::IsValidConnectionKey(app.connectionKey));
    EXPECT_EQ(app.statusText, L"Güvenli bağlantı kuruluyor…");
    StopSession(app);
}

TEST_F(HostSession, AnAnswerThatCannotBeBuiltNeverLeavesTheHostAcceptedForEver) {
    Pending(1, RequestId(1));
    app.requestId = "\xC3\x28" + RequestId(1).substr(2);  // the library refuses to write it
    AnswerConsent(app, true);
    ExpectStopped(L"İstek sona erdi. Yeni ID üret.");
    EXPECT_FALSE(app.consentPending || app.consentGiven) << "not left accepted with no deadline";
}

TEST_F(HostSession, PeerLeavingDropsAPendingRequestButEndsASharingSession) {
    Pending(1, RequestId(1));
    Text(kl::BuildPeerDisconnected(RequestId(9)));
    EXPECT_TRUE(app.consentPending) << "another id is ignored";
    AnswerConsent(app, true);
    Text(kl::BuildPeerDisconnected(RequestId(1)));
    EXPECT_EQ(app.statusText, L"İstek sona erdi. Yeni istek bekleniyor.");
    EXPECT_TRUE(app.hostReady && app.transport);
    EXPECT_FALSE(app.consentGiven || app.crypto);
    EXPECT_EQ(app.requestDeadline, 0u);

    Pending(2, RequestId(1));
    AnswerConsent(app, true);
    Text(kl::BuildConnected(RequestId(1)));
    Text(kl::BuildPeerDisconnected(RequestId(1)));
    ExpectStopped(L"Karşı taraf ayrıldı. Yeni bağlantı için ID yenile.");
}

TEST_F(HostSession, RelayErrorsAndClosingShowTheirTexts) {
    Text(R"({"type":"error","message":"Bu ID şu anda kayıtlı değil."})");
    ExpectStopped(L"Bu ID şu anda kayıtlı değil.");
    Connect();
    Text(R"({"type":"error"})");
    ExpectStopped(L"Bağlantı kurulamadı.");
    // The relay's text cannot reorder itself, break the line or run past the status line.
    Connect();
    Text(kl::BuildError("\u202E\u2067Bağlantıya hazır\u2069\r\n\u2028" + std::string(200, 'x')));
    ExpectStopped(L"Bağlantıya hazır " + std::wstring(102, L'x') + L"…");
    Connect();
    Text(kl::BuildError("\u2066\u200F\t"));
    ExpectStopped(L"Bağlantı kurulamadı.");
    Connect();
    Text(R"({"type":"error","message":42})");
    ExpectStopped(kSecurityStop);
    Connect();
    Text("{\"type\":\"error\",\"message\":\"\xC3\x28\"}");
    ExpectStopped(kSecurityStop);  // the parser already refuses invalid UTF-8
    Connect();
    kl::NetEvent closed;
    closed.kind = kl::NetEvent::Closed;
    closed.text = "Relay connection closed";
    HandleNetEvent(app, closed);
    ExpectStopped(L"Bağlantı kapandı. Yeniden bağlanmak için yeni ID üret.");
}

TEST_F(HostSession, InputEventsAreCheckedBeforeAnythingIsInjected) {
    app.inputSender = RecordInput;
    Sharing();
    g_injected.clear();
    auto event = [](const char* action, int x, int y, int button, int key) {
        return kl::BuildInputEvent(action, x, y, button, key);
    };
    Binary(FromViewer(kl::InputEvent, event("move", 0, 0, 0, 0)));
    Binary(FromViewer(kl::InputEvent, event("wheel", 65535, 65535, 0, -12000)));
    Binary(FromViewer(kl::InputEvent, event("keydown", 0, 0, 0, 254)));
    std::string padded = event("keyup", 0, 0, 0, 254);
    padded.insert(padded.size() - 1,
                  ",\"pad\":\"" + std::string(1024 - padded.size() - 9, 'p') + "\"");
    ASSERT_EQ(padded.size(), 1024u);
    Binary(FromViewer(kl::InputEvent, padded));
    EXPECT_EQ(app.statusText, L"Ekran paylaşımı açık · Ctrl+Alt+Shift+F12 ile kes");
    ASSERT_EQ(g_injected.size(), 4u);
    EXPECT_EQ(g_injected[1].mi.mouseData, static_cast<DWORD>(-12000));
    EXPECT_TRUE(g_injected[3].ki.dwFlags & KEYEVENTF_KEYUP);

    const std::string refused[] = {
        padded + " ",
        event("down", 0, 0, 0, 0),
        event("keydown", 0, 0, 0, 255),
        event("wheel", 0, 0, 0, 0),
        event("", 0, 0, 0, 0),
        event("Move", 0, 0, 0, 0),
        R"({"action":"move","button":0,"x":0,"y":0})",
        R"({"action":"move","button":0,"key":0,"x":65536,"y":0})",
        R"({"action":"move","button":0,"key":0,"x":10.0,"y":0})",
        R"({"action":1,"button":0,"key":0,"x":0,"y":0})",
    };
    for (const std::string& text : refused) {
        SCOPED_TRACE(text.substr(0, 80));
        StopSession(app);
        Reregister();
        Sharing();
        g_injected.clear();
        Binary(FromViewer(kl::InputEvent, text));
        ExpectStopped(kSecurityStop);
        EXPECT_TRUE(g_injected.empty());
    }
}

TEST_F(HostSession, ReplayedAlteredOrMisdirectedEnvelopesStop) {
    Sharing();
    const auto first = FromViewer(kl::InputEvent, kl::BuildInputEvent("move", 1, 1, 0, 0));
    app.inputSender = RecordInput;
    Binary(first);
    EXPECT_TRUE(app.sessionActive);
    Binary(first);
    ExpectStopped(kSecurityStop);

    for (int variant = 0; variant < 3; ++variant) {
        Reregister();
        if (variant == 2) {
            Pending(1, RequestId(1));  // nothing is approved yet
        } else {
            Sharing();
        }
        auto envelope = FromViewer(variant == 1 ? kl::ScreenFrame : kl::InputEvent,
                                   kl::BuildInputEvent("move", 1, 1, 0, 0));
        if (variant == 0) envelope.back() ^= 1;
        Binary(envelope);
        ExpectStopped(kSecurityStop);
    }

    // The relay drops the "up" of a click: the next event stops the session instead of
    // turning into a drag, and the button is released.
    Reregister();
    Sharing();
    g_injected.clear();
    Binary(FromViewer(kl::InputEvent, kl::BuildInputEvent("down", 5, 5, 1, 0)));
    FromViewer(kl::InputEvent, kl::BuildInputEvent("up", 5, 5, 1, 0));
    Binary(FromViewer(kl::InputEvent, kl::BuildInputEvent("move", 9, 9, 0, 0)));
    ExpectStopped(kSecurityStop);
    ASSERT_EQ(g_injected.size(), 2u) << "the press, then its release by the stop; never the move";
    EXPECT_TRUE(g_injected[0].mi.dwFlags & MOUSEEVENTF_LEFTDOWN);
    EXPECT_TRUE(g_injected[1].mi.dwFlags & MOUSEEVENTF_LEFTUP);
}

// A capture worker that runs out of memory ends the session the way a lost connection does,
// and what the viewer held down is let go on this computer.
TEST_F(HostSession, ACaptureWorkerOutOfMemoryEndsTheSessionAndReleasesHeldKeys) {
    struct OutOfMemory : kl::FrameSource {
        bool Grab() override { throw std::bad_alloc(); }
        bool SameAsSent() const override { return false; }
        std::vector<std::uint8_t> Encode() override { return {}; }
        void MarkSent() override {}
    } source;
    app.inputSender = RecordInput;
    Sharing();
    Binary(FromViewer(kl::InputEvent, kl::BuildInputEvent("keydown", 0, 0, 0, 0x41)));
    app.streamRunning = false;  // the real worker makes way for one whose grab throws
    app.captureThread.join();
    g_injected.clear();
    app.streamRunning = true;
    kl::RunCapture(app, app.sessionGeneration, source);
    EXPECT_FALSE(app.streamRunning);
    DrainEvents(app);
    ExpectStopped(L"Bağlantı kapandı. Yeniden bağlanmak için yeni ID üret.");
    ASSERT_EQ(g_injected.size(), 1u);
    EXPECT_EQ(g_injected[0].ki.wVk, 0x41);
    EXPECT_TRUE(g_injected[0].ki.dwFlags & KEYEVENTF_KEYUP);
}
