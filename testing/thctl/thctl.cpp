// thctl: finds the running TunerHost by its hidden window.
//   thctl wait [seconds]   waits until TunerHost's window exists
//   thctl exit [seconds]   sends the tray menu's Exit and waits for the process to end
//   thctl settings         opens the settings sheet as a click on the tray icon does
//   thctl menu             opens the tray icon's menu
//   thctl hover            rests the pointer on the tray icon, so that its tip shows
//   thctl page N           shows page N (0 terrestrial, 1 satellite) of the open sheet
//   thctl choose ID ITEM   selects ITEM (a text, or an index; -1 is the last) in combo ID of that page
//   thctl close            closes the open sheet with Cancel, or the open menu
// settings and menu print the window's screen rectangle: left top width height.
// Exit codes: 0 done, 1 TunerHost not running / timed out / no such window or item, 2 usage.
#include "common/WinHandle.h"

#include <windows.h>

#include <commctrl.h>
#include <prsht.h>

#include <cstdio>
#include <cwchar>
#include <string>

namespace {

constexpr wchar_t kClassName[] = L"TunerHost";
constexpr WPARAM kExitCommand = 111;

int Usage()
{
    std::fprintf(stderr, "usage: thctl wait|exit [seconds] | settings | menu | hover | page N | choose ID ITEM | close\n");
    return 2;
}

HWND HostWindow()
{
    HWND window = FindWindowW(kClassName, nullptr);
    if (!window) std::fprintf(stderr, "thctl: TunerHost is not running\n");
    return window;
}

struct Search {
    DWORD pid;
    const wchar_t* className;
    HWND found;
};

BOOL CALLBACK FindVisible(HWND hwnd, LPARAM param)
{
    auto* s = reinterpret_cast<Search*>(param);
    DWORD pid = 0;
    GetWindowThreadProcessId(hwnd, &pid);
    wchar_t name[32] = {};
    GetClassNameW(hwnd, name, 32);
    if (pid != s->pid || !IsWindowVisible(hwnd) || std::wcscmp(name, s->className) != 0) return TRUE;
    s->found = hwnd;
    return FALSE;
}

// A visible top-level window of TunerHost of the given class, waited for up to `ms`.
HWND FindHostWindow(const wchar_t* className, DWORD ms)
{
    HWND host = HostWindow();
    if (!host) return nullptr;
    Search s{0, className, nullptr};
    GetWindowThreadProcessId(host, &s.pid);
    const ULONGLONG deadline = GetTickCount64() + ms;
    for (;;) {
        EnumWindows(FindVisible, reinterpret_cast<LPARAM>(&s));
        if (s.found || GetTickCount64() > deadline) return s.found;
        Sleep(100);
    }
}

constexpr wchar_t kDialogClass[] = L"#32770";
constexpr wchar_t kMenuClass[] = L"#32768";

int PrintRect(HWND window, const char* what)
{
    if (!window) {
        std::fprintf(stderr, "thctl: the %s did not open\n", what);
        return 1;
    }
    RECT r = {};
    GetWindowRect(window, &r);
    std::printf("%ld %ld %ld %ld\n", r.left, r.top, r.right - r.left, r.bottom - r.top);
    return 0;
}

int OpenSettings()
{
    HWND host = HostWindow();
    if (!host) return 1;
    // A click that arrives while the sheet is still hiding is dropped: click again.
    for (int attempt = 0; attempt < 5; ++attempt) {
        PostMessageW(host, WM_USER, 0, WM_LBUTTONDOWN);
        if (HWND sheet = FindHostWindow(kDialogClass, 3000)) return PrintRect(sheet, "settings sheet");
    }
    return PrintRect(nullptr, "settings sheet");
}

// Where a click on the tray icon would be, bottom right: the icon is the
// only one in the tray.
POINT TrayIconPoint()
{
    return {GetSystemMetrics(SM_CXSCREEN) - 16, GetSystemMetrics(SM_CYSCREEN) - 12};
}

int OpenMenu()
{
    HWND host = HostWindow();
    if (!host) return 1;
    // The menu opens at the cursor, above it: put it on the tray icon.
    const POINT at = TrayIconPoint();
    SetCursorPos(at.x, at.y);
    PostMessageW(host, WM_USER, 0, WM_RBUTTONDOWN);
    return PrintRect(FindHostWindow(kMenuClass, 5000), "tray menu");
}

int Hover()
{
    if (!HostWindow()) return 1;
    // The tip shows after the pointer has come to rest on the icon: arrive
    // from beside it, then stay.
    const POINT at = TrayIconPoint();
    SetCursorPos(at.x - 40, at.y);
    Sleep(200);
    SetCursorPos(at.x - 1, at.y);
    Sleep(100);
    SetCursorPos(at.x, at.y);
    return 0;
}

HWND OpenSheet()
{
    HWND sheet = FindHostWindow(kDialogClass, 2000);
    if (!sheet) std::fprintf(stderr, "thctl: the settings sheet is not open\n");
    return sheet;
}

int SelectPage(const wchar_t* index)
{
    HWND sheet = OpenSheet();
    if (!sheet) return 1;
    SendMessageW(sheet, PSM_SETCURSEL, std::wcstoul(index, nullptr, 10), 0);
    return 0;
}

int Choose(const wchar_t* id, const wchar_t* item)
{
    HWND sheet = OpenSheet();
    if (!sheet) return 1;
    HWND page = reinterpret_cast<HWND>(SendMessageW(sheet, PSM_GETCURRENTPAGEHWND, 0, 0));
    const int controlId = static_cast<int>(std::wcstol(id, nullptr, 10));
    HWND combo = page ? GetDlgItem(page, controlId) : nullptr;
    if (!combo) {
        std::fprintf(stderr, "thctl: the current page has no control %d\n", controlId);
        return 1;
    }
    const int count = static_cast<int>(SendMessageW(combo, CB_GETCOUNT, 0, 0));
    wchar_t* end = nullptr;
    long index = std::wcstol(item, &end, 10);
    if (*item == 0 || *end != 0) {
        index = static_cast<long>(SendMessageW(combo, CB_FINDSTRINGEXACT, static_cast<WPARAM>(-1), reinterpret_cast<LPARAM>(item)));
    } else if (index < 0) {
        index += count;
    }
    if (index < 0 || index >= count) {
        std::fprintf(stderr, "thctl: control %d has no such item\n", controlId);
        return 1;
    }
    SendMessageW(combo, CB_SETCURSEL, static_cast<WPARAM>(index), 0);
    SendMessageW(page, WM_COMMAND, MAKEWPARAM(controlId, CBN_SELCHANGE), reinterpret_cast<LPARAM>(combo));
    return 0;
}

int Close()
{
    if (HWND menu = FindHostWindow(kMenuClass, 0)) {
        PostMessageW(HostWindow(), WM_CANCELMODE, 0, 0);
        PostMessageW(menu, WM_KEYDOWN, VK_ESCAPE, 0);
        return 0;
    }
    HWND sheet = OpenSheet();
    if (!sheet) return 1;
    PostMessageW(sheet, PSM_PRESSBUTTON, PSBTN_CANCEL, 0);
    return 0;
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
    if (!process) {
        // Without a handle on the process, its window going away is what
        // tells that it ended; its exit code stays unknown.
        const ULONGLONG deadline = GetTickCount64() + seconds * 1000ull;
        while (IsWindow(window)) {
            if (GetTickCount64() > deadline) {
                std::fprintf(stderr, "thctl: TunerHost did not end within %lu s\n", seconds);
                return 1;
            }
            Sleep(100);
        }
        std::printf("thctl: TunerHost ended\n");
        return 0;
    }
    if (WaitForSingleObject(process.Get(), seconds * 1000) != WAIT_OBJECT_0) {
        std::fprintf(stderr, "thctl: TunerHost did not end within %lu s\n", seconds);
        return 1;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.Get(), &code);
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
    if (std::wcscmp(argv[1], L"settings") == 0) return OpenSettings();
    if (std::wcscmp(argv[1], L"menu") == 0) return OpenMenu();
    if (std::wcscmp(argv[1], L"close") == 0) return Close();
    if (std::wcscmp(argv[1], L"hover") == 0) return Hover();
    if (std::wcscmp(argv[1], L"page") == 0 && argc == 3) return SelectPage(argv[2]);
    if (std::wcscmp(argv[1], L"choose") == 0 && argc == 4) return Choose(argv[2], argv[3]);
    return Usage();
}
