#include "config/DriverCatalogue.h"

#include "common/BoundedCall.h"
#include "common/CriticalSection.h"
#include "common/ForeignCall.h"
#include "common/PinModule.h"
#include "common/Readable.h"
#include "common/WinHandle.h"
#include "tuner/IBonDriver.h"

#include <windows.h>
#include <process.h>

#include <new>
#include <utility>

namespace {

// Keeps the loader from showing a dialog for a file that is not a DLL.
class CQuietErrors {
public:
    CQuietErrors() { SetThreadErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX, &previous_); }
    ~CQuietErrors() { SetThreadErrorMode(previous_, nullptr); }

private:
    DWORD previous_ = 0;
};

// Lists spaces and channels; false when a list runs past its bound or a name
// cannot be read.
bool ListSpaces(IBonDriver2* driver, std::vector<CSpaceInfo>& spaces)
{
    for (uint32_t s = 0;; ++s) {
        const wchar_t* spaceName = nullptr;
        {
            CForeignScope plugin;
            spaceName = driver->SpaceName(s);
        }
        if (!spaceName) return true;
        if (s >= kMaxSpaces) return false;
        CSpaceInfo space;
        if (!CopyPluginString(spaceName, space.name)) return false;
        for (uint32_t c = 0;; ++c) {
            const wchar_t* channelName = nullptr;
            {
                CForeignScope plugin;
                channelName = driver->ChannelName(s, c);
            }
            if (!channelName) break;
            if (c >= kMaxChannelsPerSpace) return false;
            std::wstring name;
            if (!CopyPluginString(channelName, name)) return false;
            space.channels.push_back(std::move(name));
        }
        if (!space.channels.empty()) spaces.push_back(std::move(space));
    }
}

bool EqualsIgnoreCase(const wchar_t* a, const wchar_t* b)
{
    return lstrcmpiW(a, b) == 0;
}

}  // namespace

bool CopyPluginString(const wchar_t* text, std::wstring& out)
{
    // The plug-in's memory, which may be stale: each page is asked about
    // before it is read.
    constexpr uintptr_t kPage = 4096;
    size_t length = 0;
    for (;; ++length) {
        const uintptr_t at = reinterpret_cast<uintptr_t>(text + length);
        if ((length == 0 || at % kPage < sizeof(wchar_t)) && !IsReadable(text + length, sizeof(wchar_t)))
            return false;
        if (length >= kMaxNameUnits || !text[length]) break;
    }
    out.assign(text, length);
    return true;
}

namespace {

// Loads, opens and queries one plug-in, leaving its module loaded in `module`.
bool ProbeLoaded(CDriverInfo& entry, const std::wstring& directory, CModule& module)
{
    const std::wstring path = directory + L"\\" + entry.fileName;
    {
        CQuietErrors quiet;
        module.Reset(LoadLibraryW(path.c_str()));
    }
    if (!module) return false;
    auto create = reinterpret_cast<CreateBonDriverFn>(GetProcAddress(module.Get(), kCreateBonDriverExport));
    if (!create) return false;
    IBonDriver* driver = nullptr;
    BOOL32 opened = 0;
    {
        CForeignScope plugin;
        driver = create();
        if (driver) opened = driver->Open();
    }
    if (!driver) return false;

    bool found = false;
    if (opened) {
        if (IBonDriver2* driver2 = AsBonDriver2(driver)) {
            std::vector<CSpaceInfo> spaces;
            if (ListSpaces(driver2, spaces)) {
                entry.spaces = std::move(spaces);
                found = !entry.spaces.empty();
            } else {
                entry.spaces.clear();
            }
        }
    }
    {
        CForeignScope plugin(ForeignCallKind::Ending);
        driver->Close();
        driver->Destroy();
    }
    return found;
}

// Plug-ins that speak to a server are pinned to one channel unless their
// stored settings say otherwise.
void MarkNetworkPlugin(CDriverInfo& entry)
{
    if (EqualsIgnoreCase(entry.fileName.c_str(), L"bondriver_tcp.dll") ||
        EqualsIgnoreCase(entry.fileName.c_str(), L"bondriver_udp.dll"))
        entry.FixChannel = 1;
}

// Probes that came back after start-up had given up waiting on them, and the
// window told of each.
struct CLateProbes {
    CCriticalSection lock;
    std::vector<CDriverInfo> entries;
    HWND window = nullptr;
    UINT message = 0;
};
CLateProbes g_late;

// One probe on a thread of its own. The thread owns the job once the
// catalogue has given up on it.
struct CProbeJob {
    enum : LONG { kRunning, kDone, kAbandoned };
    CDriverInfo entry;
    std::wstring directory;
    bool found = false;
    volatile LONG state = kRunning;
    // A fault inside the plug-in ends the probe's thread there: the plug-in
    // is left out, and its module, which the thread held, stays loaded.
    CForeignCall call;
};

unsigned __stdcall ProbeThread(void* param)
{
    auto* job = static_cast<CProbeJob*>(param);
    BindForeignCall(&job->call);
    CModule module;
    job->found = ProbeLoaded(job->entry, job->directory, module);
    // Back from every call: the module is let go, within a bound.
    UnloadModuleWithin(module.Release());
    if (InterlockedCompareExchange(&job->state, CProbeJob::kDone, CProbeJob::kRunning) == CProbeJob::kAbandoned) {
        // Come back after the catalogue gave up (a tuner whose firmware loads
        // at boot, a server not up yet): the entry is the program's still.
        if (job->found) {
            MarkNetworkPlugin(job->entry);
            HWND window = nullptr;
            UINT message = 0;
            {
                CLock hold(g_late.lock);
                g_late.entries.push_back(std::move(job->entry));
                window = g_late.window;
                message = g_late.message;
            }
            if (window) PostMessageW(window, message, 0, 0);
        }
        delete job;
    }
    return 0;  // otherwise the job is the catalogue's
}

}  // namespace

// On a thread of its own, bounded: a plug-in that does not come back within
// kProbeBoundMs is left out for now, and its thread and module are left to
// it; should it come back with spaces, TakeLateProbes hands its entry out.
bool ProbeDriver(CDriverInfo& entry, const std::wstring& directory)
{
    auto* job = new (std::nothrow) CProbeJob;
    if (!job) return false;
    job->entry = entry;
    job->directory = directory;
    unsigned id = 0;
    CHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ProbeThread, job, 0, &id)));
    if (!thread) {
        delete job;
        return false;
    }
    if (WaitForSingleObject(thread.Get(), kProbeBoundMs) != WAIT_OBJECT_0 &&
        InterlockedCompareExchange(&job->state, CProbeJob::kAbandoned, CProbeJob::kRunning) == CProbeJob::kRunning)
        return false;
    // Done, though perhaps still unloading: the job is no longer touched.
    const bool found = job->found;
    if (found) entry.spaces = std::move(job->entry.spaces);
    delete job;
    return found;
}

void TellLateProbesTo(HWND window, UINT message)
{
    bool waiting = false;
    {
        CLock hold(g_late.lock);
        g_late.window = window;
        g_late.message = message;
        waiting = !g_late.entries.empty();
    }
    if (window && waiting) PostMessageW(window, message, 0, 0);
}

std::vector<CDriverInfo> TakeLateProbes()
{
    CLock hold(g_late.lock);
    return std::exchange(g_late.entries, {});
}

void CConfig::ScanDrivers()
{
    drivers.clear();
    const std::wstring pattern = exeDirectory + L"\\BonDriver_*.dll";
    WIN32_FIND_DATAW found;
    CFindHandle find(FindFirstFileW(pattern.c_str(), &found));
    if (!find) return;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (EqualsIgnoreCase(found.cFileName, L"bondriver_file.dll")) continue;
        // The pattern can also match longer extensions through short names.
        const size_t length = wcslen(found.cFileName);
        if (length < 4 || !EqualsIgnoreCase(found.cFileName + length - 4, L".dll")) continue;
        CDriverInfo entry;
        entry.fileName = found.cFileName;
        if (!ProbeDriver(entry, exeDirectory)) continue;
        MarkNetworkPlugin(entry);
        drivers.push_back(std::move(entry));
    } while (FindNextFileW(find.Get(), &found));
}
