#include "app/WndProc.h"

#include "app/CApp.h"
#include "res/resource.h"

namespace {

NOTIFYICONDATAW IconRecord(UINT flags)
{
    NOTIFYICONDATAW data = {};
    data.cbSize = kNotifyIconRecordSize;
    data.hWnd = g_app->hWnd;
    data.uID = kTrayIconId;
    data.uFlags = flags;
    return data;
}

void OnCreate(HWND hwnd)
{
    CApp& app = *g_app;
    app.hWnd = hwnd;
    app.hMenu = LoadMenuW(app.hInstance, MAKEINTRESOURCEW(IDR_MENU_TRAY));
    app.hPopupMenu = app.hMenu ? GetSubMenu(app.hMenu, 0) : nullptr;
    app.hIconIdle = LoadIconW(app.hInstance, MAKEINTRESOURCEW(IDI_IDLE));
    app.hIconBusy = LoadIconW(app.hInstance, MAKEINTRESOURCEW(IDI_BUSY));

    NOTIFYICONDATAW data = IconRecord(NIF_MESSAGE | NIF_ICON | NIF_TIP);
    data.uCallbackMessage = WM_TRAYICON;
    data.hIcon = app.hIconIdle;
    lstrcpynW(data.szTip, kWindowClassName, ARRAYSIZE(data.szTip));
    Shell_NotifyIconW(NIM_ADD, &data);

    // Without a settings file the sheet opens at once, and the program runs
    // without tuners until it is confirmed.
    const bool firstRun = GetFileAttributesW(app.config.iniPath.c_str()) == INVALID_FILE_ATTRIBUTES;
    app.setup.Prepare(app.hInstance, hwnd, app.config, firstRun,
                      [&app](bool terrestrial, const CDriverInfo* driver) { app.RebuildTuner(terrestrial, driver); });
    if (firstRun) {
        app.setup.Show();
    } else {
        const auto& drivers = app.config.drivers;
        if (app.config.DriverIndexT >= 0 && size_t(app.config.DriverIndexT) < drivers.size())
            app.RebuildTuner(true, &drivers[app.config.DriverIndexT]);
        if (app.config.DriverIndexS >= 0 && size_t(app.config.DriverIndexS) < drivers.size())
            app.RebuildTuner(false, &drivers[app.config.DriverIndexS]);
    }

    app.timerId = SetTimer(hwnd, IDT_ICON, kIconTimerPeriodMs, nullptr);
}

void OnTimer()
{
    NOTIFYICONDATAW data = IconRecord(NIF_ICON);
    data.hIcon = g_app->AnyTunerInUse() ? g_app->hIconBusy : g_app->hIconIdle;
    Shell_NotifyIconW(NIM_MODIFY, &data);
}

void ShowTrayMenu()
{
    CApp& app = *g_app;
    if (!app.hPopupMenu) return;
    SetForegroundWindow(app.hWnd);
    POINT cursor = {};
    GetCursorPos(&cursor);
    TrackPopupMenu(app.hPopupMenu, TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, app.hWnd, nullptr);
}

void OnDestroy()
{
    CApp& app = *g_app;
    if (app.timerId) {
        KillTimer(app.hWnd, app.timerId);
        app.timerId = 0;
    }
    app.setup.Destroy();
    if (app.hMenu) {
        DestroyMenu(app.hMenu);
        app.hMenu = nullptr;
    }
    if (app.hWnd) {
        NOTIFYICONDATAW data = IconRecord(0);
        Shell_NotifyIconW(NIM_DELETE, &data);
    }
}

}  // namespace

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    switch (message) {
    case WM_CREATE:
        OnCreate(hwnd);
        return 0;
    case WM_DESTROY:
        OnDestroy();
        PostQuitMessage(0);
        return 0;
    case WM_PAINT: {
        PAINTSTRUCT ps;
        BeginPaint(hwnd, &ps);
        EndPaint(hwnd, &ps);
        return 0;
    }
    case WM_COMMAND:
        if (LOWORD(wParam) == IDM_EXIT) {
            DestroyWindow(hwnd);
            return 0;
        }
        break;
    case WM_TIMER:
        OnTimer();
        return 0;
    case WM_TRAYICON:
        if (lParam == WM_LBUTTONDOWN) g_app->setup.Show();
        else if (lParam == WM_RBUTTONDOWN) ShowTrayMenu();
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}
