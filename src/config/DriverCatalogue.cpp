#include "config/DriverCatalogue.h"

#include "common/CriticalSection.h"
#include "common/WinHandle.h"
#include "config/ClientPluginMark.h"
#include "plughost/Wire.h"
#include "tuner/CPlugChild.h"

#include <windows.h>
#include <process.h>

#include <memory>
#include <new>
#include <utility>

namespace {

bool EqualsIgnoreCase(const wchar_t* a, const wchar_t* b)
{
    return lstrcmpiW(a, b) == 0;
}

// Plug-ins that speak to a server are pinned to one channel unless their
// stored settings say otherwise.
void MarkNetworkPlugin(CDriverInfo& entry)
{
    if (EqualsIgnoreCase(entry.fileName.c_str(), L"bondriver_tcp.dll") ||
        EqualsIgnoreCase(entry.fileName.c_str(), L"bondriver_udp.dll"))
        entry.FixChannel = 1;
}

// The host's answer to ProbeList, read within the catalogue's bounds.
bool ReadSpaces(const std::vector<uint8_t>& reply, std::vector<CSpaceInfo>& spaces)
{
    CWireReader in(reply);
    uint32_t found = 0, count = 0;
    if (!in.U32(found) || found != kResultDone || !in.U32(count) || count == 0 || count > kMaxSpaces) return false;
    spaces.clear();
    for (uint32_t s = 0; s < count; ++s) {
        CSpaceInfo space;
        uint32_t channels = 0;
        if (!in.Text(space.name, kMaxNameUnits) || !in.U32(channels) || channels == 0 ||
            channels > kMaxChannelsPerSpace)
            return false;
        space.channels.resize(channels);
        for (std::wstring& name : space.channels)
            if (!in.Text(name, kMaxNameUnits)) return false;
        spaces.push_back(std::move(space));
    }
    return in.AtEnd();
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

// One probe, on a thread of its own that speaks to its host. The thread owns
// the job once the catalogue has given up on it.
struct CProbeJob {
    enum : LONG { kRunning, kDone, kAbandoned };
    CDriverInfo entry;
    std::wstring path;
    CHandle turn{CreateEventW(nullptr, TRUE, FALSE, nullptr)};  // set when it may open the plug-in
    HANDLE done = nullptr;  // the thread's: set once the result is in
    bool found = false;
    volatile LONG state = kRunning;
};

// Loads the plug-in in its host at once, lists it in its turn. Each step has
// kLateProbeBoundMs; the catalogue waits less (kProbeBoundMs from the turn).
bool RunProbe(CProbeJob& job, CPlugChild& host)
{
    ULONGLONG deadline = GetTickCount64() + kLateProbeBoundMs;
    auto left = [&] {
        const ULONGLONG now = GetTickCount64();
        return now >= deadline ? DWORD{0} : static_cast<DWORD>(deadline - now);
    };
    const WORD machine = PeMachineOf(job.path);
    // A file that is not a DLL of either kind is no plug-in.
    if (!PlugHostName(machine) || !host.Spawn(machine)) return false;
    CWireWriter path;
    path.Text(job.path);
    std::vector<uint8_t> reply;
    if (host.Call(PlugRequest::ProbeLoad, path.Bytes(), reply, left()) != CallResult::Done ||
        CPlugChild::ResultOf(reply) != kResultDone)
        return false;
    if (WaitForSingleObject(job.turn.Get(), INFINITE) != WAIT_OBJECT_0) return false;
    deadline = GetTickCount64() + kLateProbeBoundMs;
    if (host.Call(PlugRequest::ProbeList, {}, reply, left()) != CallResult::Done) return false;
    if (ReadSpaces(reply, job.entry.spaces)) return true;
    job.entry.spaces.clear();
    return false;
}

unsigned __stdcall ProbeThread(void* param)
{
    auto* job = static_cast<CProbeJob*>(param);
    CPlugChild host;
    job->found = RunProbe(*job, host);
    HANDLE done = job->done;
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
    // Otherwise the job is the catalogue's from here on; the event is ours.
    SetEvent(done);
    CloseHandle(done);
    // Back from every call: the host ends by itself once told (the plug-in is
    // unloaded by then), or is ended, with whatever its plug-in started.
    host.Quit(CPlugChild::kExitBoundMs);
    return 0;
}

}  // namespace

std::vector<bool> ProbeDrivers(std::vector<CDriverInfo>& entries, const std::wstring& directory)
{
    const size_t n = entries.size();
    std::vector<CProbeJob*> jobs(n, nullptr);
    std::vector<CHandle> done(n);
    auto begin = [&](size_t i) {
        auto* job = new (std::nothrow) CProbeJob;
        done[i].Reset(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        if (!job || !job->turn || !done[i] ||
            !DuplicateHandle(GetCurrentProcess(), done[i].Get(), GetCurrentProcess(), &job->done, 0, FALSE,
                             DUPLICATE_SAME_ACCESS)) {
            delete job;
            return;
        }
        job->entry = entries[i];
        job->path = directory + L"\\" + entries[i].fileName;
        unsigned id = 0;
        CHandle thread(reinterpret_cast<HANDLE>(_beginthreadex(nullptr, 0, ProbeThread, job, 0, &id)));
        if (thread) {
            jobs[i] = job;
        } else {
            CloseHandle(job->done);
            delete job;
        }
    };
    std::vector<bool> found(n, false);
    size_t begun = 0;
    for (size_t i = 0; i < n; ++i) {
        while (begun < n && begun <= i + kProbesAhead) begin(begun++);
        CProbeJob* job = jobs[i];
        if (!job) continue;
        SetEvent(job->turn.Get());
        // Not back within its bound: left out for now, its thread and host
        // left to it; should it come back with spaces, TakeLateProbes hands
        // its entry out.
        if (WaitForSingleObject(done[i].Get(), kProbeBoundMs) != WAIT_OBJECT_0 &&
            InterlockedCompareExchange(&job->state, CProbeJob::kAbandoned, CProbeJob::kRunning) ==
                CProbeJob::kRunning)
            continue;
        // Done, though its host may still be ending: the job is no longer touched.
        WaitForSingleObject(done[i].Get(), INFINITE);
        found[i] = job->found;
        if (job->found) entries[i].spaces = std::move(job->entry.spaces);
        delete job;
    }
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
    std::vector<CDriverInfo> entries;
    do {
        if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) continue;
        if (EqualsIgnoreCase(found.cFileName, L"bondriver_file.dll")) continue;
        // The pattern can also match longer extensions through short names.
        const size_t length = wcslen(found.cFileName);
        if (length < 4 || !EqualsIgnoreCase(found.cFileName + length - 4, L".dll")) continue;
        if (IsClientPluginFile((exeDirectory + L"\\" + found.cFileName).c_str())) continue;
        CDriverInfo entry;
        entry.fileName = found.cFileName;
        entries.push_back(std::move(entry));
    } while (FindNextFileW(find.Get(), &found));
    find.Reset();
    const std::vector<bool> probed = ProbeDrivers(entries, exeDirectory);
    for (size_t i = 0; i < entries.size(); ++i) {
        if (!probed[i]) continue;
        MarkNetworkPlugin(entries[i]);
        drivers.push_back(std::move(entries[i]));
    }
}
