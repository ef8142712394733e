// A stand-in for the notification area, for tests of the tray icon. Wine's
// shell hands every Shell_NotifyIconW call to the first top-level window of
// class "Shell_TrayWnd" as WM_COPYDATA; a topmost one made here comes before
// Wine's own and records the calls. The record's layout is Wine's.
#pragma once
#include <windows.h>
#include <shellapi.h>

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

struct CTrayCall {
    DWORD message = 0;  // NIM_ADD, NIM_MODIFY, NIM_DELETE
    HWND window = nullptr;
    UINT id = 0;
    UINT flags = 0;
    UINT callbackMessage = 0;
    std::wstring tip;
    std::vector<uint8_t> iconBits;  // mask, then colour, as GetBitmapBits gives them
};

class CFakeTray {
public:
    CFakeTray();
    ~CFakeTray();
    CFakeTray(const CFakeTray&) = delete;
    CFakeTray& operator=(const CFakeTray&) = delete;
    bool Ready() const { return window_ != nullptr; }
    // The next n NIM_ADD calls are refused, as by a notification area that
    // is not up yet.
    void RefuseAdds(int n);
    // As a notification area that has restarted: it holds no icon. (It
    // refuses NIM_ADD for an icon it holds, and NIM_MODIFY for one it does
    // not, as the shell does.)
    void ForgetIcons();
    std::vector<CTrayCall> Calls();
    // The bits Wine sends for an icon of the given resource of a module, at
    // the size the notification area shows.
    static std::vector<uint8_t> IconBits(const std::wstring& modulePath, int resourceId);

private:
    static DWORD WINAPI ThreadMain(void* self);
    static LRESULT CALLBACK WindowProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
    LRESULT OnCopyData(const COPYDATASTRUCT& data);

    CRITICAL_SECTION lock_;
    std::vector<CTrayCall> calls_;
    int refuseAdds_ = 0;
    std::vector<std::pair<HWND, UINT>> held_;
    HANDLE thread_ = nullptr;
    HANDLE ready_ = nullptr;
    DWORD threadId_ = 0;
    HWND window_ = nullptr;
};
