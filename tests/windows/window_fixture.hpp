#pragma once
// Real windows of the program's procedures inside the test process.
#include <windows.h>
#include <gtest/gtest.h>

#include "app/client.hpp"
#include "ui/ui.hpp"

namespace kltest {

// Registers a window class of this module; a second registration of a name is harmless.
inline void RegisterTestClass(const wchar_t* name, WNDPROC procedure) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = procedure;
    wc.hInstance = GetModuleHandleW(nullptr);
    wc.lpszClassName = name;
    RegisterClassExW(&wc);
}

// A visible 1080 x 680 main window of the program's procedure, its record reachable as the
// program's is, laid out.
class ProgramWindow : public ::testing::Test {
  protected:
    void SetUp() override {
        RegisterTestClass(L"KestrelinkNativeTest", MainWindowProc);
        g_app = &app;
        window =
            CreateWindowExW(0, L"KestrelinkNativeTest", L"Kestrelink Native", WS_POPUP | WS_VISIBLE,
                            0, 0, 1080, 680, nullptr, nullptr, GetModuleHandleW(nullptr), nullptr);
        LayoutControls(app);
    }
    void TearDown() override {
        DestroyWindow(window);
        MSG msg;
        while (PeekMessageW(&msg, nullptr, 0, 0, PM_REMOVE)) {
        }
        g_app = nullptr;
    }
    Client app;
    HWND window = nullptr;
};

}  // namespace kltest
