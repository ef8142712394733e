#include "Baselines.h"

#include "CHostProcess.h"
#include "TunerClient.h"
#include "tuner/IBonDriver.h"

#include <windows.h>

#include <objbase.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

double OwnPrivateMB()
{
    PROCESS_MEMORY_COUNTERS_EX m = {};
    m.cb = sizeof m;
    GetProcessMemoryInfo(GetCurrentProcess(), reinterpret_cast<PROCESS_MEMORY_COUNTERS*>(&m), sizeof m);
    if (m.PrivateUsage) return double(m.PrivateUsage) / 1e6;
    // Wine: the resident anonymous memory Linux counts for this process.
    static const int self = [] {
        const int loader = FindUnixPid(std::string("soak.exe\0--loader", 17));
        return loader ? loader : FindUnixPid(std::string("soak.exe\0--pipes", 16));
    }();
    const double kb = UnixStatusKb(self, "RssAnon:");
    return kb < 0 ? 0 : kb * 1024 / 1e6;
}

}  // namespace

// What one tuner open costs the platform by itself, without TunerHost:
// loading, opening, closing and unloading the plug-in, and starting and ending
// the three threads a tuner runs. Prints it; the exit code carries it in
// tenths of a kB, for the soak run that started this one.
int LoaderBaseline(int cycles)
{
    wchar_t path[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, path, ARRAYSIZE(path));
    std::wstring dll(path);
    dll = dll.substr(0, dll.find_last_of(L"\\/") + 1) + L"BonDriver_Sim.dll";
    auto cycle = [&] {
        HMODULE m = LoadLibraryW(dll.c_str());
        if (!m) return false;
        auto create = reinterpret_cast<CreateBonDriverFn>(reinterpret_cast<void*>(GetProcAddress(m, kCreateBonDriverExport)));
        if (IBonDriver* d = create ? create() : nullptr) {
            d->Open();
            std::thread a([] {
                if (SUCCEEDED(CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED))) CoUninitialize();
            });
            std::thread b([] { Sleep(0); }), c([] { Sleep(0); });
            a.join();
            b.join();
            c.join();
            d->Close();
            d->Destroy();
        }
        FreeLibrary(m);
        return true;
    };
    for (int i = 0; i < 20; ++i)
        if (!cycle()) {
            std::fprintf(stderr, "soak: cannot load %ls\n", dll.c_str());
            return 0;
        }
    const double before = OwnPrivateMB();
    for (int i = 0; i < cycles; ++i) cycle();
    const double after = OwnPrivateMB();
    const double kb = std::max(0.0, (after - before) * 1000 / cycles);
    std::printf("platform baseline: %d plug-in load/open/close/unload cycles with three threads each, in a process "
                "of its own: private %.2f -> %.2f MB, %.1f kB per tuner open\n", cycles, before, after, kb);
    return static_cast<int>(kb * 10 + 0.5);
}

// Named-pipe churn alone, in this process: a writer on the data pipe's
// settings, a client that reads a message or two and leaves in the middle of
// the next write. Prints what the platform keeps per connection.
int PipeBaseline(int cycles)
{
    const std::wstring name = L"\\\\.\\pipe\\TunerHostSoakChurn";
    std::vector<uint8_t> chunk(kDataMessageSize, 0x47), buffer(kDataMessageSize);
    auto cycle = [&] {
        CFileHandle pipe(CreateNamedPipeW(name.c_str(), PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                                          PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 256 * kDataMessageSize,
                                          256 * kDataMessageSize, NMPWAIT_WAIT_FOREVER, nullptr));
        if (!pipe) return false;
        CHandle event(CreateEventW(nullptr, TRUE, FALSE, nullptr));
        OVERLAPPED ov = {};
        ov.hEvent = event.Get();
        ConnectNamedPipe(pipe.Get(), &ov);
        std::thread reader([&] {
            CFileHandle c(CreateFileW(name.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
            DWORD mode = PIPE_READMODE_MESSAGE, got = 0;
            SetNamedPipeHandleState(c.Get(), &mode, nullptr, nullptr);
            ReadFile(c.Get(), buffer.data(), kDataMessageSize, &got, nullptr);
        });
        WaitForSingleObject(event.Get(), 5000);
        for (int i = 0; i < 3; ++i) {
            ResetEvent(event.Get());
            DWORD written = 0;
            if (!WriteFile(pipe.Get(), chunk.data(), kDataMessageSize, nullptr, &ov) && GetLastError() != ERROR_IO_PENDING) break;
            if (WaitForSingleObject(event.Get(), 2000) != WAIT_OBJECT_0) {
                CancelIo(pipe.Get());
                GetOverlappedResult(pipe.Get(), &ov, &written, TRUE);
                break;
            }
            if (!GetOverlappedResult(pipe.Get(), &ov, &written, FALSE)) break;
        }
        reader.join();
        DisconnectNamedPipe(pipe.Get());
        return true;
    };
    for (int i = 0; i < 10; ++i) cycle();
    const double before = OwnPrivateMB();
    for (int i = 0; i < cycles; ++i) cycle();
    const double after = OwnPrivateMB();
    std::printf("pipe baseline: %d data-pipe connections, each left during a write: private %.2f -> %.2f MB, %.1f kB "
                "per connection\n", cycles, before, after, (after - before) * 1000 / cycles);
    // The reception thread's paced waits: timed waits of a millisecond or so.
    CHandle event(CreateEventW(nullptr, FALSE, FALSE, nullptr));
    const double waitsBefore = OwnPrivateMB();
    for (int i = 0; i < cycles * 100; ++i) WaitForSingleObject(event.Get(), 1);
    const double waitsAfter = OwnPrivateMB();
    std::printf("wait baseline: %d timed waits of 1 ms: private %.2f -> %.2f MB\n", cycles * 100, waitsBefore, waitsAfter);
    // Threads that wait on events in a loop while another signals them, as the relay does.
    const double signalBefore = OwnPrivateMB();
    {
        std::atomic<bool> stop{false};
        std::thread waiter([&] {
            while (!stop) WaitForSingleObject(event.Get(), 5);
        });
        for (int i = 0; i < cycles * 100; ++i) SetEvent(event.Get());
        stop = true;
        waiter.join();
    }
    const double signalAfter = OwnPrivateMB();
    std::printf("signal baseline: %d events set for a waiting thread: private %.2f -> %.2f MB\n", cycles * 100,
                signalBefore, signalAfter);
    return 0;
}

double MeasurePlatformBaseline()
{
    wchar_t self[MAX_PATH * 4] = {};
    GetModuleFileNameW(nullptr, self, ARRAYSIZE(self));
    // The child finds itself in Linux's process list by this command line.
    std::wstring line = L"soak.exe --loader 500";
    STARTUPINFOW si = {};
    si.cb = sizeof si;
    PROCESS_INFORMATION pi = {};
    if (!CreateProcessW(self, line.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &si, &pi)) return 0;
    CHandle process(pi.hProcess), thread(pi.hThread);
    if (WaitForSingleObject(process.Get(), 120000) != WAIT_OBJECT_0) {
        TerminateProcess(process.Get(), 1);
        return 0;
    }
    DWORD code = 0;
    GetExitCodeProcess(process.Get(), &code);
    return code / 10.0;
}
