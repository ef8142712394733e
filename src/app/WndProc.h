// The hidden window: tray icon, tray menu and timer.
#pragma once
#include <windows.h>
#include <shellapi.h>

constexpr UINT WM_TRAYICON = WM_USER;
constexpr UINT kTrayIconId = 0;
constexpr UINT_PTR IDT_ICON = 1;
constexpr UINT kIconTimerPeriodMs = 3000;

// The notify-icon record as the shell has known it since Vista: 956 bytes in a
// 32-bit process; a 64-bit process passes the same layout at its own size.
constexpr DWORD kNotifyIconRecordSize = sizeof(NOTIFYICONDATAW);
#ifndef _WIN64
static_assert(kNotifyIconRecordSize == 956);
#endif

LRESULT CALLBACK WndProc(HWND hwnd, UINT message, WPARAM wParam, LPARAM lParam);
