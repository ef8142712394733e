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
    std::printf("| %-10s | %-27s | %-27s |\n", "thread", "per block: wait poll sig io", "per chunk: wait poll sig io");
    std::printf("|%s|%s|%s|\n", std::string(12, '-').c_str(), std::string(29, '-').c_str(), std::string(29, '-').c_str());
    double total[4] = {};
    char role[32];
    long long n[4];
    while (std::fscanf(in, "%31s %lld %lld %lld %lld", role, &n[0], &n[1], &n[2], &n[3]) == 5) {
        if (!n[0] && !n[1] && !n[2] && !n[3]) continue;
        auto per = [&](long long units, char* out, size_t size) {
            std::snprintf(out, size, "%6.2f %6.2f %6.2f %5.2f", units ? double(n[0]) / units : 0,
                          units ? double(n[1]) / units : 0, units ? double(n[2]) / units : 0,
                          units ? double(n[3]) / units : 0);
        };
        char b[64], c[64];
        per(blocks, b, sizeof b);
        per(chunks, c, sizeof c);
        std::printf("| %-10s | %-27s | %-27s |\n", role, b, c);
        for (int i = 0; i < 4; ++i) total[i] += double(n[i]);
    }
    std::fclose(in);
    std::printf("| %-10s | %6.2f %6.2f %6.2f %5.2f | %6.2f %6.2f %6.2f %5.2f |\n", "all", total[0] / blocks,
                total[1] / blocks, total[2] / blocks, total[3] / blocks, total[0] / chunks, total[1] / chunks,
                total[2] / chunks, total[3] / chunks);
    std::printf("\nwait: a wait that may block; poll: a wait with no time-out; sig: an event set or reset; io: a pipe "
                "read, write or result fetch. Each is a round trip to the Wine server.\n");
    return true;
}
