#include "CSoak.h"

#include "SimStream.h"

#include <algorithm>
#include <cstdio>
#include <random>
#include <vector>

bool CSoak::Within(const Sample& s) const
{
    auto close = [](double v, double b) { return v <= b * 1.01 + 0.5; };  // 1 %, and half a unit for small counts
    return close(s.handles, base_.handles) && close(s.threads, base_.threads) && MemoryWithin(s) &&
           s.children <= base_.children;
}

constexpr double kHeapHighWaterMB = 2.0;
constexpr double kPerCutOffMB = 2.0;

int CSoak::CutOff() const
{
    // Plug-in objects never closed, and descrambler instances never released.
    return Count("open") - Count("close") + host_.CountDescrambler("create") - host_.CountDescrambler("release");
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
    const char* step = "connect";
    ClientError e = c.ConnectControl(kind, 2000);
    if (e == ClientError::None) step = "challenge", e = c.Challenge();
    if (e == ClientError::None) step = "data pipe", e = c.ConnectData(2000);
    if (e == ClientError::None)
        step = "tune", e = c.Command(kCmdSelectChannel, kTuneValue[kind == TunerKind::Satellite], &reply, 2000);
    if (e == ClientError::None) step = "first message", e = c.ReadData(buffer.data(), kDataMessageSize, got, 2000);
    ms = (Now() - start) * 1000;
    if (e != ClientError::None) std::printf("   %s client not served: %s: %s\n", KindName(kind), step, Describe(e));
    return e == ClientError::None && got == kDataMessageSize && ms <= 2000;
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
    for (int i = 0; i < 50 && !(Balanced(TunerKind::Terrestrial) && Balanced(TunerKind::Satellite)); ++i) Sleep(100);
    bool balanced = true;
    int troubles = 0;
    for (TunerKind kind : kKinds) {
        const int opens = host_.Count(kind, "open"), closes = host_.Count(kind, "close"),
                  creates = host_.Count(kind, "create"), destroys = host_.Count(kind, "destroy"),
                  loads = host_.Count(kind, "load"), unloads = host_.Count(kind, "unload"), hangs = Troubles(kind);
        troubles += hangs;
        const bool ok = Balanced(kind);
        balanced = balanced && ok;
        if (!ok)
            std::printf("   %s plug-in: load %d unload %d create %d destroy %d open %d close %d hang/fault %d\n",
                        KindName(kind), loads, unloads, creates, destroys, opens, closes, hangs);
    }
    // A descrambler instance in a host that was ended (its Decode did not come
    // back, or the plug-in beside it did not) is never released, and its DLL
    // never unloaded.
    const int dl = host_.CountDescrambler("load"), du = host_.CountDescrambler("unload"),
              dc = host_.CountDescrambler("create"), dr = host_.CountDescrambler("release"),
              dh = host_.CountDescrambler("hang") + host_.CountDescrambler("fault") + troubles;
    const int abandoned = dc - dr;
    if (abandoned < 0 || abandoned > dl - du || dl - du > dh) {
        balanced = false;
        std::printf("   descrambler: load %d unload %d create %d release %d\n", dl, du, dc, dr);
    }
    if (s.children > base_.children)
        std::printf("   %lu processes started by TunerHost still run (%lu after warm-up)\n", s.children, base_.children);
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
