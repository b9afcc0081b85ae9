#include <gtest/gtest.h>

#include "base/command_line.hpp"

using Args = std::vector<std::wstring>;

TEST(PreviewArgument, NeedsExactSwitchFollowedByPath) {
    EXPECT_EQ(kl::FindPreviewPath({L"kl.exe", L"--preview", L"out.png"}), L"out.png");
    EXPECT_EQ(kl::FindPreviewPath({L"kl.exe", L"--preview"}), L"");
    EXPECT_EQ(kl::FindPreviewPath({L"kl.exe", L"--PREVIEW", L"out.png"}), L"");
    EXPECT_EQ(kl::FindPreviewPath({L"kl.exe", L"-preview", L"out.png"}), L"");
    EXPECT_EQ(kl::FindPreviewPath({L"kl.exe"}), L"");
    EXPECT_EQ(kl::FindPreviewPath({}), L"");
}

TEST(PreviewArgument, LastCompletePairWinsAndOtherArgumentsAreIgnored) {
    EXPECT_EQ(kl::FindPreviewPath({L"kl.exe", L"--preview", L"a.png", L"--preview", L"b.png"}),
              L"b.png");
    EXPECT_EQ(kl::FindPreviewPath({L"kl.exe", L"--preview", L"a.png", L"--preview"}), L"a.png");
    EXPECT_EQ(kl::FindPreviewPath({L"kl.exe", L"x", L"--preview", L"a.png", L"y"}), L"a.png");
    // The switch consumes whatever follows it, even another switch.
    EXPECT_EQ(kl::FindPreviewPath({L"kl.exe", L"--preview", L"--preview", L"c.png"}), L"--preview");
    // An empty path is recorded as empty: no preview.
    EXPECT_EQ(kl::FindPreviewPath({L"kl.exe", L"--preview", L"a.png", L"--preview", L""}), L"");
}
