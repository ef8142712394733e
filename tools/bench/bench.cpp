// bench: TunerHost measured against the named pipe's own ceiling, in one run.
//   bench [--quick] [--runs N]
// Prints a table; every figure is the median of N runs (default 5, --quick 1)
// with its spread. Needs TunerHost.exe, BonDriver_Sim.dll and b25decoder.dll
// beside itself. Exit codes: 0 done, 1 a measurement could not be made, 2 usage.
#include "CHostProcess.h"
#include "TunerClient.h"
#include "SimStream.h"
#include "common/WinHandle.h"
#include "relay/CPipeServer.h"

#include <windows.h>

#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <functional>
#include <string>
#include <thread>
#include <vector>

namespace {

double Now()
{
    static const double frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return double(f.QuadPart);
    }();
    LARGE_INTEGER c;
    QueryPerformanceCounter(&c);
    return double(c.QuadPart) / frequency;
}



struct Figure {
    std::vector<double> runs;
    void Add(double v) { runs.push_back(v); }
    double Median() const
    {
        if (runs.empty()) return 0;
        std::vector<double> v(runs);
        std::sort(v.begin(), v.end());
        return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
    }
    double Min() const { return runs.empty() ? 0 : *std::min_element(runs.begin(), runs.end()); }
    double Max() const { return runs.empty() ? 0 : *std::max_element(runs.begin(), runs.end()); }
};

void Row(const char* name, const Figure& f, const char* unit, int decimals = 1)
{
    std::printf("| %-44s | %10.*f | %10.*f .. %-10.*f | %-8s |\n", name, decimals, f.Median(), decimals, f.Min(),
                decimals, f.Max(), unit);
}

// ---- the ceiling: a plain writer and reader pair on the data pipe's settings

int PipeWriter(const wchar_t* name, int messages)
{
    CFileHandle pipe(CreateNamedPipeW(name, PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED, kPipeMode, 1, kDataPipeBufferSize,
                                  kDataPipeBufferSize, NMPWAIT_WAIT_FOREVER, nullptr));
    if (!pipe) return 1;
    CHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov = {};
    ov.hEvent = event.Get();
    if (!ConnectNamedPipe(pipe.Get(), &ov)) {
        const DWORD e = GetLastError();
        if (e == ERROR_IO_PENDING) WaitForSingleObject(event.Get(), 30000);
        else if (e != ERROR_PIPE_CONNECTED) return 1;
    }
    std::vector<uint8_t> chunk(kDataMessageSize, 0x47);
    for (int i = 0; i < messages; ++i) {
        ResetEvent(event.Get());
        DWORD written = 0;
        if (!WriteFile(pipe.Get(), chunk.data(), kDataMessageSize, nullptr, &ov)) {
            if (GetLastError() != ERROR_IO_PENDING) return 1;
        }
        if (!GetOverlappedResult(pipe.Get(), &ov, &written, TRUE) || written != kDataMessageSize) return 1;
    }
    FlushFileBuffers(pipe.Get());
    return 0;
}

bool StartSelf(const std::wstring& args, CHandle& process)
{
    wchar_t self[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, self, ARRAYSIZE(self));
    std::wstring line = L"\"" + std::wstring(self) + L"\" " + args;
    STARTUPINFOW si = {};
        si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(nullptr, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return false;
    CloseHandle(pi.hThread);
    process.Reset(pi.hProcess);
    return true;
}

double Ceiling(int messages)
{
    const std::wstring name = L"\\\\.\\pipe\\TunerHostBench" + std::to_wstring(GetCurrentProcessId());
    CHandle writer;
    if (!StartSelf(L"--pipe-writer " + name + L" " + std::to_wstring(messages), writer)) return 0;
    // The reader reads as every client of the data pipe does: overlapped, one
    // message per read.
    CFileHandle pipe;
    for (int i = 0; i < 300 && !pipe; ++i) {
        pipe.Reset(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_FLAG_OVERLAPPED, nullptr));
        if (!pipe) Sleep(10);
    }
    if (!pipe) return 0;
    DWORD mode = PIPE_READMODE_MESSAGE;
    SetNamedPipeHandleState(pipe.Get(), &mode, nullptr, nullptr);
    CHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    std::vector<uint8_t> buffer(kDataMessageSize);
    double start = 0;
    uint64_t bytes = 0;
    for (int i = 0; i < messages; ++i) {
        OVERLAPPED ov = {};
        ov.hEvent = event.Get();
        DWORD got = 0;
        if (!ReadFile(pipe.Get(), buffer.data(), kDataMessageSize, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) break;
        if (!GetOverlappedResult(pipe.Get(), &ov, &got, TRUE)) break;
        if (i == 0) start = Now();  // from the first message on: no start-up in the figure
        else bytes += got;
    }
    const double seconds = Now() - start;
    pipe.Reset();  // a writer still writing sees the pipe break
    if (WaitForSingleObject(writer.Get(), 30000) != WAIT_OBJECT_0) TerminateProcess(writer.Get(), 1);
    return seconds > 0 ? double(bytes) / seconds / 1e6 : 0;
}

constexpr uint32_t kFrequencyCh13 = 473143, kFrequencyCh14 = 479143;  // kHz
constexpr uint32_t kTsidBs01 = 0x4010;

// A client on one kind, connected, tuned and reading.
struct CReader {
    CTunerClient client;
    std::vector<uint8_t> buffer = std::vector<uint8_t>(kDataMessageSize);
    std::atomic<bool> quiet{false};  // the run closes the pipe under a pending read
    bool Open(TunerKind kind)
    {
        uint32_t reply = 0;
        return client.ConnectControl(kind, 10000) == ClientError::None && client.ConnectData(10000) == ClientError::None &&
               client.Command(kCmdSelectChannel, kind == TunerKind::Terrestrial ? kFrequencyCh13 : kTsidBs01, &reply) ==
                   ClientError::None;
    }
    bool Read()
    {
        DWORD got = 0;
        const ClientError e = client.ReadData(buffer.data(), kDataMessageSize, got, 10000);
        if (e != ClientError::None || got != kDataMessageSize) {
            if (!quiet) std::fprintf(stderr, "bench: reading the data pipe: %s (%lu bytes)\n", Describe(e), got);
            return false;
        }
        return true;
    }
    // Seconds since the last payload packet of the message was handed out by the plug-in.
    bool LastPacketAge(double& age) const
    {
        const double now = Now();
        for (size_t at = kDataMessageSize - kTsPacketSize;; at -= kTsPacketSize) {
            SimPayload p;
            if (ParseSimPayload(buffer.data() + at, p, true)) {
                int64_t stamp = 0;
                std::memcpy(&stamp, buffer.data() + at + kSimStampOffset, 8);
                LARGE_INTEGER f;
                QueryPerformanceFrequency(&f);
                age = now - double(stamp) / double(f.QuadPart);
                return true;
            }
            if (at == 0) return false;
        }
    }
    bool Carries(uint32_t channel) const
    {
        for (size_t at = 0; at < kDataMessageSize; at += kTsPacketSize) {
            SimPayload p;
            if (ParseSimPayload(buffer.data() + at, p, true)) return p.channel == channel;
        }
        return false;
    }
};

double Relay(bool descrambler, double seconds, double* hostCpuPercent = nullptr)
{
    CHostProcess host;
    CReader r;
    if (!host.SetSim(TunerKind::Terrestrial, "RateKBps=0\r\n") || (descrambler && !host.SetDescrambler("")) ||
        !host.Start() || !r.Open(TunerKind::Terrestrial))
        return 0;
    for (int i = 0; i < 10; ++i)
        if (!r.Read()) return 0;  // warm-up
    const double cpu0 = host.CpuSeconds();  // first: finding the process in /proc takes a moment
    const double start = Now();
    uint64_t bytes = 0;
    while (Now() - start < seconds) {
        if (!r.Read()) return 0;
        bytes += kDataMessageSize;
    }
    const double elapsed = Now() - start;
    if (hostCpuPercent) *hostCpuPercent = (host.CpuSeconds() - cpu0) / elapsed * 100;
    return double(bytes) / elapsed / 1e6;
}

struct CostRun {
    double cpuPercent = 0, workingSetStart = 0, workingSetEnd = 0, privateStart = 0, privateEnd = 0, privateMax = 0;
    std::vector<double> latencyMs;
    bool ok = false;
};

// Both kinds at broadcast rates, each with a client; the host's own cost.
CostRun Cost(double seconds)
{
    CostRun out;
    CHostProcess host;
    if (!host.SetSim(TunerKind::Terrestrial, "RateKBps=2500\r\nStamp=1\r\n") ||
        !host.SetSim(TunerKind::Satellite, "RateKBps=5000\r\nStamp=1\r\n") || !host.Start())
        return out;
    CReader t, s;
    if (!t.Open(TunerKind::Terrestrial) || !s.Open(TunerKind::Satellite)) {
        std::fprintf(stderr, "bench: the clients could not connect\n");
        return out;
    }
    std::atomic<bool> stop{false}, failed{false};  // failed: a read ended before the run did
    std::vector<double> lt, ls;
    auto reading = [&](CReader& r, std::vector<double>& ages) {
        while (!stop) {
            if (!r.Read()) {
                if (!stop) failed = true;
                return;
            }
            double age = 0;
            if (r.LastPacketAge(age)) ages.push_back(age * 1000);
        }
    };
    std::thread a(reading, std::ref(t), std::ref(lt)), b(reading, std::ref(s), std::ref(ls));
    Sleep(2000);  // warm-up: both streams flowing, queues at their working size
    out.workingSetStart = host.WorkingSetMB();
    out.privateStart = host.PrivateMB();
    out.privateMax = out.privateStart;
    const double cpu0 = host.CpuSeconds();
    const double t0 = Now();
    const size_t skipT = lt.size(), skipS = ls.size();
    while (Now() - t0 < seconds && !failed) {
        Sleep(500);
        out.privateMax = std::max(out.privateMax, host.PrivateMB());
    }
    const double cpu1 = host.CpuSeconds(), t1 = Now();
    out.workingSetEnd = host.WorkingSetMB();
    out.privateEnd = host.PrivateMB();
    stop = true;
    t.quiet = s.quiet = true;
    t.client.CloseData();
    s.client.CloseData();
    a.join();
    b.join();
    out.cpuPercent = (cpu1 - cpu0) / (t1 - t0) * 100;
    out.latencyMs.assign(lt.begin() + static_cast<std::ptrdiff_t>(std::min(skipT, lt.size())), lt.end());
    out.latencyMs.insert(out.latencyMs.end(), ls.begin() + static_cast<std::ptrdiff_t>(std::min(skipS, ls.size())), ls.end());
    out.ok = out.latencyMs.size() > 2;
    if (!out.ok) std::fprintf(stderr, "bench: only %zu messages with a stamp arrived\n", out.latencyMs.size());
    return out;
}

// Command 2 to the first message of the new channel, alternating between two.
bool TuneTimes(int count, std::vector<double>& times)
{
    CHostProcess host;
    CReader r;
    if (!host.SetSim(TunerKind::Terrestrial, "RateKBps=2500\r\n") || !host.Start() || !r.Open(TunerKind::Terrestrial))
        return false;
    if (!r.Read()) return false;
    for (int i = 0; i < count; ++i) {
        const bool to14 = i % 2 == 0;
        uint32_t reply = 0;
        const double start = Now();
        if (r.client.Command(kCmdSelectChannel, to14 ? kFrequencyCh14 : kFrequencyCh13, &reply) != ClientError::None)
            return false;
        do {
            if (!r.Read()) return false;
        } while (!r.Carries(to14 ? 1 : 0));
        times.push_back((Now() - start) * 1000);
    }
    return true;
}

double Percentile(std::vector<double> v, double q)
{
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[std::min(v.size() - 1, static_cast<size_t>(q * double(v.size() - 1) + 0.5))];
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && std::wcscmp(argv[1], L"--pipe-writer") == 0) return PipeWriter(argv[2], _wtoi(argv[3]));
    bool quick = false;
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--quick") == 0) {
            quick = true;
            runs = 1;
        } else if (std::wcscmp(argv[i], L"--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, _wtoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: bench [--quick] [--runs N]\n");
            return 2;
        }
    }
    const int messages = quick ? 300 : 1000;
    const double relaySeconds = quick ? 2 : 5, costSeconds = quick ? 3 : 20;
    const int tunes = quick ? 4 : 10;
    // The figures that need each other are measured side by side, run by run.
    Figure relayCpu;
    Figure ceiling, relay, relayB25, ratio, ratioB25, cpu, wsGrowth, pvGrowth, pvMax, latMedian, latWorst, tune;
    for (int run = 0; run < runs; ++run) {
        std::fprintf(stderr, "bench: run %d of %d\n", run + 1, runs);
        const double c = Ceiling(messages);
        double hostCpu = 0;
        const double r = Relay(false, relaySeconds, &hostCpu);
        relayCpu.Add(hostCpu);
        const double rb = Relay(true, relaySeconds);
        if (c <= 0 || r <= 0 || rb <= 0) {
            std::fprintf(stderr, "bench: a throughput measurement failed (ceiling %.1f, relay %.1f, with descrambler %.1f)\n", c, r, rb);
            return 1;
        }
        ceiling.Add(c);
        relay.Add(r);
        relayB25.Add(rb);
        ratio.Add(r / c);
        ratioB25.Add(rb / c);
        const CostRun cost = Cost(costSeconds);
        if (!cost.ok) {
            std::fprintf(stderr, "bench: the broadcast-rate run failed\n");
            return 1;
        }
        cpu.Add(cost.cpuPercent);
        wsGrowth.Add(cost.workingSetEnd - cost.workingSetStart);
        pvGrowth.Add(cost.privateEnd - cost.privateStart);
        pvMax.Add(cost.privateMax);
        latMedian.Add(Percentile(cost.latencyMs, 0.5));
        latWorst.Add(Percentile(cost.latencyMs, 1.0));
        std::vector<double> t;
        if (!TuneTimes(tunes, t)) {
            std::fprintf(stderr, "bench: the tune-time run failed\n");
            return 1;
        }
        tune.Add(Percentile(t, 0.5));
    }
    std::printf("%d run(s); median, and min .. max over the runs\n\n", runs);
    std::printf("| %-44s | %10s | %-24s | %-8s |\n", "figure", "median", "spread", "unit");
    std::printf("|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(12, '-').c_str(),
                std::string(26, '-').c_str(), std::string(10, '-').c_str());
    Row("ceiling: plain pipe pair, 586,560-byte msgs", ceiling, "MB/s");
    Row("relay: TunerHost, plug-in unpaced", relay, "MB/s");
    Row("relay / ceiling (target >= 0.8)", ratio, "ratio", 2);
    Row("TunerHost's CPU during the relay run", relayCpu, "% core");
    Row("relay with the stand-in descrambler", relayB25, "MB/s");
    Row("relay with descrambler / ceiling", ratioB25, "ratio", 2);
    Row("CPU, 2.5 + 5 MB/s both kinds (target < 2)", cpu, "% core", 2);
    Row("private bytes during that run, max", pvMax, "MB");
    Row("private bytes growth over the run", pvGrowth, "MB", 2);
    Row("working set growth over the run", wsGrowth, "MB", 2);
    Row("latency beyond fill, median (target < 20)", latMedian, "ms", 2);
    Row("latency beyond fill, worst", latWorst, "ms", 2);
    Row("tune: command 2 to first new-channel msg", tune, "ms");
    std::printf("\nThe tune time includes filling the first message of the new channel: %.0f ms at 2.5 MB/s.\n",
                kDataMessageSize / 2.5e6 * 1000);
    return 0;
}
