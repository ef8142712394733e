// The client plug-in in this program's process, as an app has it loaded, side
// by side with tsrec over the same pipes of the same TunerHost: the CPU each
// costs its process at a broadcast rate (and the client library's, as tsrec
// reads, in this process), and the time from a tune to the first byte of the
// new channel.
#include "BenchRuns.h"

#include "CHostProcess.h"
#include "CReader.h"
#include "tuner/IBonDriver.h"

#include <atomic>
#include <cstdio>
#include <string>
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

// TunerHost may still be making its pipes (the window looked for may be the
// last run's TunerHost, on its way out): an app tries again.
bool OpenWithin(IBonDriver2* d, double seconds)
{
    const double start = Now();
    while (!d->Open()) {
        if (Now() - start > seconds) return false;
        Sleep(100);
    }
    return true;
}

// This program's CPU, after a warm-up, while a thread of its own takes the
// stream with `take` (which adds the bytes it got and returns false when it
// cannot go on), as fast as the stream comes.
template <typename Take>
bool ReadingCost(double seconds, Take take, double& cpuPercent, double& rateMBps)
{
    std::atomic<bool> stop{false}, failed{false};
    std::atomic<uint64_t> bytes{0};
    std::thread reader([&] {
        while (!stop)
            if (!take(bytes)) failed = true;
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
    if (cpu0 < 0 || cpu1 < 0 || b1 == b0 || failed) return false;
    cpuPercent = (cpu1 - cpu0) / (t1 - t0) * 100;
    rateMBps = double(b1 - b0) / (t1 - t0) / 1e6;
    return true;
}

// An app's reading: slot 4, then FetchBlock until nothing waits.
bool PluginCost(IBonDriver2* d, double seconds, double& cpuPercent, double& rateMBps)
{
    return ReadingCost(seconds, [d](std::atomic<uint64_t>& bytes) {
        if (d->WaitForStream(1000) != kStreamReady) return true;
        uint8_t* data = nullptr;
        uint32_t size = 0, waiting = 0;
        while (d->FetchBlock(&data, &size, &waiting)) {
            bytes += size;
            if (!waiting) break;
        }
        return true;
    }, cpuPercent, rateMBps);
}

// tsrec's reading, a message at a time with the client library.
bool LibraryCost(CReader& r, double seconds, double& cpuPercent)
{
    double rate = 0;
    return ReadingCost(seconds, [&r](std::atomic<uint64_t>& bytes) {
        if (!r.Read()) return false;
        bytes += kDataMessageSize;
        return true;
    }, cpuPercent, rate);
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
    // Its summary is not the table's.
    SECURITY_ATTRIBUTES inherit = {sizeof inherit, nullptr, TRUE};
    CFileHandle nul(CreateFileW(L"NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0,
                                nullptr));
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    si.dwFlags = STARTF_USESTDHANDLES;
    si.hStdOutput = si.hStdError = nul.Get();
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(path.c_str(), line.data(), nullptr, nullptr, TRUE, 0, nullptr, dir.c_str(), &si, &pi))
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
        const char* failed = !d                   ? "loaded"
                             : !OpenWithin(d, 10) ? "opened"
                             : !d->Tune(0, 0)     ? "tuned"
                             : !PluginCost(d, seconds, out.pluginCpuPercent, out.rateMBps) ? "measured"
                             : !PluginTuneTimes(d, tunes, out.pluginTuneMs)                ? "timed tuning"
                                                                                         : nullptr;
        if (failed) {
            std::fprintf(stderr, "bench: the client plug-in could not be %s\n", failed);
            return out;
        }
        d->Close();
    }
    if (!tsrecFirst && !TsrecCost(host.Dir(), seconds, out.tsrecCpuPercent)) return out;
    // The client library, as tsrec has it, in this process over the same pipes.
    CReader r;
    if (!r.Open(TunerKind::Terrestrial) || !LibraryCost(r, seconds, out.libraryCpuPercent) ||
        !TuneTimesOf(r, tunes, out.libraryTuneMs))
        return out;
    out.ok = true;
    return out;
}

bool CPluginFigures::Measure(double seconds, int tunes, bool tsrecFirst)
{
    const PluginRun p = ClientPluginBesideTsrec(seconds, tunes, tsrecFirst);
    if (!p.ok || p.rateMBps <= 0) {
        std::fprintf(stderr, "bench: the client plug-in's run failed\n");
        return false;
    }
    pluginCpu.Add(p.pluginCpuPercent);
    pluginPerMBps.Add(p.pluginCpuPercent / p.rateMBps);
    tsrecCpu.Add(p.tsrecCpuPercent);
    tsrecPerMBps.Add(p.tsrecCpuPercent / p.rateMBps);
    pluginToTsrec.Add(p.tsrecCpuPercent > 0 ? p.pluginCpuPercent / p.tsrecCpuPercent : 0);
    libraryCpu.Add(p.libraryCpuPercent);
    pluginToLibrary.Add(p.libraryCpuPercent > 0 ? p.pluginCpuPercent / p.libraryCpuPercent : 0);
    pluginTune.Add(Percentile(p.pluginTuneMs, 0.5));
    libraryTune.Add(Percentile(p.libraryTuneMs, 0.5));
    return true;
}

void CPluginFigures::PrintRows() const
{
    Row("client plug-in at 5 MB/s: the app's CPU", pluginCpu, "% core", 2);
    Row("  per MB/s of stream", pluginPerMBps, "% core", 3);
    Row("tsrec on the same pipes: its CPU", tsrecCpu, "% core", 2);
    Row("  per MB/s of stream", tsrecPerMBps, "% core", 3);
    Row("  plug-in / tsrec", pluginToTsrec, "ratio", 2);
    Row("client library in this process, as tsrec", libraryCpu, "% core", 2);
    Row("  plug-in / client library", pluginToLibrary, "ratio", 2);
    Row("client plug-in: Tune to its first byte", pluginTune, "ms");
    Row("  the client library: command 2 to first msg", libraryTune, "ms");
}

bool CPluginFigures::MeasureAlone(int runs, double seconds, int tunes)
{
    for (int run = 0; run < runs; ++run) {
        std::fprintf(stderr, "bench: run %d of %d\n", run + 1, runs);
        if (!Measure(seconds, tunes, run % 2 == 1)) return false;
    }
    std::printf("%d run(s); median, and min .. max over the runs\n\n", runs);
    TableHead();
    PrintRows();
    return true;
}
