// The one application object: settings, tray window state and pipe names.
#pragma once
#include "app/InstanceName.h"
#include "app/TrayTip.h"
#include "config/CConfig.h"
#include "relay/PipeNames.h"
#include "tuner/CTunerContext.h"
#include "ui/CSetup.h"

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
    // The notification area took the icon; until it has, the timer adds it.
    bool trayIconShown = false;
    // Sent to every top-level window when a notification area (re)starts.
    UINT taskbarCreatedMessage = 0;
    CConfig config;
    CSetup setup;
    // Read by the tray timer on the main thread, replaced by the settings
    // sheet's thread: both go through the two calls below.
    std::unique_ptr<CTunerContext> tunerT;
    std::unique_ptr<CTunerContext> tunerS;
    wchar_t pipeNameDataT[kPipeNameUnits + 1];
    wchar_t pipeNameControlT[kPipeNameUnits + 1];
    wchar_t pipeNameDataS[kPipeNameUnits + 1];
    wchar_t pipeNameControlS[kPipeNameUnits + 1];

    // The names a kind's pipe server listens on.
    CPipeNamePair PipeNames(bool terrestrial) const
    {
        return terrestrial ? CPipeNamePair{pipeNameDataT, pipeNameControlT} : CPipeNamePair{pipeNameDataS, pipeNameControlS};
    }
    // Replaces a kind's tuner context with one for `driver` (none when null).
    // The old context goes first: the new one listens on the same pipe names.
    void RebuildTuner(bool terrestrial, const CDriverInfo* driver);
    // True when a client has either tuner open.
    bool AnyTunerInUse();
    // What the tray's tip tells of a kind.
    CTunerStatus TunerStatus(bool terrestrial);
    // Adopts the plug-ins whose start-up probes came back late: into the
    // settings record and the sheet, and a tuner context for a kind whose
    // configured plug-in one of them is. Those the sheet keeps from it (it is
    // in use) wait for the next call. Main thread.
    void AdoptLateDrivers();
    // Puts `next` in the slot of its kind and hands back the context it held,
    // which the caller destroys once no reader can see it any more.
    std::unique_ptr<CTunerContext> ReplaceTuner(bool terrestrial, std::unique_ptr<CTunerContext> next);

private:
    SRWLOCK tunerLock_ = SRWLOCK_INIT;
    std::vector<CDriverInfo> lateDrivers_;
};

// Set right after the object is built; used by the window procedure.
extern CApp* g_app;

constexpr wchar_t kWindowClassName[] = L"TunerHost";
// Posted to the window when a late probe has come back.
constexpr UINT WM_LATE_PROBE = WM_APP + 1;

// The entry sequence after the single-instance check: builds the object,
// loads the settings, creates the hidden window and runs the loop.
int RunApplication(HINSTANCE instance);
