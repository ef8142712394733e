// soak: a bounded soak and fault campaign against the real TunerHost.
//   soak [--short|--long] [--seed N]
// Phases, both tuner kinds at once where it applies: random control
// connections with mid-stream disconnects; random control messages; a client
// that stalls and resumes and one that reads one message a second; plug-in and
// descrambler faults mid-stream. After each phase: TunerHost still running, a
// new client served within 2 s, handles, threads and private bytes back within
// 1 % of their value after warm-up, and the test doubles' counters balanced.
// Exit codes: 0 every check held, 1 a check failed, 2 usage.
#include "CHostProcess.h"
#include "SimStream.h"
#include "TunerClient.h"
#include "tuner/IBonDriver.h"

#include <windows.h>

#include <objbase.h>
#include <psapi.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Profile {
    const char* name;
    int connections;     // per kind
    int messages;        // per kind
    int stallSeconds;
    int slowSeconds;
};

constexpr Profile kShort = {"short", 40, 400, 8, 5};
constexpr Profile kLong = {"long", 1000, 10000, 180, 60};
constexpr TunerKind kKinds[] = {TunerKind::Terrestrial, TunerKind::Satellite};
constexpr uint32_t kTuneValue[] = {473143, 0x4010};  // UHF 13, BS 1

const char* KindName(TunerKind k) { return k == TunerKind::Terrestrial ? "T" : "S"; }

double Now()
{
    return double(GetTickCount64()) / 1000.0;
}

class CSoak {
public:
    CSoak(const Profile& p, unsigned seed, std::wstring phases, double kbPerOpen)
        : p_(p), seed_(seed), phases_(std::move(phases)), kbPerOpen_(kbPerOpen) {}
    int Run();

private:
    struct Sample {
        DWORD handles = 0, threads = 0;
        double privateMB = 0;
    };
    Sample Take() const { return {host_.Handles(), host_.Threads(), host_.PrivateMB()}; }
    bool Within(const Sample& s) const;
    bool MemoryWithin(const Sample& s) const { return s.privateMB <= base_.privateMB * 1.01 + Allowance(); }
    int Loads() const { return Count("load"); }
    // Plug-in DLLs kept loaded because a thread was cut off inside them.
    int Pinned() const
    {
        int n = 0;
        for (TunerKind kind : kKinds) n += host_.Count(kind, "open") > host_.Count(kind, "close") ? 1 : 0;
        return n;
    }
    // An event's lines in both kinds' plug-in logs.
    int Count(const char* event) const
    {
        return host_.Count(TunerKind::Terrestrial, event) + host_.Count(TunerKind::Satellite, event);
    }
    // How far private bytes may grow past 1 % of the baseline, in MB: what the
    // platform itself keeps of every tuner open since the baseline (loading
    // and unloading the plug-in, starting and ending threads); the heap's
    // high-water mark (freed pages that Wine's heap keeps touched); and what a
    // plug-in cut off at the stop bounds leaves behind (its object, which is
    // never destroyed, and its thread's stack).
    double Allowance() const;
    int CutOff() const;
    bool Check(const char* phase);
    bool Served(TunerKind kind, double& ms);
    void Connections(TunerKind kind, unsigned seed);
    void Messages(TunerKind kind, unsigned seed);
    void StallAndSlow();
    // Runs a phase on both kinds at once, each with a seed of its own.
    void BothKinds(void (CSoak::*phase)(TunerKind, unsigned))
    {
        const unsigned seedT = seed_++, seedS = seed_++;
        std::thread t([&] { (this->*phase)(TunerKind::Terrestrial, seedT); });
        std::thread s([&] { (this->*phase)(TunerKind::Satellite, seedS); });
        t.join();
        s.join();
    }
    void Faults();
    void Report(const char* phase, const Sample& s, double servedMs, bool balanced, bool ok);


    Profile p_;
    unsigned seed_;
    std::wstring phases_;
public:
    std::string simT_;  // extra [Sim] lines for the terrestrial plug-in

private:
    CHostProcess host_;
    Sample base_;
    int baseLoads_ = 0;
    double kbPerOpen_ = 0;
    int failures_ = 0;
    bool memoryOver_ = false;
    std::atomic<int> served_{0}, ended_{0};
};

bool CSoak::Within(const Sample& s) const
{
    auto close = [](double v, double b) { return v <= b * 1.01 + 0.5; };  // 1 %, and half a unit for small counts
    return close(s.handles, base_.handles) && close(s.threads, base_.threads) && MemoryWithin(s);
}

constexpr double kHeapHighWaterMB = 2.0;
constexpr double kPerCutOffMB = 2.0;

int CSoak::CutOff() const
{
    return Count("open") - Count("close");
}

double CSoak::Allowance() const
{
    return double(Loads() - baseLoads_) * kbPerOpen_ / 1000 + kHeapHighWaterMB + kPerCutOffMB * CutOff();
}

// Connect, challenge, data, tune, one message: the way every client starts.
bool CSoak::Served(TunerKind kind, double& ms)
{
    const double start = Now();
    CTunerClient c;
    std::vector<uint8_t> buffer(kDataMessageSize);
    uint32_t reply = 0;
    DWORD got = 0;
    const bool ok = c.ConnectControl(kind, 2000) == ClientError::None && c.Challenge() == ClientError::None &&
                    c.ConnectData(2000) == ClientError::None &&
                    c.Command(kCmdSelectChannel, kTuneValue[kind == TunerKind::Satellite], &reply, 2000) == ClientError::None &&
                    c.ReadData(buffer.data(), kDataMessageSize, got, 2000) == ClientError::None && got == kDataMessageSize;
    ms = (Now() - start) * 1000;
    return ok && ms <= 2000;
}

bool CSoak::Check(const char* phase)
{
    if (!host_.Alive()) {
        std::printf("| %-28s | TunerHost is not running |\n", phase);
        ++failures_;
        return false;
    }
    double worst = 0;
    bool served = true;
    for (TunerKind kind : kKinds) {
        double ms = 0;
        // The first try may meet the end of the phase's last connection.
        bool ok = Served(kind, ms) || Served(kind, ms);
        served = served && ok;
        worst = std::max(worst, ms);
    }
    // Resources settle once every tuner has been closed and its threads have ended.
    Sample s = Take();
    for (int i = 0; i < 100 && !Within(s); ++i) {
        Sleep(100);
        s = Take();
    }
    // The last client's tuner may still be closing: its log lines come last.
    for (int i = 0; i < 50 && Loads() - Count("unload") > Pinned(); ++i) Sleep(100);
    bool balanced = true;
    for (TunerKind kind : kKinds) {
        const int opens = host_.Count(kind, "open"), closes = host_.Count(kind, "close"),
                  creates = host_.Count(kind, "create"), destroys = host_.Count(kind, "destroy"),
                  loads = host_.Count(kind, "load"), unloads = host_.Count(kind, "unload"), hangs = host_.Count(kind, "hang");
        // A plug-in that hung past the stop bounds may have been cut off:
        // neither closed nor destroyed, and never unloaded, so its DLL stays
        // loaded from then on (loaded again, it logs no second load). One that
        // came back out of its hang while TunerHost waited for it was closed
        // as usual.
        const int cut = opens - closes;
        const bool ok = loads - unloads == (cut > 0 ? 1 : 0) && cut >= 0 && cut <= hangs && creates - destroys == cut;
        balanced = balanced && ok;
        if (!ok)
            std::printf("   %s plug-in: load %d unload %d create %d destroy %d open %d close %d hang %d\n", KindName(kind),
                        loads, unloads, creates, destroys, opens, closes, hangs);
    }
    // A descrambler instance cut off inside Decode is never released, and its
    // DLL never unloaded.
    const int dl = host_.CountDescrambler("load"), du = host_.CountDescrambler("unload"),
              dc = host_.CountDescrambler("create"), dr = host_.CountDescrambler("release"),
              dh = host_.CountDescrambler("hang");
    const int abandoned = dc - dr;
    if (dl - du != (abandoned > 0 ? 1 : 0) || abandoned < 0 || abandoned > dh) {
        balanced = false;
        std::printf("   descrambler: load %d unload %d create %d release %d\n", dl, du, dc, dr);
    }
    if (!MemoryWithin(s)) memoryOver_ = true;
    const bool ok = served && Within(s) && balanced;
    Report(phase, s, worst, balanced, ok);
    if (!ok) ++failures_;
    return ok;
}

void CSoak::Report(const char* phase, const Sample& s, double servedMs, bool balanced, bool ok)
{
    std::printf("| %-30s | %5lu (%+4ld) | %4lu (%+3ld) | %8.2f (%+6.2f %%) | %7.2f | %6d | %7.0f | %-8s | %-4s |\n", phase,
                s.handles, long(s.handles) - long(base_.handles), s.threads, long(s.threads) - long(base_.threads),
                s.privateMB, base_.privateMB > 0 ? (s.privateMB / base_.privateMB - 1) * 100 : 0, Allowance(),
                Loads() - baseLoads_, servedMs, balanced ? "balanced" : "OFF", ok ? "ok" : "FAIL");
    std::fflush(stdout);
}

// Random timing, random disconnects of either pipe in the middle of a stream.
void CSoak::Connections(TunerKind kind, unsigned seed)
{
    std::mt19937 rng(seed);
    std::vector<uint8_t> buffer(kDataMessageSize);
    for (int i = 0; i < p_.connections; ++i) {
        CTunerClient c;
        if (c.ConnectControl(kind, 5000) != ClientError::None) continue;
        uint32_t reply = 0;
        if (rng() % 4) c.Challenge();
        if (rng() % 5 && c.ConnectData(3000) == ClientError::None) {
            if (rng() % 2) c.Command(kCmdSelectChannel, kTuneValue[kind == TunerKind::Satellite] + (rng() % 3) * 6000 * (kind == TunerKind::Terrestrial), &reply, 3000);
            const int reads = static_cast<int>(rng() % 3);
            for (int r = 0; r < reads; ++r) {
                DWORD got = 0;
                if (c.ReadData(buffer.data(), kDataMessageSize, got, 3000) != ClientError::None) break;
                ++served_;
            }
            // Close the pipes in a random order, maybe with a read still pending.
            switch (rng() % 3) {
            case 0: c.CloseData(); break;
            case 1: c.CloseControl(); break;
            default: break;
            }
        }
        Sleep(rng() % 40);
        if (++ended_ % 20 == 0) std::fprintf(stderr, "soak: %d connections\n", ended_.load());
    }
}

// Random lengths, bytes and command/argument splits.
void CSoak::Messages(TunerKind kind, unsigned seed)
{
    std::mt19937 rng(seed);
    CTunerClient c;
    for (int i = 0; i < p_.messages; ++i) {
        if (!c.HasControl() && c.ConnectControl(kind, 5000) != ClientError::None) continue;
        uint8_t bytes[16];
        DWORD size = 0;
        switch (rng() % 4) {
        case 0: size = 1; bytes[0] = static_cast<uint8_t>(rng() % 7); break;            // a command, maybe unknown
        case 1: size = 5; bytes[0] = static_cast<uint8_t>(rng() % 7); break;            // command and argument together
        case 2: size = static_cast<DWORD>(rng() % 17); bytes[0] = static_cast<uint8_t>(rng()); break;  // anything
        default: size = 1 + static_cast<DWORD>(rng() % 4); bytes[0] = 2; break;         // a short argument follows
        }
        for (DWORD b = 1; b < size; ++b) bytes[b] = static_cast<uint8_t>(rng());
        if (bytes[0] == kCmdWaitForData && rng() % 8) bytes[0] = kCmdKeepAlive;  // each 3 costs up to a second
        if (c.SendRaw(bytes, size) != ClientError::None) {
            c.CloseControl();
            continue;
        }
        uint32_t reply = 0;
        const ClientError e = c.ReadReply(reply, 300);
        if (i % 100 == 0) std::fprintf(stderr, "soak: %s message %d\n", KindName(kind), i);
        if (e == ClientError::Closed || e == ClientError::TunerFailed || e == ClientError::Io || rng() % 50 == 0)
            c.CloseControl();
    }
}

void CSoak::StallAndSlow()
{
    std::vector<uint8_t> buffer(kDataMessageSize);
    CTunerClient stalled, slow;
    uint32_t reply = 0;
    DWORD got = 0;
    if (stalled.ConnectControl(TunerKind::Terrestrial) != ClientError::None || stalled.ConnectData() != ClientError::None ||
        slow.ConnectControl(TunerKind::Satellite) != ClientError::None || slow.ConnectData() != ClientError::None) {
        std::printf("   stall phase: a client could not connect\n");
        ++failures_;
        return;
    }
    stalled.Command(kCmdSelectChannel, kTuneValue[0], &reply);
    slow.Command(kCmdSelectChannel, kTuneValue[1], &reply);
    stalled.ReadData(buffer.data(), kDataMessageSize, got, 5000);
    const double start = Now();
    int slowReads = 0;
    while (Now() - start < std::max(p_.stallSeconds, p_.slowSeconds)) {
        if (Now() - start < p_.slowSeconds) {
            if (slow.ReadData(buffer.data(), kDataMessageSize, got, 5000) != ClientError::None) break;
            ++slowReads;
        }
        Sleep(1000);
    }
    // The stalled client resumes: it gets whole messages of the stream again.
    int resumed = 0;
    uint64_t lastSequence = 0;
    bool ordered = true;
    for (int i = 0; i < 20; ++i) {
        if (stalled.ReadData(buffer.data(), kDataMessageSize, got, 5000) != ClientError::None || got != kDataMessageSize) break;
        for (size_t at = 0; at < got; at += kTsPacketSize) {
            SimPayload pl;
            if (!ParseSimPayload(buffer.data() + at, pl)) continue;
            if (lastSequence && pl.sequence <= lastSequence) ordered = false;
            lastSequence = pl.sequence;
        }
        ++resumed;
    }
    std::printf("   stalled %d s then read %d whole messages (%s); slow client read %d messages at one a second\n",
                p_.stallSeconds, resumed, ordered ? "in order" : "OUT OF ORDER", slowReads);
    if (resumed < 20 || !ordered || slowReads < p_.slowSeconds - 1) ++failures_;
}

// Faults of the plug-in and the descrambler mid-stream, one connection each.
void CSoak::Faults()
{
    struct Fault {
        const char* what;
        std::string sim, b25;
        bool expectData;
    };
    const Fault faults[] = {
        // 8 s: back just as the stop bounds (3 + 3 + 2 s) run out, while
        // TunerHost decides to terminate the thread; 20 s: far past them.
        {"FetchBlock back at the stop bound", "FetchHangMs=8000\r\n", "", false},
        {"FetchBlock stalls past the stop bounds", "FetchHangMs=20000\r\n", "", false},
        {"odd block sizes", "FetchMode=1\r\n", "", true},
        {"Tune fails", "TuneFails=1\r\n", "", false},
        {"FetchBlock never delivers", "FetchMode=2\r\n", "", false},
        {"descrambler fails mid-stream", "", "FailAfter=300\r\n", true},  // after the 4 messages read
        {"descrambler start-up fails", "", "StartupFails=1\r\n", true},
    };
    std::vector<uint8_t> buffer(kDataMessageSize);
    for (const Fault& f : faults) {
        host_.SetSim(TunerKind::Terrestrial, f.sim);
        if (!f.b25.empty()) host_.SetDescrambler(f.b25);
        CTunerClient c;
        uint32_t reply = 0;
        DWORD got = 0;
        int messages = 0;
        ClientError e = c.ConnectControl(TunerKind::Terrestrial, 5000);
        if (e == ClientError::None) e = c.ConnectData();
        if (e == ClientError::None) {
            c.Command(kCmdSelectChannel, kTuneValue[0], &reply, 5000);
            for (int i = 0; i < 4; ++i) {
                e = c.ReadData(buffer.data(), kDataMessageSize, got, 2500);
                if (e != ClientError::None) break;
                ++messages;
            }
        }
        c.CloseData();
        c.CloseControl();
        // A fault that stops the stream is expected to cost the client its
        // data; TunerHost itself must come through it (checked after the phase).
        const bool expected = f.expectData ? messages > 0 : messages == 0;
        std::printf("   fault: %-40s %d messages (%s), %s\n", f.what, messages,
                    e == ClientError::None ? "read on" : Describe(e), expected ? "as expected" : "UNEXPECTED");
        if (!expected) ++failures_;
        if (!f.b25.empty()) {
            // Gone before the next phase: the descrambler is released at the tuner's close.
            Sleep(500);
            DeleteFileW((host_.Dir() + L"b25decoder.dll").c_str());
        }
        // A hung plug-in is cut off at the stop bounds; let that pass.
        Sleep(f.sim.find("Hang") != std::string::npos ? 6000 : 300);
    }
    host_.SetSim(TunerKind::Terrestrial, simT_);
}

int CSoak::Run()
{
    std::printf("soak: profile %s, seed %u\n", p_.name, seed_);
    if (!host_.SetSim(TunerKind::Terrestrial, simT_) || !host_.SetSim(TunerKind::Satellite, "") || !host_.Start()) {
        std::fprintf(stderr, "soak: TunerHost did not start\n");
        return 1;
    }
    // Warm-up: each kind served a few times, so that lazily made things exist.
    for (int i = 0; i < 3; ++i)
        for (TunerKind kind : kKinds) {
            double ms = 0;
            Served(kind, ms);
        }
    Sleep(1000);
    base_ = Take();
    baseLoads_ = Loads();
    std::printf("\n| %-30s | %-12s | %-10s | %-21s | %-7s | %-6s | %-7s | %-8s | %-4s |\n", "after phase", "handles",
                "threads", "private MB (growth)", "allowed", "opens", "new ms", "counters", "");
    std::printf("|%s|%s|%s|%s|%s|%s|%s|%s|%s|\n", std::string(32, '-').c_str(), std::string(14, '-').c_str(),
                std::string(12, '-').c_str(), std::string(23, '-').c_str(), std::string(9, '-').c_str(),
                std::string(8, '-').c_str(), std::string(9, '-').c_str(), std::string(10, '-').c_str(),
                std::string(6, '-').c_str());
    Report("warm-up (the baseline)", base_, 0, true, true);

    // Each letter runs a phase, in order, as often as it is given.
    char phase[64];
    for (wchar_t letter : phases_) {
        const double t0 = Now();
        if (letter == L'c') {
            ended_ = 0;
            served_ = 0;
            BothKinds(&CSoak::Connections);
            std::snprintf(phase, sizeof phase, "%d connections per kind", p_.connections);
            Check(phase);
            std::printf("   (%d connections in %.0f s, %d data messages read)\n", ended_.load(), Now() - t0, served_.load());
        } else if (letter == L'm') {
            BothKinds(&CSoak::Messages);
            std::snprintf(phase, sizeof phase, "%d random messages per kind", p_.messages);
            Check(phase);
            std::printf("   (%.0f s)\n", Now() - t0);
        } else if (letter == L'd' || letter == L't') {
            // Diagnosis: orderly connections that read five messages ('d'), or
            // tune and let the stream run for a second without a data client ('t').
            std::vector<uint8_t> buffer(kDataMessageSize);
            for (int i = 0; i < p_.connections; ++i) {
                CTunerClient c;
                uint32_t reply = 0;
                DWORD got = 0;
                if (c.ConnectControl(TunerKind::Terrestrial) != ClientError::None) continue;
                if (letter == L'd' && c.ConnectData() != ClientError::None) continue;
                c.Command(kCmdSelectChannel, kTuneValue[0], &reply);
                if (letter == L'd')
                    for (int m = 0; m < 5; ++m) c.ReadData(buffer.data(), kDataMessageSize, got, 5000);
                else
                    Sleep(1000);
                c.CloseData();
                c.CloseControl();
                Sleep(200);
            }
            std::snprintf(phase, sizeof phase, "%d %s connections", p_.connections, letter == L'd' ? "reading" : "tuned");
            Check(phase);
        } else if (letter == L's') {
            StallAndSlow();
            Check("stalled and slow clients");
        } else if (letter == L'f') {
            Faults();
            Check("plug-in and descrambler faults");
        }
    }

    host_.Stop();
    if (memoryOver_)
        std::printf("\nsoak: private bytes grew past 1 %% of the baseline and the allowance (the platform's %.1f kB per "
                    "tuner open, the heap's high-water mark, what cut-off plug-ins leave)\n", kbPerOpen_);
    std::printf("\nsoak: %s\n", failures_ ? "FAILED" : "every check held");
    return failures_ ? 1 : 0;
}

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

}  // namespace

int wmain(int argc, wchar_t** argv)
{
    Profile p = kShort;
    unsigned seed = 20261207;
    std::wstring phases = L"cmsf";
    std::string simT;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--short") == 0) p = kShort;
        else if (std::wcscmp(argv[i], L"--long") == 0) p = kLong;
        else if (std::wcscmp(argv[i], L"--seed") == 0 && i + 1 < argc) seed = static_cast<unsigned>(_wtoi(argv[++i]));
        else if (std::wcscmp(argv[i], L"--phases") == 0 && i + 1 < argc) phases = argv[++i];
        else if (std::wcscmp(argv[i], L"--messages") == 0 && i + 1 < argc) p.messages = _wtoi(argv[++i]);
        else if (std::wcscmp(argv[i], L"--connections") == 0 && i + 1 < argc) p.connections = _wtoi(argv[++i]);
        else if (std::wcscmp(argv[i], L"--stall") == 0 && i + 1 < argc) p.stallSeconds = _wtoi(argv[++i]);
        else if (std::wcscmp(argv[i], L"--slow") == 0 && i + 1 < argc) p.slowSeconds = _wtoi(argv[++i]);
        else if (std::wcscmp(argv[i], L"--rate") == 0 && i + 1 < argc) simT = "RateKBps=" + std::to_string(_wtoi(argv[++i])) + "\r\n";
        else if (std::wcscmp(argv[i], L"--pipes") == 0 && i + 1 < argc) return PipeBaseline(_wtoi(argv[++i]));
        else if (std::wcscmp(argv[i], L"--loader") == 0 && i + 1 < argc) return LoaderBaseline(_wtoi(argv[++i]));
        else {
            std::fprintf(stderr, "usage: soak [--short|--long] [--seed N] [--phases cmsfdt] [--connections N] [--messages N]\n"
                                 "            [--stall SECONDS] [--slow SECONDS] [--rate KBPS]\n"
                                 "       soak --loader CYCLES | --pipes CYCLES\n");
            return 2;
        }
    }
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    const double kbPerOpen = MeasurePlatformBaseline();
    CSoak soak(p, seed, phases, kbPerOpen);
    soak.simT_ = simT;
    return soak.Run();
}
