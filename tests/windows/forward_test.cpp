// The viewer's forwarding: window messages to a real window of the program's procedure become
// encrypted input events in the outgoing queue, opened here with the host's keys.
#include <windows.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <memory>

#include "app/client.hpp"
#include "crypto/crypto_session.hpp"
#include "net/transport.hpp"
#include "render.hpp"
#include "screen/remote_frame.hpp"
#include "session/messages.hpp"
#include "ui/ui.hpp"
#include "window_fixture.hpp"

namespace {

const char kKey[] = "ABCDEFGHIJKLMNOPQRSTUVWXY4";
const char kId[] = "123456789";
const char kNonce[] = "000102030405060708090a0b0c0d0e0f";

class Forwarding : public kltest::ProgramWindow {
  protected:
    void SetUp() override {
        ProgramWindow::SetUp();
        app.tickSource = [this] { return now; };
        // A bound viewing session whose messages stay queued.
        app.viewerMode = app.sessionActive = true;
        app.requestId = std::string(32, 'a');
        app.crypto = std::make_shared<kl::CryptoSession>(kKey, kId, kNonce, false);
        app.transport = std::make_shared<kl::Transport>();
        app.networkRunning = true;
        LayoutControls(app);
    }
    // A 1920 x 1080 picture: in a 1080 x 680 window it sits at about (67.1, 112, 945.8, 532).
    void Picture() {
        Gdiplus::GpBitmap* bitmap = nullptr;
        Gdiplus::DllExports::GdipCreateBitmapFromScan0(1920, 1080, 0, PixelFormat32bppRGB, nullptr,
                                                       &bitmap);
        app.remoteFrame.reset(bitmap);
    }
    // Every queued input event, opened as the host opens it (one host for the whole test:
    // each envelope must carry exactly the next number).
    std::vector<nlohmann::json> Sent() {
        std::vector<nlohmann::json> events;
        for (const kl::OutgoingMessage& m : app.sendQueue) {
            const auto envelope = m.crypto->Encrypt(m.kind, m.bytes);
            std::uint8_t kind = 0;
            std::vector<std::uint8_t> plain;
            EXPECT_TRUE(host.Decrypt(envelope, kind, plain));
            EXPECT_EQ(kind, kl::InputEvent);
            events.push_back(kl::ParseMessage(plain));
        }
        app.sendQueue.clear();
        app.sendQueueBytes = 0;
        return events;
    }
    LRESULT Send(UINT message, WPARAM w, int x, int y) {
        return SendMessageW(window, message, w, MAKELPARAM(x, y));
    }

    std::uint64_t now = 100000;
    kl::CryptoSession host{kKey, kId, kNonce, true};
};

}  // namespace

TEST_F(Forwarding, PicturesCornersMapToTheEndsOfTheRange) {
    Picture();
    const kl::FrameRect r = kl::FitRemoteFrame(app);
    EXPECT_NEAR(r.left, 67.1f, 0.1f);
    EXPECT_NEAR(r.width, 945.8f, 0.1f);
    Send(WM_LBUTTONDOWN, MK_LBUTTON, 68, 112);
    Send(WM_LBUTTONUP, 0, 1012, 643);
    const auto events = Sent();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["action"], "down");
    EXPECT_EQ(events[0]["button"], 1);
    EXPECT_LT(events[0]["x"].get<int>(), 70) << "the first whole pixel, 0.9 px into the picture";
    EXPECT_EQ(events[0]["y"], 0);
    EXPECT_EQ(events[1]["action"], "up");
    EXPECT_GT(events[1]["x"].get<int>(), 65400);
    EXPECT_LT(events[1]["x"].get<int>(), 65535);
    EXPECT_GT(events[1]["y"].get<int>(), 65400);
}

TEST_F(Forwarding, MovesAreThinnedAndTheMarginsSendNothingButAClampedRelease) {
    Picture();
    Send(WM_MOUSEMOVE, 0, 500, 300);
    now += 10;
    Send(WM_MOUSEMOVE, 0, 501, 300);
    now += 11;  // 21 ms after the first
    Send(WM_MOUSEMOVE, 0, 502, 300);
    now += 30;
    Send(WM_MOUSEMOVE, 0, 20, 300);  // the black margin
    auto events = Sent();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["action"], "move");
    EXPECT_EQ(events[0]["button"], 1);
    EXPECT_EQ(events[1]["x"].get<int>() > events[0]["x"].get<int>(), true);

    Send(WM_RBUTTONDOWN, MK_RBUTTON, 500, 300);
    Send(WM_RBUTTONUP, 0, 10, 300);
    events = Sent();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[1].dump(),
              R"({"action":"up","button":2,"key":0,"x":0,"y":)" + events[1]["y"].dump() + "}");
    EXPECT_EQ(GetCapture(), nullptr) << "capture is given back after the release";
}

TEST_F(Forwarding, KeysGoOutUnfilteredAndBeforeTheFirstPictureOnlyKeys) {
    Send(WM_MOUSEMOVE, 0, 500, 300);
    Send(WM_LBUTTONDOWN, MK_LBUTTON, 500, 300);
    SendMessageW(window, WM_KEYDOWN, VK_ESCAPE, 0);
    SendMessageW(window, WM_SYSKEYDOWN, VK_MENU, 0);
    SendMessageW(window, WM_SYSKEYUP, VK_MENU, 0);
    const auto events = Sent();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].dump(), R"({"action":"keydown","button":0,"key":27,"x":0,"y":0})");
    EXPECT_EQ(events[1]["key"], VK_MENU);
    EXPECT_EQ(events[2]["action"], "keyup");
    EXPECT_TRUE(IsWindow(window)) << "nothing reached the default procedure";
}

TEST_F(Forwarding, WheelCarriesItsSignedDeltaAndNothingLeavesOutsideASession) {
    Picture();
    POINT p{500, 300};
    ClientToScreen(window, &p);
    SendMessageW(window, WM_MOUSEWHEEL, MAKEWPARAM(0, static_cast<WORD>(-240)),
                 MAKELPARAM(p.x, p.y));
    auto events = Sent();
    ASSERT_EQ(events.size(), 1u);
    EXPECT_EQ(events[0]["key"], -240);
    EXPECT_EQ(events[0]["button"], 0);

    app.sessionActive = false;
    Send(WM_MOUSEMOVE, 0, 500, 300);
    SendMessageW(window, WM_MOUSEWHEEL, MAKEWPARAM(0, 120), MAKELPARAM(p.x, p.y));
    SendMessageW(window, WM_KEYDOWN, 'A', 0);
    EXPECT_TRUE(Sent().empty());
}

TEST_F(Forwarding, ARefusedPushBecomesAnInputSendFailure) {
    app.networkRunning = false;  // the sender has gone
    SendMessageW(window, WM_KEYDOWN, 'A', 0);
    std::lock_guard<std::mutex> lock(app.eventMutex);
    ASSERT_EQ(app.eventQueue.size(), 1u);
    EXPECT_EQ(app.eventQueue.front().event.kind, kl::NetEvent::Error);
    EXPECT_EQ(app.eventQueue.front().event.text, "Input send failed");
}

TEST_F(Forwarding, EveryPressedButtonIsReleasedAndTheCaptureStaysWhileOneIsHeld) {
    Picture();
    Send(WM_LBUTTONDOWN, MK_LBUTTON, 500, 300);
    Send(WM_RBUTTONDOWN, MK_LBUTTON | MK_RBUTTON, 500, 300);
    Send(WM_LBUTTONUP, MK_RBUTTON, 500, 300);
    EXPECT_EQ(GetCapture(), window) << "the right button is still down on the host";
    Send(WM_RBUTTONUP, 0, 500, 300);
    EXPECT_EQ(GetCapture(), nullptr);
    auto events = Sent();
    ASSERT_EQ(events.size(), 4u);
    EXPECT_EQ(events[2]["action"], "up");
    EXPECT_EQ(events[2]["button"], 1);
    EXPECT_EQ(events[3]["action"], "up");
    EXPECT_EQ(events[3]["button"], 2) << "the release after the capture's first owner let go";

    // Losing the capture to another window releases what is held, once.
    Send(WM_MBUTTONDOWN, MK_MBUTTON, 500, 300);
    kltest::RegisterTestClass(L"KestrelinkOther", DefWindowProcW);
    HWND other = CreateWindowExW(0, L"KestrelinkOther", L"", WS_POPUP | WS_VISIBLE, 0, 0, 10, 10,
                                 nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
    SetCapture(other);
    ReleaseCapture();
    DestroyWindow(other);
    Send(WM_MBUTTONUP, 0, 500, 300);
    events = Sent();
    ASSERT_EQ(events.size(), 2u);
    EXPECT_EQ(events[0]["action"], "down");
    EXPECT_EQ(events[1]["action"], "up");
    EXPECT_EQ(events[1]["button"], 3);
}

TEST_F(Forwarding, AltCharactersNeverOpenTheWindowMenuDuringAView) {
    // The system commands the default procedure would raise are recorded, not carried out.
    static std::vector<WPARAM> commands;
    static WNDPROC original = nullptr;
    commands.clear();
    original = reinterpret_cast<WNDPROC>(SetWindowLongPtrW(
        window, GWLP_WNDPROC,
        reinterpret_cast<LONG_PTR>(+[](HWND w, UINT m, WPARAM wp, LPARAM lp) -> LRESULT {
            if (m == WM_SYSCOMMAND) {
                commands.push_back(wp & 0xFFF0);
                return 0;
            }
            return CallWindowProcW(original, w, m, wp, lp);
        })));
    SendMessageW(window, WM_SYSCHAR, L' ', 0x20000000);
    SendMessageW(window, WM_SYSCHAR, L'f', 0x20000000);
    EXPECT_TRUE(commands.empty()) << "Alt+Space reached the default procedure";
    app.sessionActive = false;
    SendMessageW(window, WM_SYSCHAR, L' ', 0x20000000);
    EXPECT_FALSE(commands.empty()) << "outside a view the window menu works as usual";
    SetWindowLongPtrW(window, GWLP_WNDPROC, reinterpret_cast<LONG_PTR>(original));
}

TEST_F(Forwarding, AtAMaximisedWindowAClickLandsOnTheHostPixelPaintedUnderIt) {
    // A black 1920 x 1080 host screen with a red mark at (1000, 500), in a window the size of a
    // maximised one on a 1920 x 1080 display (the layout scale is then about 1.59).
    app.remoteFrame = kltest::HostPicture(1920, 1080, 0xFF000000, 1000, 500);
    SetWindowPos(window, nullptr, 0, 0, 1920, 1080, SWP_NOZORDER | SWP_NOACTIVATE);
    ASSERT_EQ(app.clientWidth, 1920) << "the window lays itself out when it is resized";
    ASSERT_GT(app.scale, 1.5f);
    // Where the paint routine draws the mark: the centre of its red pixels.
    const float scale = app.scale;
    const kltest::Rendered shown(app, 1920, 1080);
    ASSERT_FLOAT_EQ(app.scale, scale);
    long sumX = 0, sumY = 0, count = 0;
    for (int y = 0; y < shown.height; ++y)
        for (int x = 0; x < shown.width; ++x)
            if (const std::uint32_t p = shown.Pixel(x, y); (p >> 16) > 0xC0 && (p & 0xFFFF) == 0)
                sumX += x, sumY += y, ++count;
    ASSERT_GT(count, 0) << "the mark is not drawn";
    const int x = static_cast<int>(sumX / count), y = static_cast<int>(sumY / count);
    Send(WM_LBUTTONDOWN, MK_LBUTTON, x, y);
    Send(WM_LBUTTONUP, 0, x, y);
    const auto events = Sent();
    ASSERT_EQ(events.size(), 2u);
    // The host injects at the mapped position of its own 1920 x 1080 screen.
    const double hostX = events[0]["x"].get<int>() * 1920.0 / 65535,
                 hostY = events[0]["y"].get<int>() * 1080.0 / 65535;
    EXPECT_GE(hostX, 1000 - 0.5);
    EXPECT_LE(hostX, 1008 + 0.5);
    EXPECT_GE(hostY, 500 - 0.5);
    EXPECT_LE(hostY, 508 + 0.5);
}
