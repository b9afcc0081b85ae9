#include "app/client.hpp"
#include "ui/ui.hpp"

LRESULT CALLBACK BannerWindowProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    switch (message) {
        case WM_LBUTTONUP:
        case WM_CLOSE:
            if (g_app != nullptr && g_app->mainWindow != nullptr)
                PostMessageW(g_app->mainWindow, WM_COMMAND, 111, 0);
            return 0;
        default:
            return DefWindowProcW(window, message, wParam, lParam);
    }
}
