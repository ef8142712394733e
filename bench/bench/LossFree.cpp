// The highest paced rate at which a client receives every packet: what a user
// can rely on, where the unpaced relay only says how fast one block handed out
// again and again goes through.
#include "BenchRuns.h"

#include "CHostProcess.h"
#include "CReader.h"

#include <cstdint>
#include <cstdio>
#include <string>

namespace {

// One rate, in kB/s: the client reads for `seconds` after a second of
// warm-up; it holds when no packet is missing and the client kept up.
bool Holds(int rateKBps, double seconds, const std::wstring& program)
{
    CHostProcess host;
    if (!program.empty()) host.UseProgramFrom(program);
    CReader r;
    if (!host.SetSim(TunerKind::Terrestrial, "RateKBps=" + std::to_string(rateKBps) + "\r\n") || !host.Start() ||
        !r.Open(TunerKind::Terrestrial))
        return false;
    uint64_t next = UINT64_MAX, lost = 0;
    const double warm = Now();
    while (Now() - warm < 1.0) {
        if (!r.Read()) return false;
        r.Lost(next);
    }
    const double start = Now();
    uint64_t bytes = 0;
    while (Now() - start < seconds) {
        if (!r.Read()) return false;
        bytes += kDataMessageSize;
        lost += r.Lost(next);
    }
    const double received = double(bytes) / (Now() - start) / 1000;  // kB/s
    const bool holds = lost == 0 && received >= 0.97 * rateKBps;
    std::fprintf(stderr, "bench: paced at %.1f MB/s: received %.1f MB/s, %llu packets lost: %s\n", rateKBps / 1000.0,
                 received / 1000, static_cast<unsigned long long>(lost), holds ? "holds" : "fails");
    return holds;
}

}  // namespace

double LossFreeRate(double upToMBps, int steps, double seconds, const std::wstring& program)
{
    int good = 0, bad = static_cast<int>(upToMBps * 1000);
    const int lowest = 5000;
    if (!Holds(lowest, seconds, program)) return 0;
    good = lowest;
    for (int i = 0; i < steps && bad - good > 1000; ++i) {
        const int mid = good + (bad - good) / 2;
        if (Holds(mid, seconds, program)) good = mid;
        else bad = mid;
    }
    return good / 1000.0;
}
