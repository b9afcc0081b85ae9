// Where the program's DLLs come from. The system DLLs that Windows does not already keep as
// known DLLs (dwmapi, winhttp, bcrypt, gdiplus) are imported for loading at first use, and this
// hook loads them from System32 only: never from the program's own folder, where a download
// may sit beside a file of the same name. For every other import the load configuration asks
// the loader for the same (DependentLoadFlags; the build writes its place into the header).
#include <windows.h>
#include <delayimp.h>

#include <cstddef>

namespace {

FARPROC WINAPI LoadFromSystem32(unsigned notify, PDelayLoadInfo info) {
    if (notify != dliNotePreLoadLibrary) return nullptr;
    HMODULE module = LoadLibraryExA(info->szDll, nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
    // Returning nothing would let the default search (the program's folder first) try instead.
    if (module == nullptr) TerminateProcess(GetCurrentProcess(), ERROR_MOD_NOT_FOUND);
    return reinterpret_cast<FARPROC>(module);
}

}  // namespace

PfnDliHook __pfnDliNotifyHook2 = LoadFromSystem32;

// The loader reads this before any code of the program runs: constant data (constinit). This
// header's name for DependentLoadFlags is Reserved1.
static_assert(offsetof(IMAGE_LOAD_CONFIG_DIRECTORY64, Reserved1) == 0x4E);
constexpr IMAGE_LOAD_CONFIG_DIRECTORY64 LoadConfiguration() {
    IMAGE_LOAD_CONFIG_DIRECTORY64 config{};
    config.Size = sizeof config;
    config.Reserved1 = LOAD_LIBRARY_SEARCH_SYSTEM32;
    return config;
}
extern "C" constinit const IMAGE_LOAD_CONFIG_DIRECTORY64 _load_config_used = LoadConfiguration();
