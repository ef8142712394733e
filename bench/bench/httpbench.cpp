// httpbench: tsserve with 1, 10 and 50 viewers of one 5 MB/s channel on
// loopback, in one run, side by side: what each viewer gets, tsserve's CPU
// (in all and per viewer) and memory, and how far the slowest viewer is
// behind the fastest.
//   httpbench [--quick]      (--quick: 1 and 10 viewers, short windows)
// Needs TunerHost.exe, tsserve.exe and BonDriver_Sim.dll beside itself.
// Exit codes: 0 done, 1 a measurement could not be made, 2 usage.
#include "CHostProcess.h"
#include "HttpViewer.h"
#include "common/WinHandle.h"

#include <winsock2.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

namespace {

struct Phase {
    int viewers = 0;
    double seconds = 0;
    double totalMBps = 0, slowestMBps = 0;
    double cpuPercent = 0;
    double rssMB = 0;
    double fastestMs = 0, slowestMs = 0, worstMs = 0;
    int ended = 0;
};

std::wstring OwnDirectory()
{
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
    std::wstring p(path);
    return p.substr(0, p.rfind(L'\\') + 1);
}

bool Bindable(int port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    closesocket(s);
    return ok;
}

// A free port with the two above it free too: tsserve's network tuners take them.
int FreePort()
{
    for (;;) {
        SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
        sockaddr_in a = {};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
        int length = sizeof a;
        getsockname(s, reinterpret_cast<sockaddr*>(&a), &length);
        closesocket(s);
        const int port = ntohs(a.sin_port);
        if (port <= 65533 && Bindable(port + 1) && Bindable(port + 2)) return port;
    }
}

bool Listening(int port)
{
    SOCKET s = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    sockaddr_in a = {};
    a.sin_family = AF_INET;
    a.sin_port = htons(static_cast<u_short>(port));
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(s, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    closesocket(s);
    return ok;
}

// tsserve serving the host's folder; its output goes to a file there.
class CServe {
public:
    bool Start(const std::wstring& hostDir, int port)
    {
        std::wstring dir = hostDir;
        if (!dir.empty() && dir.back() == L'\\') dir.pop_back();
        std::wstring line = L"\"" + OwnDirectory() + L"tsserve.exe\" --listen 127.0.0.1:" + std::to_wstring(port) +
                            L" --dir \"" + dir + L"\" --lag 30";
        SECURITY_ATTRIBUTES sa = {sizeof sa, nullptr, TRUE};
        CFileHandle out(CreateFileW((hostDir + L"tsserve.out").c_str(), GENERIC_WRITE, FILE_SHARE_READ, &sa,
                                    CREATE_ALWAYS, 0, nullptr));
        STARTUPINFOW si = {};
        si.cb = sizeof si;
        si.dwFlags = STARTF_USESTDHANDLES;
        si.hStdOutput = si.hStdError = out.Get();
        PROCESS_INFORMATION pi = {};
        if (!out || !CreateProcessW(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &si, &pi))
            return false;
        CloseHandle(pi.hThread);
        process_.Reset(pi.hProcess);
        for (int i = 0; i < 300; ++i) {
            if (Listening(port)) {
                // Wine gives the process its Windows arguments, split by NULs.
                unixPid_ = FindUnixPid("127.0.0.1:" + std::to_string(port));
                return true;
            }
            if (WaitForSingleObject(process_.Get(), 100) != WAIT_TIMEOUT) return false;
        }
        return false;
    }
    ~CServe()
    {
        if (process_) {
            TerminateProcess(process_.Get(), 0);
            WaitForSingleObject(process_.Get(), 5000);
        }
    }
    double CpuSeconds() const { return UnixCpuSeconds(unixPid_); }
    double RssAnonMB() const { return UnixStatusKb(unixPid_, "RssAnon:") / 1024.0; }
    int UnixPid() const { return unixPid_; }

private:
    CHandle process_;
    int unixPid_ = 0;
};

bool Measure(const CServe& serve, int port, int count, DWORD warmupMs, DWORD windowMs, Phase& out)
{
    std::vector<std::unique_ptr<CHttpViewer>> viewers;
    for (int i = 0; i < count; ++i) {
        viewers.push_back(std::make_unique<CHttpViewer>(port, "/stream/t/27"));
        if (!viewers.back()->Start()) {
            std::fprintf(stderr, "httpbench: viewer %d could not connect\n", i + 1);
            return false;
        }
    }
    Sleep(warmupMs);
    for (auto& v : viewers) v->ResetFigures();
    const double cpu0 = serve.CpuSeconds();
    const ULONGLONG t0 = GetTickCount64();
    double rss = 0;
    while (GetTickCount64() - t0 < windowMs) {
        Sleep(250);
        rss = std::max(rss, serve.RssAnonMB());
    }
    const double seconds = (GetTickCount64() - t0) / 1000.0;
    const double cpu1 = serve.CpuSeconds();
    out = Phase();
    out.viewers = count;
    out.seconds = seconds;
    out.cpuPercent = cpu0 >= 0 && cpu1 >= 0 ? (cpu1 - cpu0) / seconds * 100.0 : -1;
    out.rssMB = rss;
    out.slowestMBps = 1e18;
    out.fastestMs = 1e18;
    for (auto& v : viewers) {
        const CHttpViewer::Figures f = v->Read();
        const double mbps = f.bytes / 1e6 / seconds;
        out.totalMBps += mbps;
        out.slowestMBps = std::min(out.slowestMBps, mbps);
        out.ended += f.ended ? 1 : 0;
        if (!f.stamped) continue;
        const double mean = f.latencySumMs / double(f.stamped);
        out.fastestMs = std::min(out.fastestMs, mean);
        out.slowestMs = std::max(out.slowestMs, mean);
        out.worstMs = std::max(out.worstMs, f.latencyMaxMs);
    }
    viewers.clear();
    if (out.fastestMs > 1e17 || out.slowestMBps <= 0) {
        std::fprintf(stderr, "httpbench: no stream reached the viewers with %d of them\n", count);
        return false;
    }
    // tsserve notices the viewers' leaving at its next writes, then releases the tuner.
    Sleep(2000);
    return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    const bool quick = argc == 2 && std::wstring(argv[1]) == L"--quick";
    if (argc > 2 || (argc == 2 && !quick)) {
        std::fputs("usage: httpbench [--quick]\n", stderr);
        return 2;
    }
    WSADATA wsa;
    WSAStartup(MAKEWORD(2, 2), &wsa);
    const std::vector<int> counts = quick ? std::vector<int>{1, 10} : std::vector<int>{1, 10, 50};
    const DWORD warmupMs = quick ? 1500 : 3000, windowMs = quick ? 3000 : 10000;

    CHostProcess host;
    if (!host.SetSim(TunerKind::Terrestrial, "RateKBps=5000\r\nStamp=1\r\n") || !host.Start()) {
        std::fputs("httpbench: TunerHost did not start\n", stderr);
        return 1;
    }
    const int port = FreePort();
    CServe serve;
    if (!serve.Start(host.Dir(), port)) {
        std::fputs("httpbench: tsserve did not start\n", stderr);
        return 1;
    }
    Sleep(500);
    const double idleMB = serve.RssAnonMB();
    std::vector<Phase> phases;
    for (int count : counts) {
        Phase p;
        if (!Measure(serve, port, count, warmupMs, windowMs, p)) return 1;
        phases.push_back(p);
        std::fprintf(stderr, "httpbench: %d viewer(s) measured\n", count);
    }

    std::printf("tsserve, one channel of 5 MB/s (the simulated plug-in through TunerHost), viewers on loopback;\n"
                "%s windows of %.0f s after %.1f s of warm-up; tsserve idle: %.1f MB anonymous memory\n\n",
                quick ? "quick:" : "", windowMs / 1000.0, warmupMs / 1000.0, idleMB);
    std::printf("| viewers | total MB/s | slowest viewer MB/s | tsserve CPU %% core | per viewer | memory MB | "
                "latency fastest ms | slowest ms | slowest behind fastest ms | worst packet ms | dropped |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    for (const Phase& p : phases)
        std::printf("| %d | %.1f | %.2f | %.1f | %.2f | %.1f | %.1f | %.1f | %.1f | %.0f | %d |\n", p.viewers,
                    p.totalMBps, p.slowestMBps, p.cpuPercent, p.cpuPercent / p.viewers, p.rssMB, p.fastestMs,
                    p.slowestMs, p.slowestMs - p.fastestMs, p.worstMs, p.ended);
    std::printf("\nCPU per viewer against one viewer:");
    for (const Phase& p : phases)
        if (p.viewers > 1 && phases[0].cpuPercent > 0)
            std::printf("  %d: %.2f", p.viewers, p.cpuPercent / p.viewers / phases[0].cpuPercent);
    std::printf("\n");
    WSACleanup();
    return 0;
}
