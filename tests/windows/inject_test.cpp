// Host injection: what reaches SendInput, and the held keys and buttons behind releases.
#include <windows.h>
#include <gtest/gtest.h>

#include <vector>

#include "input/inject.hpp"

namespace {

std::vector<INPUT> g_sent;
bool g_fail = false;
UINT Record(UINT count, INPUT* inputs, int size) {
    EXPECT_EQ(size, static_cast<int>(sizeof(INPUT)));
    if (g_fail) return 0;
    g_sent.insert(g_sent.end(), inputs, inputs + count);
    return count;
}

class Inject : public ::testing::Test {
  protected:
    void SetUp() override {
        kl::ReleaseHeldInput(Record);
        g_sent.clear();
        g_fail = false;
    }
    void TearDown() override {
        g_fail = false;
        kl::ReleaseHeldInput(Record);
    }
};

}  // namespace

TEST_F(Inject, KeysCarryTheMarkerAndOnlyHeldKeysAreReleased) {
    kl::InjectInput("keyup", 0, 0, 0, 16, Record);
    EXPECT_TRUE(g_sent.empty()) << "a key the viewer never pressed";
    kl::InjectInput("keydown", 0, 0, 0, 16, Record);
    kl::InjectInput("keydown", 0, 0, 0, 16, Record);  // auto-repeat presses both go out
    kl::InjectInput("keyup", 0, 0, 0, 16, Record);
    kl::InjectInput("keyup", 0, 0, 0, 16, Record);
    ASSERT_EQ(g_sent.size(), 3u);
    for (const INPUT& in : g_sent) {
        EXPECT_EQ(in.type, static_cast<DWORD>(INPUT_KEYBOARD));
        EXPECT_EQ(in.ki.wVk, 16);
        EXPECT_EQ(in.ki.wScan, 0);
        EXPECT_EQ(in.ki.time, 0u);
        EXPECT_EQ(in.ki.dwExtraInfo, kl::kInjectedMarker);
    }
    EXPECT_EQ(g_sent[1].ki.dwFlags, 0u);
    EXPECT_EQ(g_sent[2].ki.dwFlags, static_cast<DWORD>(KEYEVENTF_KEYUP));

    g_sent.clear();
    kl::InjectInput("keydown", 0, 0, 0, 46, Record);   // Delete: extended
    kl::InjectInput("keydown", 0, 0, 0, 165, Record);  // right Alt: extended
    kl::InjectInput("keydown", 0, 0, 0, 164, Record);  // left Alt: not
    kl::InjectInput("keydown", 0, 0, 0, 0, Record);
    kl::InjectInput("keydown", 0, 0, 0, 255, Record);
    ASSERT_EQ(g_sent.size(), 3u);
    EXPECT_TRUE(g_sent[0].ki.dwFlags & KEYEVENTF_EXTENDEDKEY);
    EXPECT_TRUE(g_sent[1].ki.dwFlags & KEYEVENTF_EXTENDEDKEY);
    EXPECT_FALSE(g_sent[2].ki.dwFlags & KEYEVENTF_EXTENDEDKEY);
}

TEST_F(Inject, MouseEventsMoveFirstAndReleasesNeedAPress) {
    kl::InjectInput("move", 65535, 65535, 0, 0, Record);
    kl::InjectInput("up", 10, 10, 1, 0, Record);
    kl::InjectInput("down", 10, 20, 2, 0, Record);
    kl::InjectInput("up", 10, 20, 2, 0, Record);
    kl::InjectInput("wheel", 5, 5, 0, 120, Record);
    kl::InjectInput("wheel", 5, 5, 0, 12001, Record);
    kl::InjectInput("move", 65536, 0, 0, 0, Record);
    kl::InjectInput("jump", 0, 0, 0, 0, Record);
    ASSERT_EQ(g_sent.size(), 4u);
    const DWORD base = MOUSEEVENTF_MOVE | MOUSEEVENTF_ABSOLUTE;
    EXPECT_EQ(g_sent[0].mi.dwFlags, base);
    EXPECT_EQ(g_sent[0].mi.dx, 65535);
    EXPECT_EQ(g_sent[1].mi.dwFlags, base | MOUSEEVENTF_RIGHTDOWN);
    EXPECT_EQ(g_sent[1].mi.dy, 20);
    EXPECT_EQ(g_sent[2].mi.dwFlags, base | MOUSEEVENTF_RIGHTUP);
    EXPECT_EQ(g_sent[3].mi.dwFlags, base | MOUSEEVENTF_WHEEL);
    EXPECT_EQ(g_sent[3].mi.mouseData, 120u);
    for (const INPUT& in : g_sent) EXPECT_EQ(in.mi.dwExtraInfo, kl::kInjectedMarker);
}

TEST_F(Inject, EndingReleasesEverythingHeldAndRetriesWhatFailed) {
    kl::InjectInput("keydown", 0, 0, 0, 16, Record);
    kl::InjectInput("down", 100, 100, 1, 0, Record);
    kl::InjectInput("down", 100, 100, 3, 0, Record);
    g_sent.clear();
    g_fail = true;
    kl::ReleaseHeldInput(Record);  // nothing goes out, so everything stays held
    g_fail = false;
    kl::ReleaseHeldInput(Record);
    ASSERT_EQ(g_sent.size(), 3u);
    EXPECT_EQ(g_sent[0].ki.dwFlags, static_cast<DWORD>(KEYEVENTF_KEYUP));
    EXPECT_EQ(g_sent[1].mi.dwFlags, static_cast<DWORD>(MOUSEEVENTF_LEFTUP))
        << "no move, no absolute";
    EXPECT_EQ(g_sent[1].mi.dx, 0);
    EXPECT_EQ(g_sent[2].mi.dwFlags, static_cast<DWORD>(MOUSEEVENTF_MIDDLEUP));
    g_sent.clear();
    kl::ReleaseHeldInput(Record);
    kl::InjectInput("up", 0, 0, 1, 0, Record);
    EXPECT_TRUE(g_sent.empty()) << "released means no longer held";
}
