// What happens when memory runs out or a wake-up cannot be posted: no exception ends the
// process, no session is left half started or half answered, and no copy of the own key is
// given back to the heap unwiped.
#include <windows.h>
#include <gtest/gtest.h>

#include <chrono>
#include <thread>

#include "alloc_hooks.hpp"
#include "app/client.hpp"
#include "crypto/crypto_session.hpp"
#include "net/transport.hpp"
#include "net/workers.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"
#include "window_fixture.hpp"

using namespace std::chrono_literals;

namespace {

const std::wstring kClosedRelay = L"ws://127.0.0.1:9/ws";  // nothing listens: workers fail quietly

bool WaitUntil(const std::function<bool()>& done, std::chrono::milliseconds limit = 10s) {
    for (auto end = std::chrono::steady_clock::now() + limit;
         std::chrono::steady_clock::now() < end;) {
        if (done()) return true;
        std::this_thread::sleep_for(20ms);
    }
    return done();
}

class Faults : public kltest::ProgramWindow {
  protected:
    void SetUp() override {
        ProgramWindow::SetUp();
        app.relayUrl = kClosedRelay;
    }
    void TearDown() override {
        kltest::FailNthAllocationOnThisThread(0);
        kltest::FailAllocationsOnOtherThreads(false);
        StopSession(app);
        ProgramWindow::TearDown();
    }
};

}  // namespace

TEST_F(Faults, ASessionStartFailingAtAnyAllocationLeavesNoWorkerOrConnection) {
    kltest::ResetAllocationCount();
    app.Open(false, "{}");
    const long total = kltest::AllocationsOnThisThread();
    StopSession(app);
    int failed = 0;
    for (long n = 1; n <= total; ++n) {
        kltest::FailNthAllocationOnThisThread(n);
        bool threw = false;
        try {
            app.Open(false, "{}");
        } catch (const std::bad_alloc&) {
            threw = true;
        }
        kltest::FailNthAllocationOnThisThread(0);
        if (threw) {
            ++failed;
            EXPECT_FALSE(app.senderThread.joinable()) << "allocation " << n;
            EXPECT_FALSE(app.networkThread.joinable()) << "allocation " << n;
            EXPECT_FALSE(app.networkRunning) << "allocation " << n;
            EXPECT_FALSE(app.transport) << "allocation " << n;
        }
        StopSession(app);
    }
    EXPECT_GE(failed, 3)
        << "the transport, the sender's start and the network worker's start can fail";
}

TEST_F(Faults, EnterInAnEditLetsNoExceptionOutOfTheMessageLoop) {
    // The allocations of reading and normalising what was typed, before the request's own
    // guard (past it the JSON library's destructors allocate, and a failure there ends any
    // program that uses it).
    MSG enter{app.idEdit, WM_KEYDOWN, VK_RETURN, 0, 0, {}};
    for (long n = 1; n <= 4; ++n) {
        SetWindowTextW(app.idEdit, L"123 456 789");
        SetWindowTextW(app.keyEdit, L"ABCDEFGHIJKLMNOPQRSTUVWXY4");
        app.viewerMode = false;
        LayoutControls(app);
        ASSERT_TRUE(IsWindowVisible(app.idEdit));
        kltest::FailNthAllocationOnThisThread(n);
        bool consumed = false;
        EXPECT_NO_THROW(consumed = PreTranslateMessage(app, enter)) << "allocation " << n;
        kltest::FailNthAllocationOnThisThread(0);
        EXPECT_TRUE(consumed);
        StopSession(app);
    }
}

TEST_F(Faults, WorkersThatCannotAllocateEndTheSessionInsteadOfTheProcess) {
    kltest::FailAllocationsOnOtherThreads(true);
    app.Open(false, "{}");
    ASSERT_TRUE(QueueText(app, std::string("{}")));  // wakes the sender, whose send then fails
    const bool ended = WaitUntil([&] {
        std::lock_guard<std::mutex> lock(app.eventMutex);
        return !app.networkRunning && (app.eventOverflow || app.eventQueue.size() >= 2);
    });
    kltest::FailAllocationsOnOtherThreads(false);
    EXPECT_TRUE(ended) << "both workers reported, or at least marked the session as lost";
    MSG msg;
    while (PeekMessageW(&msg, window, 0, 0, PM_REMOVE)) DispatchMessageW(&msg);
    EXPECT_FALSE(app.transport) << "the drain stopped the session";
}

TEST_F(Faults, AWakeUpThatCouldNotBePostedIsTriedAgainAndTheTimerDrainsWhatWaits) {
    app.Open(false, "{}");
    StopSession(app);  // a live generation without workers
    const HWND real = app.mainWindow;
    app.mainWindow = reinterpret_cast<HWND>(static_cast<INT_PTR>(0x7FFF0));  // no such window
    kl::NetEvent error;
    error.kind = kl::NetEvent::Error;
    error.text = "Relay connection closed";
    PostEvent(app, app.activeGeneration, error);
    {
        std::lock_guard<std::mutex> lock(app.eventMutex);
        EXPECT_EQ(app.eventQueue.size(), 1u);
        EXPECT_FALSE(app.eventPosted) << "no wake-up is outstanding";
    }
    app.mainWindow = real;
    app.statusText.clear();
    SendMessageW(window, WM_TIMER, kTimerId, 0);
    EXPECT_EQ(app.statusText, L"Bağlantı kapandı. Yeniden bağlanmak için yeni ID üret.")
        << "the timer drained it";
}

TEST_F(Faults, KindZeroIsNeverQueuedAsAnEncryptedMessage) {
    app.crypto = std::make_shared<kl::CryptoSession>("ABCDEFGHIJKLMNOPQRSTUVWXY4", "123456789",
                                                     "000102030405060708090a0b0c0d0e0f", true);
    app.transport = std::make_shared<kl::Transport>();
    app.networkRunning = true;
    EXPECT_FALSE(QueueEncrypted(app, 0, {1, 2, 3}));
    EXPECT_TRUE(QueueEncrypted(app, 2, {1, 2, 3}));
    std::lock_guard<std::mutex> lock(app.sendMutex);
    ASSERT_EQ(app.sendQueue.size(), 1u);
    EXPECT_EQ(app.sendQueue.front().kind, 2);
}

TEST_F(Faults, ShowingAndCopyingTheKeyGiveNoUnwipedCopyBackToTheHeap) {
    const std::string key = "QRSTUVWXYZ234567ABCDEFGHIA";
    app.connectionId = "482915037";
    app.connectionKey = key;
    app.hostReady = true;
    app.keyVisible = true;
    kltest::FreedMemoryScan scan({key.substr(0, 10), kltest::Utf16Bytes(key.substr(0, 10)),
                                  kltest::Utf16Bytes(key.substr(13, 10))});
    scan.Start();
    HDC dc = GetDC(window);
    PaintWindow(app, dc);
    ReleaseDC(window, dc);
    CopyCredentials(app);
    EXPECT_EQ(app.statusText, L"ID ve bağlantı anahtarı kopyalandı.");
    EXPECT_EQ(scan.Hits(), 0);
}
