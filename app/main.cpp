// Entry point: process set-up, command line, window classes, the main window and the loop.
#include <windows.h>
#include <commctrl.h>
#include <dwmapi.h>
#include <gdiplus.h>
#include <objbase.h>
#include <shellapi.h>

#include <string>
#include <vector>

#include "app/client.hpp"
#include "base/command_line.hpp"
#include "app/preview.hpp"
#include "screen/frame_decoder.hpp"
#include "session/session.hpp"
#include "ui/ui.hpp"

namespace {

constexpr DWORD kWindowCornerPreference = 33;  // DWMWA_WINDOW_CORNER_PREFERENCE
constexpr DWORD kCornerRound = 2;              // DWMWCP_ROUND
constexpr DWORD kDllSearchFlags = 0xA00;       // application dir | system32

std::wstring ReadPreviewPath() {
    int count = 0;
    LPWSTR* argv = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::wstring> args;
    if (argv != nullptr) {
        for (int i = 0; i < count; ++i) args.emplace_back(argv[i]);
        LocalFree(argv);
    }
    return kl::FindPreviewPath(args);
}

void RegisterWindowClass(HINSTANCE instance, const wchar_t* name, WNDPROC procedure) {
    WNDCLASSEXW wc{};
    wc.cbSize = sizeof wc;
    wc.style = 0;
    wc.lpfnWndProc = procedure;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(101));
    wc.hIconSm = static_cast<HICON>(LoadImageW(instance, MAKEINTRESOURCEW(101), IMAGE_ICON,
                                               GetSystemMetrics(SM_CXSMICON),
                                               GetSystemMetrics(SM_CYSMICON), LR_SHARED));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.lpszClassName = name;
    RegisterClassExW(&wc);
}

int RunMessageLoop(Client& app) {
    MSG msg;
    while (GetMessageW(&msg, nullptr, 0, 0) > 0) {
        if (PreTranslateMessage(app, msg)) continue;
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    return 0;
}

int Run(HINSTANCE instance, int showCommand) {
    const std::wstring previewPath = ReadPreviewPath();
    int exitCode = 0;
    {
        Client app;
        g_app = &app;
        app.previewMode = !previewPath.empty();

        RegisterWindowClass(instance, kMainWindowClass, MainWindowProc);
        RegisterWindowClass(instance, kBannerWindowClass, BannerWindowProc);

        HWND window = CreateWindowExW(0, kMainWindowClass, L"Kestrelink Native",
                                      WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, CW_USEDEFAULT, 1100, 720,
                                      nullptr, nullptr, instance, nullptr);
        if (window == nullptr) {
            exitCode = 2;
        } else {
            SetWindowLongPtrW(
                window, GWL_STYLE,
                WS_POPUP | WS_THICKFRAME | WS_SYSMENU | WS_MINIMIZEBOX | WS_MAXIMIZEBOX);
            // The frame is recomputed only on a frame change; without it the old caption stays
            // until the first resize.
            SetWindowPos(
                window, nullptr, 0, 0, 0, 0,
                SWP_FRAMECHANGED | SWP_NOMOVE | SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
            const DWORD corner = kCornerRound;
            DwmSetWindowAttribute(window, kWindowCornerPreference, &corner, sizeof corner);
            SizeForMonitorDpi(window);
            LayoutControls(app);
            RenewHostId(app);
            ShowWindow(window, app.previewMode ? SW_HIDE : showCommand);
            UpdateWindow(window);
            if (app.previewMode)
                ExportPreview(app, previewPath);
            else
                RunMessageLoop(app);
        }
        g_app = nullptr;
    }
    return exitCode;
}

}  // namespace

int WINAPI wWinMain(HINSTANCE instance, HINSTANCE, PWSTR, int showCommand) {
    SetDefaultDllDirectories(kDllSearchFlags);
    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED);
    // Loads Common Controls 6 (the manifest selects it): its edit control draws the cue texts.
    INITCOMMONCONTROLSEX controls{sizeof controls, ICC_STANDARD_CLASSES};
    InitCommonControlsEx(&controls);
    ULONG_PTR token = 0;
    Gdiplus::GdiplusStartupInput input;  // version 1, no debug callback, codecs not suppressed
    if (Gdiplus::GdiplusStartup(&token, &input, nullptr) != Gdiplus::Ok) return 1;
    int exitCode = 0;
    try {
        exitCode = Run(instance, showCommand);
    } catch (...) {
        exitCode = 2;
    }
    // A picture still being decoded for a session that has ended is not waited for: GDI+ then
    // stays up and goes with the process.
    if (kl::RunningFrameDecoders() == 0) Gdiplus::GdiplusShutdown(token);
    CoUninitialize();
    return exitCode;
}
