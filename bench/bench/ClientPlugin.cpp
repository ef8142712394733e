// The client plug-in in this program's process, as an app has it loaded, side
// by side with tsrec over the same pipes of the same TunerHost: the CPU each
// costs its process at a broadcast rate, and the time from a tune to the
// first byte of the new channel.
#include "BenchRuns.h"

#include "CHostProcess.h"
#include "CReader.h"
#include "tuner/IBonDriver.h"

#include <atomic>
#include <thread>

namespace {

constexpr int kRateKBps = 5000;

// The plug-in loaded as apps load it; empty when it cannot be.
struct CLoadedPlugin {
    HMODULE module = LoadLibraryW(L"BonDriver_TunerHost_T.dll");
    IBonDriver2* driver = nullptr;
    CLoadedPlugin()
    {
        const auto create = module ? reinterpret_cast<CreateBonDriverFn>(
                                         reinterpret_cast<void*>(GetProcAddress(module, kCreateBonDriverExport)))
                                   : nullptr;
        // Its object is an IBonDriver2 first: the two share their start.
        if (IBonDriver* d = create ? create() : nullptr) driver = static_cast<IBonDriver2*>(d);
    }
    ~CLoadedPlugin()
    {
        if (driver) driver->Destroy();
        if (module) FreeLibrary(module);
    }
    CLoadedPlugin(const CLoadedPlugin&) = delete;
    CLoadedPlugin& operator=(const CLoadedPlugin&) = delete;
};

// The channel of the first payload packet in the bytes, or -1.
long ChannelIn(const uint8_t* data, uint32_t size)
{
    for (uint32_t at = 0; at + kTsPacketSize <= size; at += kTsPacketSize) {
        SimPayload p;
        if (ParseSimPayload(data + at, p)) return static_cast<long>(p.channel);
    }
    return -1;
}

// This program's CPU while an app's thread takes the stream from the plug-in
// as fast as it comes (slot 4, then FetchBlock until nothing waits).
bool PluginCost(IBonDriver2* d, double seconds, double& cpuPercent, double& rateMBps)
{
    std::atomic<bool> stop{false};
    std::atomic<uint64_t> bytes{0};
    std::thread reader([&] {
        while (!stop) {
            if (d->WaitForStream(1000) != kStreamReady) continue;
            uint8_t* data = nullptr;
            uint32_t size = 0, waiting = 0;
            while (d->FetchBlock(&data, &size, &waiting)) {
                bytes += size;
                if (!waiting) break;
            }
        }
    });
    Sleep(1500);
    const int self = FindUnixPid("bench.exe");
    const double cpu0 = UnixCpuSeconds(self), t0 = Now();
    const uint64_t b0 = bytes;
    Sleep(static_cast<DWORD>(seconds * 1000));
    const double cpu1 = UnixCpuSeconds(self), t1 = Now();
    const uint64_t b1 = bytes;
    stop = true;
    reader.join();
    if (cpu0 < 0 || cpu1 < 0 || b1 == b0) return false;
    cpuPercent = (cpu1 - cpu0) / (t1 - t0) * 100;
    rateMBps = double(b1 - b0) / (t1 - t0) / 1e6;
    return true;
}

// From the call of Tune to the first byte handed out after it, alternating
// UHF 13 and 14; the plug-in hands out nothing of the channel before.
bool PluginTuneTimes(IBonDriver2* d, int count, std::vector<double>& times)
{
    for (int i = 0; i < count; ++i) {
        const uint32_t channel = i % 2 == 0 ? 1 : 0;
        const double start = Now();
        if (!d->Tune(0, channel)) return false;
        uint8_t* data = nullptr;
        uint32_t size = 0, waiting = 0;
        while (!d->FetchBlock(&data, &size, &waiting)) {
            if (Now() - start > 10) return false;
            d->WaitForStream(1000);
        }
        times.push_back((Now() - start) * 1000);
        if (ChannelIn(data, size) != static_cast<long>(channel)) {
            std::fprintf(stderr, "bench: the plug-in's first bytes after a tune are not of the channel tuned\n");
            return false;
        }
    }
    return true;
}

// tsrec.exe recording to NUL for `seconds` after a warm-up, its CPU taken
// from Linux's count of its process.
bool TsrecCost(const std::wstring& dir, double seconds, double& cpuPercent)
{
    wchar_t exe[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, exe, ARRAYSIZE(exe));
    std::wstring path(exe);
    path = path.substr(0, path.rfind(L'\\')) + L"\\tsrec.exe";
    std::wstring line = L"\"" + path + L"\" -c 13 -q -o NUL -t " + std::to_wstring(static_cast<int>(seconds) + 4);
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, FALSE, 0, nullptr, dir.c_str(), &si, &pi))
        return false;
    CHandle process(pi.hProcess);
    CloseHandle(pi.hThread);
    Sleep(2000);
    const int unixPid = FindUnixPid("tsrec.exe");
    const double cpu0 = UnixCpuSeconds(unixPid), t0 = Now();
    Sleep(static_cast<DWORD>(seconds * 1000));
    const double cpu1 = UnixCpuSeconds(unixPid), t1 = Now();
    DWORD code = 1;
    if (WaitForSingleObject(process.Get(), 15000) != WAIT_OBJECT_0) TerminateProcess(process.Get(), 1);
    GetExitCodeProcess(process.Get(), &code);
    if (cpu0 < 0 || cpu1 < 0 || code != 0) return false;
    cpuPercent = (cpu1 - cpu0) / (t1 - t0) * 100;
    return true;
}

}  // namespace

PluginRun ClientPluginBesideTsrec(double seconds, int tunes, bool tsrecFirst)
{
    PluginRun out;
    CHostProcess host;
    if (!host.SetSim(TunerKind::Terrestrial, "RateKBps=" + std::to_string(kRateKBps) + "\r\n") || !host.Start())
        return out;
    if (tsrecFirst && !TsrecCost(host.Dir(), seconds, out.tsrecCpuPercent)) return out;
    {
        CLoadedPlugin plugin;
        IBonDriver2* d = plugin.driver;
        if (!d || !d->Open() || !d->Tune(0, 0) || !PluginCost(d, seconds, out.pluginCpuPercent, out.rateMBps) ||
            !PluginTuneTimes(d, tunes, out.pluginTuneMs)) {
            std::fprintf(stderr, "bench: the client plug-in could not be measured\n");
            return out;
        }
        d->Close();
    }
    if (!tsrecFirst && !TsrecCost(host.Dir(), seconds, out.tsrecCpuPercent)) return out;
    // The client library, as tsrec has it, over the same pipes.
    CReader r;
    if (!r.Open(TunerKind::Terrestrial) || !r.Read() || !TuneTimesOf(r, tunes, out.libraryTuneMs)) return out;
    out.ok = true;
    return out;
}
