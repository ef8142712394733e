// The counter build's count of TunerHost's calls into the system on the
// stream path, per block and per chunk: one kind at 2.5 MB/s with a client.
#include "BenchRuns.h"

#include "CHostProcess.h"
#include "CReader.h"

#include <cstdio>
#include <string>

bool PrintCallCounts(double seconds)
{
    CHostProcess host;
    CReader r;
    if (!host.SetSim(TunerKind::Terrestrial, "RateKBps=2500\r\n") || !host.Start() || !r.Open(TunerKind::Terrestrial))
        return false;
    const double start = Now();
    while (Now() - start < seconds)
        if (!r.Read()) return false;
    r.quiet = true;
    r.client.CloseData();
    r.client.CloseControl();
    host.Exit();  // the counts are written as TunerHost ends
    FILE* in = _wfopen((host.Dir() + L"TunerHost.counts").c_str(), L"r");
    if (!in) {
        std::fprintf(stderr, "bench: no TunerHost.counts: TunerHost.exe here is not the counter build "
                             "(scripts/bench.sh --counts makes one)\n");
        return false;
    }
    long long blocks = 0, chunks = 0;
    if (std::fscanf(in, "blocks %lld chunks %lld", &blocks, &chunks) != 2 || blocks <= 0 || chunks <= 0) {
        std::fclose(in);
        std::fprintf(stderr, "bench: TunerHost.counts holds no blocks\n");
        return false;
    }
    std::printf("%.0f s at 2.5 MB/s, one kind: %lld blocks of the plug-in, %lld chunks to the data pipe\n\n", seconds,
                blocks, chunks);
    // Columns: wait, poll, sig, io, sleep.
    constexpr int kColumns = 5;
    std::printf("| %-10s | %-34s | %-34s |\n", "thread", "per block: wait poll sig io sleep",
                "per chunk: wait poll sig io sleep");
    std::printf("|%s|%s|%s|\n", std::string(12, '-').c_str(), std::string(36, '-').c_str(), std::string(36, '-').c_str());
    auto per = [](const double* n, long long units, char* out, size_t size) {
        const double u = units ? double(units) : 1;
        std::snprintf(out, size, "%6.2f %6.2f %6.2f %5.2f %6.2f", n[0] / u, n[1] / u, n[2] / u, n[3] / u, n[4] / u);
    };
    double total[kColumns] = {};
    char role[32];
    long long n[kColumns];
    while (std::fscanf(in, "%31s %lld %lld %lld %lld %lld", role, &n[0], &n[1], &n[2], &n[3], &n[4]) == kColumns + 1) {
        double d[kColumns];
        bool any = false;
        for (int i = 0; i < kColumns; ++i) {
            d[i] = double(n[i]);
            total[i] += d[i];
            any = any || n[i];
        }
        if (!any) continue;
        char b[64], c[64];
        per(d, blocks, b, sizeof b);
        per(d, chunks, c, sizeof c);
        std::printf("| %-10s | %-34s | %-34s |\n", role, b, c);
    }
    std::fclose(in);
    char b[64], c[64];
    per(total, blocks, b, sizeof b);
    per(total, chunks, c, sizeof c);
    std::printf("| %-10s | %-34s | %-34s |\n", "all", b, c);
    std::printf("\nwait: a wait that may block; poll: a wait with no time-out; sig: an event set or reset; io: a pipe "
                "read, write or result fetch. Each is a round trip to the Wine server. sleep: a pause of the reception "
                "thread (Sleep), a system call on Windows but none to the Wine server.\n");
    return true;
}
