// thctl: finds the running TunerHost by its hidden window.
//   thctl wait [seconds]   waits until TunerHost's window exists
//   thctl exit [seconds]   sends the tray menu's Exit and waits for the process to end
// Exit codes: 0 done, 1 TunerHost not running / timed out, 2 usage.
#include "common/WinHandle.h"

#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

constexpr wchar_t kClassName[] = L"TunerHost";
constexpr WPARAM kExitCommand = 111;

int Usage()
{
    std::fprintf(stderr, "usage: thctl wait|exit [seconds]\n");
    return 2;
}

int Wait(DWORD seconds)
{
    const ULONGLONG deadline = GetTickCount64() + seconds * 1000ull;
    while (!FindWindowW(kClassName, nullptr)) {
        if (GetTickCount64() > deadline) {
            std::fprintf(stderr, "thctl: TunerHost did not start within %lu s\n", seconds);
            return 1;
        }
        Sleep(100);
    }
    std::printf("thctl: TunerHost is running\n");
    return 0;
}

int Exit(DWORD seconds)
{
    HWND window = FindWindowW(kClassName, nullptr);
    if (!window) {
        std::fprintf(stderr, "thctl: TunerHost is not running\n");
        return 1;
    }
    DWORD pid = 0;
    GetWindowThreadProcessId(window, &pid);
    CHandle process(OpenProcess(SYNCHRONIZE | PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    if (!PostMessageW(window, WM_COMMAND, kExitCommand, 0)) {
        std::fprintf(stderr, "thctl: could not send Exit to TunerHost\n");
        return 1;
    }
    if (process && WaitForSingleObject(process.Get(), seconds * 1000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "thctl: TunerHost did not end within %lu s\n", seconds);
        return 1;
    }
    DWORD code = 0;
    if (process) GetExitCodeProcess(process.Get(), &code);
    std::printf("thctl: TunerHost ended with exit code %lu\n", code);
    return 0;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc < 2) return Usage();
    DWORD seconds = argc >= 3 ? static_cast<DWORD>(std::wcstoul(argv[2], nullptr, 10)) : 10;
    if (std::wcscmp(argv[1], L"wait") == 0) return Wait(seconds);
    if (std::wcscmp(argv[1], L"exit") == 0) return Exit(seconds);
    return Usage();
}
