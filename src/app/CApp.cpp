#include "app/CApp.h"

#include "app/WndProc.h"
#include "common/WorkerThread.h"
#include "config/DriverCatalogue.h"
#include "res/resource.h"

#include <commctrl.h>

#include <memory>

CApp* g_app = nullptr;

namespace {

unsigned __stdcall EndTuner(void* param)
{
    static_cast<std::unique_ptr<CTunerContext>*>(param)->reset();
    return 0;
}

}  // namespace

CApp::CApp(HINSTANCE instance) : hInstance(instance)
{
    // Runs before any other thread of the program exists.
    UnscramblePipeName(kStoredPipeNames[0], pipeNameDataT);
    UnscramblePipeName(kStoredPipeNames[1], pipeNameControlT);
    UnscramblePipeName(kStoredPipeNames[2], pipeNameDataS);
    UnscramblePipeName(kStoredPipeNames[3], pipeNameControlS);
}

CApp::~CApp()
{
    // Both kinds end side by side: with both kinds' plug-ins hung, Exit
    // waits out one close's bound, not one per kind. Each end is bounded.
    std::unique_ptr<CTunerContext> t = ReplaceTuner(true, nullptr), s = ReplaceTuner(false, nullptr);
    CWorkerThread other;
    if (t && s && other.Start(EndTuner, &s)) {
        t.reset();
        WaitForSingleObject(other.handle.Get(), INFINITE);
    }
}

bool CApp::AnyTunerInUse()
{
    AcquireSRWLockShared(&tunerLock_);
    const bool busy = (tunerT && tunerT->inUse) || (tunerS && tunerS->inUse);
    ReleaseSRWLockShared(&tunerLock_);
    return busy;
}

CTunerStatus CApp::TunerStatus(bool terrestrial)
{
    CTunerStatus status;
    AcquireSRWLockShared(&tunerLock_);
    if (const CTunerContext* t = (terrestrial ? tunerT : tunerS).get()) {
        status.served = true;
        status.plugin = t->settings.fileName;
        status.inUse = t->inUse != 0;
        const LONG space = t->tunedSpace, channel = t->tunedChannel;
        const auto& spaces = t->settings.spaces;
        if (space >= 0 && channel >= 0 && static_cast<size_t>(space) < spaces.size() &&
            static_cast<size_t>(channel) < spaces[space].channels.size())
            status.channel = spaces[space].channels[channel];
        status.signalLevel = t->SignalLevel();
    }
    ReleaseSRWLockShared(&tunerLock_);
    return status;
}

std::unique_ptr<CTunerContext> CApp::ReplaceTuner(bool terrestrial, std::unique_ptr<CTunerContext> next)
{
    AcquireSRWLockExclusive(&tunerLock_);
    (terrestrial ? tunerT : tunerS).swap(next);
    ReleaseSRWLockExclusive(&tunerLock_);
    return next;
}

void CApp::RebuildTuner(bool terrestrial, const CDriverInfo* driver)
{
    ReplaceTuner(terrestrial, nullptr).reset();
    if (driver) ReplaceTuner(terrestrial, CTunerContext::Create(*driver, terrestrial ? 1 : 0, PipeNames(terrestrial)));
}

void CApp::AdoptLateDrivers()
{
    for (CDriverInfo& entry : TakeLateProbes()) lateDrivers_.push_back(std::move(entry));
    if (lateDrivers_.empty()) return;
    std::vector<size_t> adopted;
    // The sheet edits copies of the record: both change together, and only
    // while nobody edits them.
    const bool done = setup.RunWhileHidden([&] {
        for (CDriverInfo& entry : lateDrivers_) {
            const size_t at = config.AdoptLateDriver(std::move(entry));
            setup.AdoptLateDriver(config, at);
            adopted.push_back(at);
        }
    });
    if (!done) return;
    lateDrivers_.clear();
    // Without a settings file the sheet's first OK builds the contexts.
    if (setup.firstRun) return;
    for (const size_t at : adopted) {
        for (const bool terrestrial : {true, false}) {
            const int32_t index = terrestrial ? config.DriverIndexT : config.DriverIndexS;
            if (index != static_cast<int32_t>(at)) continue;
            AcquireSRWLockShared(&tunerLock_);
            const bool served = static_cast<bool>(terrestrial ? tunerT : tunerS);
            ReleaseSRWLockShared(&tunerLock_);
            if (!served) RebuildTuner(terrestrial, &config.drivers[at]);
        }
    }
}

int RunApplication(HINSTANCE instance)
{
    InitCommonControls();
    auto app = std::make_unique<CApp>(instance);
    g_app = app.get();
    if (!app->config.LoadConfig()) return 0;

    WNDCLASSEXW wc = {};
    wc.cbSize = sizeof wc;
    wc.style = CS_HREDRAW | CS_VREDRAW;
    wc.lpfnWndProc = WndProc;
    wc.hInstance = instance;
    wc.hIcon = LoadIconW(instance, MAKEINTRESOURCEW(IDI_IDLE));
    wc.hCursor = LoadCursorW(nullptr, IDC_ARROW);
    wc.hbrBackground = reinterpret_cast<HBRUSH>(COLOR_WINDOW + 1);
    wc.lpszClassName = kWindowClassName;
    if (!RegisterClassExW(&wc)) return 0;

    HWND hwnd = CreateWindowExW(0, kWindowClassName, L"", WS_OVERLAPPEDWINDOW, CW_USEDEFAULT, 0, CW_USEDEFAULT, 0,
                                nullptr, nullptr, instance, nullptr);
    if (!hwnd) return 0;
    ShowWindow(hwnd, SW_HIDE);
    UpdateWindow(hwnd);

    MSG msg = {};
    BOOL got;
    while ((got = GetMessageW(&msg, nullptr, 0, 0)) > 0) {
        TranslateMessage(&msg);
        DispatchMessageW(&msg);
    }
    // A loop that ended on an error leaves the window, its timer and the
    // sheet's thread, all of which use the application object: end them
    // before it goes.
    if (got < 0 && IsWindow(hwnd)) {
        DestroyWindow(hwnd);
        return 0;
    }
    return static_cast<int>(msg.wParam);
}
