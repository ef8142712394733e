// bench: TunerHost measured against the named pipe's own ceiling, in one run.
//   bench [--quick] [--runs N] [--versus FOLDER | --client-plugin]
//   bench --counts      (with the counter build's TunerHost.exe beside it)
// --versus: the TunerHost.exe of another build (a Windows or a Linux path) is
// measured too, run by run beside this one's, with the same plug-ins and
// clients: its cost, its loss-free rate and its clients' open.
// --client-plugin: only the client plug-in's figures, beside tsrec's.
// Prints a table; every figure is the median of N runs (default 5, --quick 1)
// with its spread. Needs TunerHost.exe, BonDriver_Sim.dll, b25decoder.dll,
// tsrec.exe and the client plug-in BonDriver_TunerHost_T.dll beside itself. Exit codes: 0 done, 1 a measurement could not be made, 2 usage.
#include "BenchCommon.h"
#include "BenchRuns.h"

#include "TunerClient.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && std::wcscmp(argv[1], L"--pipe-writer") == 0) return PipeWriter(argv[2], _wtoi(argv[3]));
    if (argc == 2 && std::wcscmp(argv[1], L"--counts") == 0) return PrintCallCounts(10) ? 0 : 1;
    bool quick = false, pluginOnly = false;
    int runs = 5;
    std::wstring versus;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--quick") == 0) {
            quick = true;
            runs = 1;
        } else if (std::wcscmp(argv[i], L"--client-plugin") == 0) {
            pluginOnly = true;
        } else if (std::wcscmp(argv[i], L"--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, _wtoi(argv[++i]));
        } else if (std::wcscmp(argv[i], L"--versus") == 0 && i + 1 < argc) {
            versus = argv[++i];
            if (versus[0] == L'/') versus = L"Z:" + versus;
            std::replace(versus.begin(), versus.end(), L'/', L'\\');
            if (versus.back() != L'\\') versus += L'\\';
        } else {
            std::fprintf(stderr, "usage: bench [--quick] [--runs N] [--versus FOLDER | --client-plugin]\n"
                                 "       bench --counts\n");
            return 2;
        }
    }
    const int messages = quick ? 300 : 1000;
    const double relaySeconds = quick ? 2 : 5, costSeconds = quick ? 3 : 20;
    const int tunes = quick ? 4 : 10;
    const int lossFreeSteps = quick ? 3 : 7;
    const double lossFreeSeconds = quick ? 1.5 : 4;
    // The figures that need each other are measured side by side, run by run.
    Figure ceiling, lossFree, lossFreeRatio, relay, relayCpu, relayB25, ratio, ratioB25;
    Figure cpu, serverCpu, hostAndServer, perMBps, clientCpu, wsGrowth, pvGrowth, pvMax, latMedian, latWorst, tune;
    Figure open, openAtOnce, otherCost, costRatio, otherLossFreeRatio, otherOpen, otherOpenAtOnce;
    CPluginFigures plugin;
    const double pluginSeconds = quick ? 3 : 10;
    // The whole cost: TunerHost, its plug-in hosts, and the Wine server.
    auto whole = [](const CostRun& r) { return r.cpuPercent + std::max(0.0, r.serverCpuPercent); };
    // The median of a client's opens, `pauseMs` apart; 0 when they failed.
    auto opens = [&](DWORD pauseMs, const std::wstring& program) {
        std::vector<double> t;
        return ConnectTimes(quick ? 4 : 10, pauseMs, t, program) ? Percentile(t, 0.5) : 0.0;
    };
    if (pluginOnly) return plugin.MeasureAlone(runs, pluginSeconds, tunes) ? 0 : 1;
    for (int run = 0; run < runs; ++run) {
        std::fprintf(stderr, "bench: run %d of %d\n", run + 1, runs);
        const double c = Ceiling(messages);
        const double lf = c > 0 ? LossFreeRate(c, lossFreeSteps, lossFreeSeconds) : 0;
        if (!versus.empty() && c > 0) otherLossFreeRatio.Add(LossFreeRate(c, lossFreeSteps, lossFreeSeconds, versus) / c);
        double hostCpu = 0;
        const double r = Relay(false, relaySeconds, &hostCpu);
        relayCpu.Add(hostCpu);
        const double rb = Relay(true, relaySeconds);
        if (c <= 0 || lf <= 0 || r <= 0 || rb <= 0) {
            std::fprintf(stderr, "bench: a throughput measurement failed (ceiling %.1f, loss-free %.1f, relay %.1f, "
                                 "with descrambler %.1f)\n", c, lf, r, rb);
            return 1;
        }
        ceiling.Add(c);
        lossFree.Add(lf);
        lossFreeRatio.Add(lf / c);
        relay.Add(r);
        relayB25.Add(rb);
        ratio.Add(r / c);
        ratioB25.Add(rb / c);
        // Side by side, each build first in every other run: what the machine
        // does meanwhile falls on both alike.
        CostRun other;
        if (!versus.empty() && run % 2) other = Cost(costSeconds, versus);
        const CostRun cost = Cost(costSeconds);
        if (!versus.empty() && run % 2 == 0) other = Cost(costSeconds, versus);
        if (!cost.ok || (!versus.empty() && !other.ok)) {
            std::fprintf(stderr, "bench: the broadcast-rate run failed\n");
            return 1;
        }
        if (!versus.empty()) {
            otherCost.Add(whole(other));
            costRatio.Add(whole(other) > 0 ? whole(cost) / whole(other) : 0);
            otherOpen.Add(opens(500, versus));
            otherOpenAtOnce.Add(opens(0, versus));
        }
        open.Add(opens(500, {}));
        openAtOnce.Add(opens(0, {}));
        cpu.Add(cost.cpuPercent);
        serverCpu.Add(cost.serverCpuPercent);
        hostAndServer.Add(cost.cpuPercent + std::max(0.0, cost.serverCpuPercent));
        perMBps.Add((cost.cpuPercent + std::max(0.0, cost.serverCpuPercent)) / 7.5);
        clientCpu.Add(cost.clientCpuPercent);
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
        if (!plugin.Measure(pluginSeconds, tunes, run % 2 == 1)) return 1;
    }
    std::printf("%d run(s); median, and min .. max over the runs\n\n", runs);
    TableHead();
    Row("ceiling: plain pipe pair, 586,560-byte msgs", ceiling, "MB/s");
    Row("loss-free rate: every packet, kept up", lossFree, "MB/s");
    Row("loss-free / ceiling (target >= 0.8)", lossFreeRatio, "ratio", 2);
    Row("relay: TunerHost, plug-in unpaced", relay, "MB/s");
    Row("relay / ceiling", ratio, "ratio", 2);
    Row("TunerHost's CPU during the relay run", relayCpu, "% core");
    Row("relay with the stand-in descrambler", relayB25, "MB/s");
    Row("relay with descrambler / ceiling", ratioB25, "ratio", 2);
    Row("2.5 + 5 MB/s both kinds: TunerHost's CPU", cpu, "% core", 2);
    Row("  the Wine server's CPU meanwhile", serverCpu, "% core", 2);
    Row("  TunerHost + server (target < 2)", hostAndServer, "% core", 2);
    Row("  TunerHost + server per MB/s of stream", perMBps, "% core", 3);
    Row("  the two clients' CPU, for scale", clientCpu, "% core", 2);
    Row("private bytes during that run, max", pvMax, "MB");
    Row("private bytes growth over the run", pvGrowth, "MB", 2);
    Row("working set growth over the run", wsGrowth, "MB", 2);
    Row("latency beyond fill, median (target < 20)", latMedian, "ms", 2);
    Row("latency beyond fill, worst", latWorst, "ms", 2);
    Row("tune: command 2 to first new-channel msg", tune, "ms");
    Row("open: connect to the tuner open, 0.5 s apart", open, "ms");
    Row("  the next client at once", openAtOnce, "ms");
    plugin.PrintRows();
    if (!versus.empty()) {
        std::printf("\nThe other build (%ls), run by run beside this one:\n\n", versus.c_str());
        TableHead();
        Row("2.5 + 5 MB/s: TunerHost + hosts + server", otherCost, "% core", 2);
        Row("this build's whole cost / the other's (<= 1.15)", costRatio, "ratio", 2);
        Row("loss-free / ceiling", otherLossFreeRatio, "ratio", 2);
        Row("open: connect to the tuner open, 0.5 s apart", otherOpen, "ms");
        Row("  the next client at once", otherOpenAtOnce, "ms");
    }
    std::printf("\nThe tune times include filling the first message of the new channel: %.0f ms at 2.5 MB/s, "
                "%.0f ms at 5 MB/s (the client plug-in's).\n",
                kDataMessageSize / 2.5e6 * 1000, kDataMessageSize / 5e6 * 1000);
    return 0;
}
