#include "app/WndProc.h"

#include "app/CApp.h"
#include "config/DriverCatalogue.h"
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

// The notification area shows icons at the small size of the screen's DPI.
HICON LoadTrayIcon(int id)
{
    CApp& app = *g_app;
    auto icon = static_cast<HICON>(LoadImageW(app.hInstance, MAKEINTRESOURCEW(id), IMAGE_ICON,
                                              GetSystemMetrics(SM_CXSMICON), GetSystemMetrics(SM_CYSMICON), 0));
    return icon ? icon : LoadIconW(app.hInstance, MAKEINTRESOURCEW(id));
}

// The icon and tip for now.
void FillIconState(NOTIFYICONDATAW& data)
{
    CApp& app = *g_app;
    data.hIcon = app.AnyTunerInUse() ? app.hIconBusy : app.hIconIdle;
    const std::wstring tip = FormatTrayTip(app.TunerStatus(true), app.TunerStatus(false), ARRAYSIZE(data.szTip) - 1);
    lstrcpynW(data.szTip, tip.c_str(), ARRAYSIZE(data.szTip));
}

// Refused while the notification area is not there (before the taskbar
// exists, or while Explorer restarts); the timer tries again. Refused too for
// an icon the notification area already holds (TaskbarCreated comes also on a
// change of display scaling, with the icon still there; an add that timed out
// while the shell was busy may have added it all the same): then the icon is
// brought up to date instead, and the timer goes on modifying it.
void AddTrayIcon()
{
    NOTIFYICONDATAW data = IconRecord(NIF_MESSAGE | NIF_ICON | NIF_TIP);
    data.uCallbackMessage = WM_TRAYICON;
    FillIconState(data);
    g_app->trayIconShown =
        Shell_NotifyIconW(NIM_ADD, &data) != FALSE || Shell_NotifyIconW(NIM_MODIFY, &data) != FALSE;
}

void OnCreate(HWND hwnd)
{
    CApp& app = *g_app;
    app.hWnd = hwnd;
    app.hMenu = LoadMenuW(app.hInstance, MAKEINTRESOURCEW(IDR_MENU_TRAY));
    app.hPopupMenu = app.hMenu ? GetSubMenu(app.hMenu, 0) : nullptr;
    app.hIconIdle = LoadTrayIcon(IDI_IDLE);
    app.hIconBusy = LoadTrayIcon(IDI_BUSY);
    app.taskbarCreatedMessage = RegisterWindowMessageW(L"TaskbarCreated");
    AddTrayIcon();

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
    // Plug-ins slower to open than the catalogue waited for join once they
    // answer; the icon and the sheet come first.
    TellLateProbesTo(hwnd, WM_LATE_PROBE);
}

void OnTimer()
{
    g_app->AdoptLateDrivers();  // any the sheet kept from it before
    if (!g_app->trayIconShown) {
        AddTrayIcon();
        return;
    }
    NOTIFYICONDATAW data = IconRecord(NIF_ICON | NIF_TIP);
    FillIconState(data);
    // An icon the notification area no longer knows is added at the next tick.
    if (!Shell_NotifyIconW(NIM_MODIFY, &data)) g_app->trayIconShown = false;
}

void ShowTrayMenu()
{
    CApp& app = *g_app;
    if (!app.hPopupMenu) return;
    // The menu closes on a click elsewhere only when its window is in front,
    // and the message posted after it lets a second menu open properly.
    SetForegroundWindow(app.hWnd);
    POINT cursor = {};
    GetCursorPos(&cursor);
    TrackPopupMenu(app.hPopupMenu, TPM_BOTTOMALIGN | TPM_RIGHTBUTTON, cursor.x, cursor.y, 0, app.hWnd, nullptr);
    PostMessageW(app.hWnd, WM_NULL, 0, 0);
}

void OnDestroy()
{
    CApp& app = *g_app;
    TellLateProbesTo(nullptr, 0);
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
        app.trayIconShown = false;
    }
    for (HICON* icon : {&app.hIconIdle, &app.hIconBusy}) {
        if (*icon) DestroyIcon(*icon);
        *icon = nullptr;
    }
}

}  // namespace

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam)
{
    // A registered message, so not a constant a case can name.
    if (message == g_app->taskbarCreatedMessage && message != 0) {
        AddTrayIcon();
        return 0;
    }
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
    case WM_LATE_PROBE:
        g_app->AdoptLateDrivers();
        return 0;
    case WM_TRAYICON:
        if (lParam == WM_LBUTTONDOWN) g_app->setup.Show();
        else if (lParam == WM_RBUTTONDOWN) ShowTrayMenu();
        return 0;
    }
    return DefWindowProcW(hwnd, message, wParam, lParam);
}
