// The one application object: settings, tray window state and pipe names.
#pragma once
#include "config/CConfig.h"
#include "relay/PipeNames.h"

#include <windows.h>

class CApp {
public:
    explicit CApp(HINSTANCE instance);
    ~CApp();
    CApp(const CApp&) = delete;
    CApp& operator=(const CApp&) = delete;

    HINSTANCE hInstance;
    HWND hWnd = nullptr;
    HMENU hMenu = nullptr;
    HMENU hPopupMenu = nullptr;
    HICON hIconIdle = nullptr;
    HICON hIconBusy = nullptr;
    UINT_PTR timerId = 0;
    CConfig config;
    wchar_t pipeNameDataT[kPipeNameUnits + 1];
    wchar_t pipeNameControlT[kPipeNameUnits + 1];
    wchar_t pipeNameDataS[kPipeNameUnits + 1];
    wchar_t pipeNameControlS[kPipeNameUnits + 1];
};

// Set right after the object is built; used by the window procedure and,
// later, by the relays when they pick their pipe names.
extern CApp* g_app;

constexpr wchar_t kWindowClassName[] = L"TunerHost";
constexpr wchar_t kInstanceMutexName[] = L"B7E2C5A0-3F14-4d8e-9A61-0C5D2E7B41F3";

// The entry sequence after the single-instance check: builds the object,
// loads the settings, creates the hidden window and runs the loop.
int RunApplication(HINSTANCE instance);
