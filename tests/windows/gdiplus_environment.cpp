// GDI+ is started once for the whole test binary, as the program starts it once.
#include <windows.h>
#include <gdiplus.h>
#include <gtest/gtest.h>

namespace {

class GdiplusEnvironment : public ::testing::Environment {
  public:
    void SetUp() override {
        Gdiplus::GdiplusStartupInput input;
        Gdiplus::GdiplusStartup(&token_, &input, nullptr);
    }
    void TearDown() override { Gdiplus::GdiplusShutdown(token_); }

  private:
    ULONG_PTR token_ = 0;
};

const auto* const kRegistered = ::testing::AddGlobalTestEnvironment(new GdiplusEnvironment);

}  // namespace
