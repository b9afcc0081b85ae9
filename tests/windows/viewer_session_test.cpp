// The viewer's request from the typed ID and key, and its side of the relay and encrypted
// messages, fed directly. The relay address is a closed loopback port: the workers run
// and fail quietly while the test plays the relay.
#include <objbase.h>

#include <algorithm>
#include <atomic>
#include <functional>

#include "alloc_hooks.hpp"
#include "net/workers.hpp"
#include "screen/frame_decoder.hpp"
#include "screen/frame_stages.hpp"
#include "screen/remote_frame.hpp"
#include "session_fixture.hpp"
#include "win/gdi_handles.hpp"

using kltest::kSecurityStop;

namespace {

const std::string kKey = "ABCDEFGHIJKLMNOPQRSTUVWXY4";  // last index a multiple of 4
const std::string kPeer = "123456789";

// A JPEG file of the given size from the system's own encoder.
std::vector<std::uint8_t> MakeJpeg(int width, int height) {
    using namespace Gdiplus::DllExports;
    static const CLSID kJpeg = {
        0x557CF401, 0x1A04, 0x11D3, {0x9A, 0x73, 0x00, 0x00, 0xF8, 0x1E, 0xF3, 0x2E}};
    kl::unique_gdip_bitmap bitmap;
    GdipCreateBitmapFromScan0(width, height, 0, PixelFormat32bppRGB, nullptr, bitmap.put());
    kl::unique_stream stream;
    CreateStreamOnHGlobal(nullptr, TRUE, stream.put());
    GdipSaveImageToStream(bitmap.get(), stream.get(), &kJpeg, nullptr);
    STATSTG stat{};
    stream.get()->Stat(&stat, STATFLAG_NONAME);
    std::vector<std::uint8_t> bytes(static_cast<std::size_t>(stat.cbSize.QuadPart));
    LARGE_INTEGER start{};
    stream.get()->Seek(start, STREAM_SEEK_SET, nullptr);
    ULONG read = 0;
    stream.get()->Read(bytes.data(), static_cast<ULONG>(bytes.size()), &read);
    return bytes;
}

class ViewerSession : public kltest::SessionTest {
  protected:
    void SetUp() override {
        SessionTest::SetUp();
        app.relayUrl = L"ws://127.0.0.1:9/ws";
        // Under a message-only parent: Wine takes seconds to destroy a top-level edit.
        app.idEdit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD, 0, 0, 100, 20, HWND_MESSAGE,
                                     nullptr, nullptr, nullptr);
        app.keyEdit = CreateWindowExW(0, L"EDIT", L"", WS_CHILD, 0, 0, 100, 20, HWND_MESSAGE,
                                      nullptr, nullptr, nullptr);
    }
    void TearDown() override {
        StopSession(app);
        DestroyWindow(app.idEdit);
        DestroyWindow(app.keyEdit);
        app.idEdit = app.keyEdit = nullptr;
    }
    void Type(const wchar_t* id, const wchar_t* key) {
        SetWindowTextW(app.idEdit, id);
        SetWindowTextW(app.keyEdit, key);
        SendConnectRequest(app);
    }
    void Requesting() {
        Type(L"123 456 789", L"abcde-fghij klmno-pqrst uvwxy4");
        ASSERT_TRUE(app.viewerMode && app.transport && app.crypto);
    }
    std::vector<std::uint8_t> FromHost(std::uint8_t kind, const std::vector<std::uint8_t>& plain) {
        if (!host) host = std::make_unique<kl::CryptoSession>(kKey, kPeer, app.requestNonce, true);
        return host->Encrypt(kind, plain);
    }
    std::vector<std::uint8_t> Bytes(const std::string& text) { return {text.begin(), text.end()}; }
    void Viewing() {
        Requesting();
        Text(kl::BuildConnected(RequestId(4)));
        Binary(FromHost(kl::Ready, Bytes(RequestId(4))));
        ASSERT_TRUE(app.sessionActive);
    }
    std::wstring KeyField() {
        wchar_t text[64] = {};
        GetWindowTextW(app.keyEdit, text, 64);
        return text;
    }
    // Envelopes queued as the receive thread queues them, then one drain. The network
    // worker's own failure to reach the closed port is let go first.
    void Batch(const std::vector<std::vector<std::uint8_t>>& envelopes) {
        if (app.networkThread.joinable()) app.networkThread.join();
        {
            std::lock_guard<std::mutex> lock(app.eventMutex);
            app.eventQueue.clear();
            app.eventQueueBytes = 0;
        }
        for (const auto& bytes : envelopes)
            PostEvent(app, app.sessionGeneration, {kl::NetEvent::Binary, bytes, {}});
        DrainEvents(app);
    }
    std::unique_ptr<kl::CryptoSession> host;
};

// Counts the pictures decoded and those a newer one replaced undecoded.
int g_decoded = 0, g_superseded = 0;
void CountDecodes(kl::FrameStage stage, std::uint64_t, std::uint64_t) {
    if (stage == kl::FrameStage::Decoded) ++g_decoded;
    if (stage == kl::FrameStage::Superseded) ++g_superseded;
}

}  // namespace

TEST_F(ViewerSession, InvalidInputOnlyChangesTheStatusLine) {
    const auto registration = app.transport;
    app.hostReady = true;
    Type(L"12345678", L"ABCDEFGHIJKLMNOPQRSTUVWXY4");
    EXPECT_EQ(app.statusText, L"9 haneli ID ve 26 karakterlik bağlantı anahtarı gerekiyor.");
    Type(L"123456789", L"ABCDEFGHIJKLMNOPQRSTUVWXY5");  // low bits of the last character set
    EXPECT_EQ(app.statusText, L"9 haneli ID ve 26 karakterlik bağlantı anahtarı gerekiyor.");
    Type(L"482-915-037", L"ABCDEFGHIJKLMNOPQRSTUVWXY4");
    EXPECT_EQ(app.statusText, L"Bağlanmak istediğin diğer bilgisayarın ID’sini gir.");
    EXPECT_EQ(app.transport, registration) << "the host registration goes on";
    EXPECT_TRUE(app.hostReady);
    EXPECT_FALSE(app.viewerMode);
    EXPECT_EQ(KeyField(), L"ABCDEFGHIJKLMNOPQRSTUVWXY4") << "nothing typed is lost";
}

TEST_F(ViewerSession, ARequestThatCannotBePreparedKeepsTheViewerModeAndWhatWasTyped) {
    // Nine digits, but an ID no host can have: the session keys refuse it.
    kltest::FreedMemoryScan scan({kKey.substr(0, 10), kltest::Utf16Bytes(kKey.substr(0, 10))});
    scan.Start();
    Type(L"012345678", L"ABCDEFGHIJKLMNOPQRSTUVWXY4");
    EXPECT_EQ(scan.Hits(), 0) << "every copy of the typed key was wiped before it was freed";
    EXPECT_EQ(app.statusText, L"Şifreli bağlantı hazırlanamadı.");
    EXPECT_TRUE(app.viewerMode);
    EXPECT_FALSE(app.transport || app.crypto || app.senderThread.joinable());
    EXPECT_EQ(KeyField(), L"ABCDEFGHIJKLMNOPQRSTUVWXY4") << "nothing typed is lost";
}

TEST_F(ViewerSession, RequestNormalisesWhatWasTypedAndEmptiesTheKeyField) {
    Requesting();
    EXPECT_EQ(app.statusText, L"Bağlantı isteği gönderiliyor…");
    EXPECT_EQ(app.requestNonce.size(), 32u);
    EXPECT_TRUE(kl::IsRequestId(app.requestNonce)) << "32 lower-case hexadecimal digits";
    EXPECT_EQ(app.requestDeadline, now + 50000);
    EXPECT_EQ(KeyField(), L"");
    EXPECT_TRUE(app.requestId.empty());
    // The session keys are those of the normalised key and ID.
    const auto envelope = app.crypto->Encrypt(kl::InputEvent, Bytes("{}"));
    kl::CryptoSession hostSide(kKey, kPeer, app.requestNonce, true);
    std::uint8_t kind = 0;
    std::vector<std::uint8_t> plain;
    EXPECT_TRUE(hostSide.Decrypt(envelope, kind, plain));

    const std::string nonce = app.requestNonce;
    Requesting();
    EXPECT_NE(app.requestNonce, nonce) << "a fresh nonce per request";
}

TEST_F(ViewerSession, HostMessagesAreIgnoredAndAnEarlyPeerLeavingToo) {
    Requesting();
    Text(kl::BuildRegistered());
    Text(Request(Nonce(1), RequestId(1)));
    Text(kl::BuildPeerDisconnected(RequestId(1)));
    Text(R"({"type":"somethingNew"})");
    Text(R"({"notype":1})");
    EXPECT_EQ(app.statusText, L"Bağlantı isteği gönderiliyor…");
    EXPECT_TRUE(app.viewerMode && app.transport);
}

TEST_F(ViewerSession, ConnectedThenReadyBindsTheSession) {
    Requesting();
    Text(kl::BuildConnected(RequestId(4)));
    EXPECT_EQ(app.requestId, RequestId(4));
    EXPECT_EQ(app.statusText, L"Karşı cihazın şifreleme anahtarı doğrulanıyor…");
    Binary(FromHost(kl::Ready, Bytes(RequestId(4))));
    EXPECT_TRUE(app.sessionActive && app.hostReady);
    EXPECT_EQ(app.requestDeadline, 0u);
    EXPECT_EQ(app.statusText, L"Uçtan uca şifreli bağlantı aktif");
    now += 100000;
    CheckTimers(app);
    EXPECT_TRUE(app.sessionActive) << "no deadline once bound";
}

TEST_F(ViewerSession, EveryBindingFaultStopsTheSession) {
    std::string upper = RequestId(4);
    std::transform(upper.begin(), upper.end(), upper.begin(), ::toupper);
    const std::vector<std::function<void()>> faults = {
        [&] { Text(kl::BuildConnected(RequestId(4))); },                   // connected twice
        [&] { Binary(FromHost(kl::Ready, Bytes(RequestId(4) + '\0'))); },  // trailing NUL
        [&] { Binary(FromHost(kl::Ready, Bytes(upper))); },
        [&] { Binary(FromHost(kl::ScreenFrame, MakeJpeg(8, 8))); },  // frame before Ready
        [&] { Binary(FromHost(kl::InputEvent, Bytes("{}"))); },
    };
    for (std::size_t i = 0; i < faults.size(); ++i) {
        SCOPED_TRACE(i);
        host.reset();
        Requesting();
        Text(kl::BuildConnected(RequestId(4)));
        faults[i]();
        ExpectStopped(kSecurityStop);
        EXPECT_FALSE(app.viewerMode);
    }
    for (const std::string& connected :
         {std::string(R"({"type":"connected"})"), kl::BuildConnected(upper)}) {
        Requesting();
        Text(connected);
        ExpectStopped(kSecurityStop);
    }
    host.reset();
    Viewing();
    Binary(FromHost(kl::Ready, Bytes(RequestId(4))));
    ExpectStopped(kSecurityStop);
}

TEST_F(ViewerSession, FramesReplaceThePictureAndABadOneEndsTheSession) {
    Viewing();
    Binary(FromHost(kl::ScreenFrame, MakeJpeg(64, 48)));
    ASSERT_TRUE(app.remoteFrame);
    EXPECT_EQ(kl::ImageWidth(app.remoteFrame), 64u);
    EXPECT_EQ(kl::ImageHeight(app.remoteFrame), 48u);
    Binary(FromHost(kl::ScreenFrame, MakeJpeg(32, 16)));
    EXPECT_EQ(kl::ImageWidth(app.remoteFrame), 32u);

    const std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0};
    Binary(FromHost(kl::ScreenFrame, png));
    ExpectStopped(kSecurityStop);
    EXPECT_FALSE(app.remoteFrame);
}

TEST_F(ViewerSession, ABatchOfFramesIsDecodedOnceAsItsNewest) {
    Viewing();
    kl::g_frameStageHook = CountDecodes;
    g_decoded = g_superseded = 0;
    Batch({FromHost(kl::ScreenFrame, MakeJpeg(64, 48)), FromHost(kl::ScreenFrame, MakeJpeg(48, 32)),
           FromHost(kl::ScreenFrame, MakeJpeg(32, 16))});
    EXPECT_EQ(kl::ImageWidth(app.remoteFrame), 32u);
    EXPECT_EQ(kl::ImageHeight(app.remoteFrame), 16u);
    EXPECT_EQ(g_decoded, 1);
    EXPECT_EQ(g_superseded, 2);
    Batch({FromHost(kl::ScreenFrame, MakeJpeg(20, 10))});
    EXPECT_EQ(kl::ImageWidth(app.remoteFrame), 20u) << "a batch of one shows its frame";
    EXPECT_EQ(g_decoded, 2);
    kl::g_frameStageHook = nullptr;
}

// The area of the last WM_PAINT of the window below.
RECT g_painted{};
LRESULT CALLBACK RecordPaint(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message != WM_PAINT) return DefWindowProcW(window, message, wParam, lParam);
    PAINTSTRUCT ps;
    BeginPaint(window, &ps);
    g_painted = ps.rcPaint;
    EndPaint(window, &ps);
    return 0;
}

// With a window, pictures are decoded and scaled on the decoding thread, which tells the window
// when one is ready; the window shows it by a plain copy.
class ViewerWindowSession : public ViewerSession {
  protected:
    void SetUp() override {
        ViewerSession::SetUp();
        static const bool registered = [] {
            WNDCLASSW wc{};
            wc.lpfnWndProc = RecordPaint;
            wc.hInstance = GetModuleHandleW(nullptr);
            wc.lpszClassName = L"KestrelinkTestPaintRecorder";
            return RegisterClassW(&wc) != 0;
        }();
        ASSERT_TRUE(registered);
        RECT size = {0, 0, app.clientWidth, app.clientHeight};
        AdjustWindowRectEx(&size, WS_POPUP, FALSE, WS_EX_TOOLWINDOW);
        app.mainWindow = CreateWindowExW(
            WS_EX_TOOLWINDOW, L"KestrelinkTestPaintRecorder", L"", WS_POPUP | WS_VISIBLE, 0, 0,
            size.right - size.left, size.bottom - size.top, nullptr, nullptr, nullptr, nullptr);
        ASSERT_NE(app.mainWindow, nullptr);
        UpdateWindow(app.mainWindow);
    }
    void TearDown() override {
        ViewerSession::TearDown();
        DestroyWindow(app.mainWindow);
        app.mainWindow = nullptr;
    }
    // Waits for the decoding thread's message (at most tries x 10 ms) and handles it as the
    // window procedure does.
    bool ShowNextDecoded(int tries = 500) {
        for (int i = 0; i < tries; ++i) {
            MSG msg;
            if (PeekMessageW(&msg, app.mainWindow, kl::kFrameMessage, kl::kFrameMessage,
                             PM_REMOVE)) {
                ShowDecodedFrame(app);
                return true;
            }
            Sleep(10);
        }
        return false;
    }
};

TEST_F(ViewerWindowSession, ABatchShowsItsNewestPictureScaledForItsPlace) {
    Viewing();
    kl::g_frameStageHook = CountDecodes;
    g_decoded = g_superseded = 0;
    Batch({FromHost(kl::ScreenFrame, MakeJpeg(640, 480)),
           FromHost(kl::ScreenFrame, MakeJpeg(48, 32)),
           FromHost(kl::ScreenFrame, MakeJpeg(320, 160))});
    EXPECT_FALSE(app.remoteFrame) << "the window thread did not decode";
    ASSERT_TRUE(ShowNextDecoded());
    kl::g_frameStageHook = nullptr;
    EXPECT_EQ(g_decoded, 1);
    EXPECT_EQ(g_superseded, 2);
    ASSERT_TRUE(app.remoteFrame);
    EXPECT_EQ(kl::ImageWidth(app.remoteFrame), 320u);
    const RECT place = kl::FramePixels(kl::FitRemoteFrame(app));
    EXPECT_EQ(app.remoteScaledWidth, place.right - place.left);
    EXPECT_EQ(app.remoteScaledHeight, place.bottom - place.top);
    EXPECT_EQ(app.remoteScaled.size(),
              static_cast<std::size_t>(app.remoteScaledWidth) * app.remoteScaledHeight);
    EXPECT_TRUE(app.sessionActive);
}

TEST_F(ViewerWindowSession, ANewPictureInTheSamePlaceRepaintsExactlyItsRectangle) {
    Viewing();
    Batch({FromHost(kl::ScreenFrame, MakeJpeg(640, 480))});  // placed at fractional pixels
    ASSERT_TRUE(ShowNextDecoded());
    Batch({FromHost(kl::ScreenFrame, MakeJpeg(640, 480))});
    g_painted = {};
    ASSERT_TRUE(ShowNextDecoded());
    // A pixel more around it would have the whole remote view drawn again for every picture.
    const RECT place = kl::FramePixels(kl::FitRemoteFrame(app));
    EXPECT_TRUE(EqualRect(&g_painted, &place))
        << g_painted.left << "," << g_painted.top << "," << g_painted.right << ","
        << g_painted.bottom << " painted, " << place.left << "," << place.top << "," << place.right
        << "," << place.bottom << " the picture";
}

TEST_F(ViewerWindowSession, APictureThatDoesNotDecodeEndsTheSession) {
    // Without its quantisation tables the file passes the structure check but cannot be decoded.
    std::vector<std::uint8_t> jpeg = MakeJpeg(64, 48);
    for (std::size_t i = 2; i + 4 < jpeg.size() && jpeg[i] == 0xFF && jpeg[i + 1] != 0xDA;) {
        const std::size_t length = 2 + (jpeg[i + 2] << 8 | jpeg[i + 3]);
        if (jpeg[i + 1] == 0xDB)
            jpeg.erase(jpeg.begin() + i, jpeg.begin() + i + length);
        else
            i += length;
    }
    Viewing();
    Batch({FromHost(kl::ScreenFrame, MakeJpeg(64, 48))});
    ASSERT_TRUE(ShowNextDecoded());
    ASSERT_TRUE(app.remoteFrame);
    Batch({FromHost(kl::ScreenFrame, jpeg)});
    EXPECT_TRUE(app.sessionActive) << "checked, not yet decoded";
    ASSERT_TRUE(ShowNextDecoded());
    ExpectStopped(kSecurityStop);
    EXPECT_FALSE(app.remoteFrame);
    EXPECT_TRUE(app.remoteScaled.empty());
}

namespace {

// The next picture's decoding is held up on the decoding thread until `g_release` is set (or
// ten seconds pass, so that a fault cannot hang the run).
std::atomic<bool> g_holdNext{false}, g_holding{false}, g_holdEnded{false};
HANDLE g_release = nullptr;
void HoldDecode(kl::FrameStage stage, std::uint64_t, std::uint64_t) {
    if (stage != kl::FrameStage::Decoded || !g_holdNext.exchange(false)) return;
    g_holding = true;
    WaitForSingleObject(g_release, 10000);
    g_holdEnded = true;
}

}  // namespace

TEST_F(ViewerWindowSession, APictureStillDecodingHoldsUpNeitherTheNextSessionNorTheClose) {
    g_release = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    g_holdEnded = g_holding = false;
    g_holdNext = true;
    kl::g_frameStageHook = HoldDecode;
    const int decoders = kl::RunningFrameDecoders();
    Viewing();
    Batch({FromHost(kl::ScreenFrame, MakeJpeg(640, 480))});
    for (int i = 0; i < 500 && !g_holding; ++i) Sleep(10);
    ASSERT_TRUE(g_holding);
    // The user ends the view while the picture decodes and connects again at once: the new
    // session's first picture is shown within a second, the old one still undecoded.
    StopSession(app);
    host.reset();
    Viewing();
    Batch({FromHost(kl::ScreenFrame, MakeJpeg(32, 16))});
    EXPECT_TRUE(ShowNextDecoded(100));
    EXPECT_EQ(kl::ImageWidth(app.remoteFrame), 32u);
    EXPECT_FALSE(g_holdEnded);
    SetEvent(g_release);
    for (int i = 0; i < 500 && !g_holdEnded; ++i) Sleep(10);  // the old thread has let go

    // Closing the window while a picture decodes returns without waiting for it.
    ResetEvent(g_release);
    g_holding = g_holdEnded = false;
    g_holdNext = true;
    Batch({FromHost(kl::ScreenFrame, MakeJpeg(64, 48))});
    for (int i = 0; i < 500 && !g_holding; ++i) Sleep(10);
    ASSERT_TRUE(g_holding);
    app.frameDecoder.reset();  // what the record's destruction does
    EXPECT_FALSE(g_holdEnded);
    EXPECT_GT(kl::RunningFrameDecoders(), decoders) << "the held thread was let go, not joined";
    SetEvent(g_release);
    for (int i = 0; i < 500 && kl::RunningFrameDecoders() > decoders; ++i) Sleep(10);
    EXPECT_EQ(kl::RunningFrameDecoders(), decoders) << "and it ends once its picture is done";
    kl::g_frameStageHook = nullptr;
    CloseHandle(g_release);
}

TEST(ScalePixels, AveragesTheAreaEachPixelCoversWithoutLosingBrightness) {
    // A uniform picture stays exactly uniform at any ratio, up or down.
    const int sizes[][4] = {
        {1920, 1080, 1124, 632}, {7, 5, 3, 2}, {3, 2, 7, 5}, {5, 5, 5, 5}, {1, 1, 4, 3}};
    for (const auto& s : sizes) {
        std::vector<std::uint32_t> source(static_cast<std::size_t>(s[0]) * s[1], 0x00FFC080u);
        std::vector<std::uint32_t> target(static_cast<std::size_t>(s[2]) * s[3], 0xDEADBEEFu);
        kl::ScalePixels(reinterpret_cast<const std::uint8_t*>(source.data()), s[0] * 4, s[0], s[1],
                        target.data(), s[2], s[3]);
        EXPECT_EQ(std::count(target.begin(), target.end(), 0x00FFC080u),
                  static_cast<std::ptrdiff_t>(target.size()))
            << s[0] << "x" << s[1] << " to " << s[2] << "x" << s[3];
    }
    // Halving averages each 2x2 block; a third of the way across takes a third of each side.
    const std::uint32_t blocks[] = {0x000000FF, 0x00000001, 0x00000000, 0x00FF0000, 0x000000FF,
                                    0x00000001, 0x00000000, 0x00FF0000};  // 4x2, stride 16
    std::uint32_t half[2] = {};
    kl::ScalePixels(reinterpret_cast<const std::uint8_t*>(blocks), 16, 4, 2, half, 2, 1);
    EXPECT_EQ(half[0], 0x00000080u);  // (255 + 1) / 2 in blue
    EXPECT_EQ(half[1], 0x00800000u);  // 255 / 2 in red, rounded
    const std::uint32_t line[] = {0x00000000, 0x00000090, 0x00000000};
    std::uint32_t two[2] = {};
    kl::ScalePixels(reinterpret_cast<const std::uint8_t*>(line), 12, 3, 1, two, 2, 1);
    EXPECT_EQ(two[0], 0x00000030u);  // 1.5 source pixels, the second counted half: 0x90 / 3
    EXPECT_EQ(two[1], 0x00000030u);
}

TEST_F(ViewerSession, ABadFrameAnywhereInABatchEndsTheSession) {
    const std::vector<std::uint8_t> png = {0x89, 'P', 'N', 'G', 0x0D, 0x0A, 0x1A, 0x0A, 0, 0, 0, 0};
    for (int where = 0; where < 3; ++where) {
        for (int fault = 0; fault < 3; ++fault) {
            SCOPED_TRACE(testing::Message() << "fault " << fault << " at " << where);
            host.reset();
            Viewing();
            std::vector<std::vector<std::uint8_t>> batch;
            for (int i = 0; i < 3; ++i) {
                if (i != where) {
                    batch.push_back(FromHost(kl::ScreenFrame, MakeJpeg(40 + i, 30)));
                } else if (fault == 0) {
                    batch.push_back(FromHost(kl::ScreenFrame, png));  // not a JPEG
                } else if (fault == 1) {
                    batch.push_back(FromHost(kl::ScreenFrame, MakeJpeg(40, 30)));
                    batch.back()[20] ^= 1;  // altered on the way
                } else {
                    batch.push_back(FromHost(kl::Ready, Bytes(RequestId(4))));  // a second Ready
                }
            }
            Batch(batch);
            ExpectStopped(kSecurityStop);
            EXPECT_FALSE(app.remoteFrame);
            EXPECT_FALSE(app.viewerMode);
        }
    }
}

TEST_F(ViewerSession, RequestTimesOutAfterFiftySecondsAndPeerLeavingEndsAView) {
    Requesting();
    Text(kl::BuildConnected(RequestId(4)));
    now += 50000;
    CheckTimers(app);
    EXPECT_TRUE(app.transport);
    now += 1;
    CheckTimers(app);
    ExpectStopped(L"Bağlantı onayı zaman aşımına uğradı. Yeni ID üret.");
    EXPECT_FALSE(app.viewerMode);

    host.reset();
    Viewing();
    Text(kl::BuildPeerDisconnected(RequestId(5)));
    EXPECT_TRUE(app.sessionActive);
    Text(kl::BuildPeerDisconnected(RequestId(4)));
    ExpectStopped(L"Karşı taraf ayrıldı. Yeni bağlantı için ID yenile.");
    EXPECT_FALSE(app.viewerMode);
}

TEST_F(ViewerSession, RenewingDuringAViewEndsItAndRegistersAFreshHost) {
    Viewing();
    const std::string oldId = app.connectionId;
    RenewHostId(app);
    EXPECT_FALSE(app.viewerMode || app.sessionActive);
    EXPECT_NE(app.connectionId, oldId);
    EXPECT_TRUE(app.transport);
    EXPECT_EQ(app.statusText, L"Güvenli bağlantı kuruluyor…");
    StopSession(app);
    StopSession(app);  // twice is harmless
    EXPECT_FALSE(app.transport);
}
