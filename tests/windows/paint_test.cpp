// The paint routine on an off-screen device context: colours at points inside the drawn
// elements, and the click regions it records, for each state the window can be in.
#include <windows.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <vector>

#include "app/client.hpp"
#include "render.hpp"
#include "screen/remote_frame.hpp"
#include "ui/ui.hpp"

namespace {

std::vector<unsigned> Ids(const Client& app) {
    std::vector<unsigned> ids;
    for (const auto& r : app.buttons) ids.push_back(r.id);
    return ids;
}

}  // namespace

TEST(Paint, FirstPageDrawsCardsButtonsAndTheirRegions) {
    Client app;
    app.connectionId = "482915037";
    const kltest::Rendered r(app, 1080, 680);
    EXPECT_EQ(r.At(90, 400), 0x172821u) << "sidebar";
    EXPECT_EQ(r.At(1060, 300), 0xF5F6F3u) << "background";
    EXPECT_EQ(r.At(150, 136), 0x31483Au) << "selected nav item";
    EXPECT_EQ(r.At(300, 205), 0xFFFFFFu) << "card 1";
    EXPECT_EQ(r.At(1030, 220), 0xFFFFFFu) << "card 2";
    EXPECT_EQ(r.At(608, 177), 0xF4EEDFu) << "waiting pill";
    EXPECT_EQ(r.At(252, 440), 0x16664Fu) << "copy button";
    EXPECT_EQ(r.At(1010, 440), 0x16664Fu) << "send button";
    EXPECT_EQ(r.At(522, 440), 0xF5F7F7u) << "renew button";
    EXPECT_EQ(r.At(1000, 590), 0xEAF0E9u) << "info band";
    EXPECT_EQ(r.At(1010, 300), 0xF7F8F9u) << "ID box";
    EXPECT_EQ(Ids(app), (std::vector<unsigned>{107, 108, 105, 104, 106, 103, 112, 113, 114}));
    const ClickRegion& copy = app.buttons[3];
    EXPECT_EQ(copy.label, L"Bağlantı bilgilerini kopyala");
    EXPECT_FLOAT_EQ(copy.x, 248);
    EXPECT_FLOAT_EQ(copy.y, 435);
    EXPECT_FLOAT_EQ(copy.width, 257);
    EXPECT_FLOAT_EQ(copy.height, 39);
}

TEST(Paint, HoverAndReadinessChangeTheirColours) {
    Client app;
    app.hoverId = 104;
    app.hostReady = true;
    const kltest::Rendered hovered(app, 1080, 680);
    EXPECT_EQ(hovered.At(252, 440), 0x1E7B60u) << "hovered primary button";
    EXPECT_EQ(hovered.At(608, 177), 0xE7F5EBu) << "ready pill";
    app.hoverId = 106;
    const kltest::Rendered secondary(app, 1080, 680);
    EXPECT_EQ(secondary.At(522, 440), 0xE6ECEAu) << "hovered secondary button";
    app.viewerMode = true;
    const kltest::Rendered viewer(app, 1080, 680);
    EXPECT_EQ(viewer.At(608, 177), 0xF4EEDFu) << "a viewer is never 'ready' as a host";
}

TEST(Paint, ConsentPanelLeavesOnlyItsTwoButtons) {
    Client app;
    app.consentPending = true;
    const kltest::Rendered r(app, 1080, 680);
    EXPECT_EQ(Ids(app), (std::vector<unsigned>{110, 109}));
    EXPECT_EQ(r.At(330, 190), 0xFFFFFFu) << "panel";
    EXPECT_EQ(r.At(820, 425), 0x16664Fu) << "accept button";
    EXPECT_NE(r.At(90, 400), 0x172821u) << "the sidebar lies under the translucent veil";
}

TEST(Paint, SharingHostGetsAStopButtonAndTheViewerOnlyTheRemoteView) {
    Client app;
    app.sessionActive = true;
    app.hostReady = true;
    const kltest::Rendered host(app, 1080, 680);
    EXPECT_EQ(Ids(app).back(), 111u);
    EXPECT_EQ(host.At(1035, 615), 0xA12232u) << "danger button";
    app.hoverId = 111;
    const kltest::Rendered hovered(app, 1080, 680);
    EXPECT_EQ(hovered.At(1035, 615), 0x1E7B60u) << "a hovered danger button";

    app.hoverId = 0;
    app.viewerMode = true;
    const kltest::Rendered viewer(app, 1080, 680);
    EXPECT_EQ(Ids(app), std::vector<unsigned>{111});
    EXPECT_EQ(viewer.At(90, 400), 0x0D1418u) << "no sidebar in the remote view";
    EXPECT_EQ(viewer.At(1040, 25), 0xA12232u) << "disconnect button";
}

TEST(Paint, SecurityPageHasNoCardButtons) {
    Client app;
    app.page = 1;
    const kltest::Rendered r(app, 1080, 680);
    EXPECT_EQ(Ids(app), (std::vector<unsigned>{107, 108, 112, 113, 114}));
    EXPECT_EQ(r.At(150, 185), 0x31483Au) << "the second nav item is selected";
    EXPECT_EQ(r.At(150, 136), 0x172821u) << "and the first is not";
    EXPECT_EQ(r.At(1030, 555), 0xFFFFFFu) << "the security card";
}

TEST(Paint, TwiceTheDesignSizeDrawsTwiceAsLargeWithTheSameRegions) {
    Client app;
    const kltest::Rendered r(app, 2160, 1360);
    EXPECT_FLOAT_EQ(app.scale, 2.0f);
    EXPECT_EQ(r.pixels[static_cast<std::size_t>(800) * 2160 + 360] & 0xFFFFFF, 0x172821u)
        << "sidebar is 368 px wide";
    EXPECT_EQ(r.pixels[static_cast<std::size_t>(800) * 2160 + 372] & 0xFFFFFF, 0xF5F6F3u);
    EXPECT_EQ(r.At(252, 440), 0x16664Fu) << "copy button at twice the position";
    EXPECT_FLOAT_EQ(app.buttons[3].x, 248) << "regions stay in layout units";
}

TEST(Paint, RemoteViewKeepsItsHeaderOffThePictureAtAnySize) {
    Client app;
    app.viewerMode = app.sessionActive = true;
    app.remoteFrame = kltest::HostPicture(1920, 1080, 0xFF2050A0);
    for (const SIZE size : {SIZE{1080, 680}, SIZE{1100, 720}, SIZE{1920, 1080}}) {
        SCOPED_TRACE(testing::Message() << size.cx << " x " << size.cy);
        const kltest::Rendered r(app, size.cx, size.cy);
        kltest::ExpectPictureAlone(r, kl::FitRemoteFrame(app), 0x2050A0);
    }
}

TEST(Paint, WaitingTextGrowsWithTheHeaderAndStaysBelowIt) {
    Client app;
    app.viewerMode = app.sessionActive = true;
    const kltest::Rendered r(app, 1920, 1080);
    const float s = app.scale;
    // The extent of the white text below the header's band.
    int minX = r.width, minY = r.height, maxY = 0;
    for (int y = static_cast<int>(112 * s); y < r.height; ++y)
        for (int x = 0; x < r.width; ++x)
            if (r.Pixel(x, y) == 0xFFFFFF)
                minX = std::min(minX, x), minY = std::min(minY, y), maxY = std::max(maxY, y);
    ASSERT_LT(minY, r.height) << "no waiting text";
    EXPECT_GE(minY, static_cast<int>(170 * s));
    EXPECT_GE(minX, static_cast<int>(50 * s));
    EXPECT_GT(maxY - minY, static_cast<int>(20 * s)) << "letters of size 24 at the layout scale";
}

// The remote picture fills its rectangle; a repaint of that rectangle alone (a new picture
// in the same place) draws the picture and nothing else, and keeps the clickable regions.
TEST(Paint, RemotePictureFillsItsRectangleAndANewOneRepaintsOnlyThat) {
    using namespace Gdiplus::DllExports;
    Client app;
    app.viewerMode = app.sessionActive = true;
    auto picture = [&](Gdiplus::ARGB colour) {
        Gdiplus::GpBitmap* bitmap = nullptr;
        GdipCreateBitmapFromScan0(64, 48, 0, PixelFormat32bppRGB, nullptr, &bitmap);
        Gdiplus::GpGraphics* g = nullptr;
        GdipGetImageGraphicsContext(bitmap, &g);
        GdipGraphicsClear(g, colour);
        GdipDeleteGraphics(g);
        app.remoteFrame.reset(bitmap);
    };
    picture(0xFF3366CC);
    const kltest::Rendered full(app, 1080, 680);  // picture 709 x 532 at (185, 112)
    auto pixel = [](const std::vector<std::uint32_t>& p, int x, int y) {
        return p[y * 1080 + x] & 0xFFFFFF;
    };
    EXPECT_EQ(pixel(full.pixels, 540, 378), 0x3366CCu);
    EXPECT_EQ(pixel(full.pixels, 190, 120), 0x3366CCu) << "near its top-left corner";
    EXPECT_EQ(pixel(full.pixels, 100, 378), 0x0D1418u) << "the margin beside it";
    EXPECT_EQ(Ids(app), std::vector<unsigned>{111});

    picture(0xFFCC6633);
    kltest::Rendered partial(1080, 680, 0x00FF00);
    partial.Capture([&](HDC memory) {
        IntersectClipRect(memory, 185, 112, 895, 644);
        PaintWindow(app, memory);
    });
    const std::vector<std::uint32_t>& pixels = partial.pixels;
    EXPECT_EQ(pixel(pixels, 540, 378), 0xCC6633u) << "the new picture";
    EXPECT_EQ(pixel(pixels, 100, 378), 0x00FF00u) << "nothing outside the repainted rectangle";
    EXPECT_EQ(pixel(pixels, 540, 40), 0x00FF00u);
    EXPECT_EQ(Ids(app), std::vector<unsigned>{111}) << "the regions of the last full paint stay";
}
