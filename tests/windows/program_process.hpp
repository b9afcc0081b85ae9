#pragma once
// The real program started as a process of its own (KL_PROGRAM_PATH), for what only the
// real entry point does.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace kltest {

struct Program {
    PROCESS_INFORMATION pi{};

    explicit Program(const std::vector<std::wstring>& args) {
        std::wstring line = L"\"" + std::wstring(KL_PROGRAM_PATH) + L"\"";
        for (const auto& a : args) line += L" \"" + a + L"\"";
        STARTUPINFOW si{};
        si.cb = sizeof si;
        if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si,
                            &pi))
            ADD_FAILURE() << "cannot start the program: " << GetLastError();
    }
    ~Program() {
        if (pi.hProcess != nullptr) {
            if (WaitForSingleObject(pi.hProcess, 0) == WAIT_TIMEOUT)
                TerminateProcess(pi.hProcess, 99);
            CloseHandle(pi.hProcess);
            CloseHandle(pi.hThread);
        }
    }
    // Exit code, or -1 when the program is still running after the wait.
    long WaitExit(DWORD milliseconds = 60000) {
        if (WaitForSingleObject(pi.hProcess, milliseconds) != WAIT_OBJECT_0) return -1;
        DWORD code = 0;
        GetExitCodeProcess(pi.hProcess, &code);
        return static_cast<long>(code);
    }
    // The program's visible main window, waiting up to the given time for it.
    HWND WaitVisibleWindow(DWORD milliseconds = 30000) {
        for (DWORD waited = 0; waited < milliseconds; waited += 100) {
            HWND w = nullptr;
            while ((w = FindWindowExW(nullptr, w, L"KestrelinkNative", nullptr)) != nullptr) {
                DWORD pid = 0;
                GetWindowThreadProcessId(w, &pid);
                if (pid == pi.dwProcessId && IsWindowVisible(w)) return w;
            }
            if (WaitForSingleObject(pi.hProcess, 100) == WAIT_OBJECT_0) return nullptr;
        }
        return nullptr;
    }
};

}  // namespace kltest
