// The counter build's count of TunerHost's calls into the system on the
// stream path, per block and per chunk: one kind at 2.5 MB/s with a client.
#include "BenchRuns.h"

#include "CHostProcess.h"
#include "CReader.h"

#include <cstdio>
#include <string>
#include <vector>

namespace {

struct CCountRow {
    std::string role;
    double n[5];
};

// One process's counts: its blocks and chunks, and a row per thread role.
bool ReadCounts(const std::wstring& path, const char* process, long long& blocks, long long& chunks,
                std::vector<CCountRow>& rows)
{
    FILE* in = _wfopen(path.c_str(), L"r");
    if (!in) return false;
    long long b = 0, c = 0;
    if (std::fscanf(in, "blocks %lld chunks %lld", &b, &c) != 2) {
        std::fclose(in);
        return false;
    }
    blocks += b;
    chunks += c;
    char role[32];
    long long n[5];
    while (std::fscanf(in, "%31s %lld %lld %lld %lld %lld", role, &n[0], &n[1], &n[2], &n[3], &n[4]) == 6) {
        CCountRow row{std::string(process) + " " + role, {}};
        bool any = false;
        for (int i = 0; i < 5; ++i) {
            row.n[i] = double(n[i]);
            any = any || n[i];
        }
        if (any) rows.push_back(row);
    }
    std::fclose(in);
    return true;
}

}  // namespace

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
    host.Exit();  // the counts are written as TunerHost and its plug-in host end
    long long blocks = 0, chunks = 0;
    std::vector<CCountRow> rows;
    if (!ReadCounts(host.Dir() + L"TunerHost.counts", "TunerHost", blocks, chunks, rows)) {
        std::fprintf(stderr, "bench: no TunerHost.counts: TunerHost.exe here is not the counter build "
                             "(scripts/bench.sh --counts makes one)\n");
        return false;
    }
    // The plug-in's side: the reception thread and the stream ring's writes.
    const wchar_t* plugHost = sizeof(void*) == 8 ? L"PlugHost64.counts" : L"PlugHost32.counts";
    if (!ReadCounts(host.Dir() + plugHost, "PlugHost", blocks, chunks, rows)) {
        std::fprintf(stderr, "bench: no plug-in host counts (%ls)\n", plugHost);
        return false;
    }
    if (blocks <= 0 || chunks <= 0) {
        std::fprintf(stderr, "bench: the counts hold no blocks or no chunks\n");
        return false;
    }
    std::printf("%.0f s at 2.5 MB/s, one kind: %lld blocks of the plug-in, %lld chunks to the data pipe\n\n", seconds,
                blocks, chunks);
    // Columns: wait, poll, sig, io, sleep.
    constexpr int kColumns = 5;
    std::printf("| %-20s | %-34s | %-34s |\n", "process, thread", "per block: wait poll sig io sleep",
                "per chunk: wait poll sig io sleep");
    std::printf("|%s|%s|%s|\n", std::string(22, '-').c_str(), std::string(36, '-').c_str(), std::string(36, '-').c_str());
    auto per = [](const double* n, long long units, char* out, size_t size) {
        const double u = units ? double(units) : 1;
        std::snprintf(out, size, "%6.2f %6.2f %6.2f %5.2f %6.2f", n[0] / u, n[1] / u, n[2] / u, n[3] / u, n[4] / u);
    };
    double total[kColumns] = {};
    for (const CCountRow& row : rows) {
        for (int i = 0; i < kColumns; ++i) total[i] += row.n[i];
        char b[64], c[64];
        per(row.n, blocks, b, sizeof b);
        per(row.n, chunks, c, sizeof c);
        std::printf("| %-20s | %-34s | %-34s |\n", row.role.c_str(), b, c);
    }
    char b[64], c[64];
    per(total, blocks, b, sizeof b);
    per(total, chunks, c, sizeof c);
    std::printf("| %-20s | %-34s | %-34s |\n", "all", b, c);
    std::printf("\nwait: a wait that may block; poll: a wait with no time-out; sig: an event set or reset; io: a pipe "
                "read, write or result fetch. Each is a round trip to the Wine server. sleep: a pause of the reception "
                "thread (Sleep), a system call on Windows but none to the Wine server.\n");
    return true;
}
