// The soak and fault campaign's run: TunerHost started in a folder of its own,
// phases of clients against it, and after each phase the checks.
#pragma once
#include "CHostProcess.h"
#include "TunerClient.h"

#include <windows.h>

#include <algorithm>
#include <atomic>
#include <string>
#include <thread>

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

inline const char* KindName(TunerKind k) { return k == TunerKind::Terrestrial ? "T" : "S"; }

inline double Now()
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
        DWORD children = 0;  // processes TunerHost started (plug-in hosts) that still run
    };
    Sample Take() const { return {host_.Handles(), host_.Threads(), host_.PrivateMB(), host_.Children()}; }
    bool Within(const Sample& s) const;
    bool MemoryWithin(const Sample& s) const { return s.privateMB <= base_.privateMB * 1.01 + Allowance(); }
    int Loads() const { return Count("load"); }
    // What may explain a plug-in that never came back, its host ended: its
    // hangs, faults and misbehaviours.
    int Troubles(TunerKind kind) const
    {
        return host_.Count(kind, "hang") + host_.Count(kind, "fault") + host_.Count(kind, "misbehave");
    }
    // Whether a kind's plug-in log balances: an object never closed was never
    // destroyed, its DLL never unloaded (each ended host's once: one ended
    // between those steps leaves fewer of them), and every such host follows
    // a trouble. One that came back out of its hang in time was closed as usual.
    bool Balanced(TunerKind kind) const
    {
        const int cut = host_.Count(kind, "open") - host_.Count(kind, "close"),
                  undestroyed = host_.Count(kind, "create") - host_.Count(kind, "destroy"),
                  unloaded = host_.Count(kind, "load") - host_.Count(kind, "unload");
        return 0 <= cut && cut <= undestroyed && undestroyed <= unloaded && unloaded <= Troubles(kind);
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
