// bench: TunerHost measured against the named pipe's own ceiling, in one run.
//   bench [--quick] [--runs N]
//   bench --counts      (with the counter build's TunerHost.exe beside it)
// Prints a table; every figure is the median of N runs (default 5, --quick 1)
// with its spread. Needs TunerHost.exe, BonDriver_Sim.dll and b25decoder.dll
// beside itself. Exit codes: 0 done, 1 a measurement could not be made, 2 usage.
#include "BenchCommon.h"
#include "BenchRuns.h"

#include "TunerClient.h"

#include <cstdio>
#include <cstring>
#include <string>

int wmain(int argc, wchar_t** argv)
{
    if (argc == 4 && std::wcscmp(argv[1], L"--pipe-writer") == 0) return PipeWriter(argv[2], _wtoi(argv[3]));
    if (argc == 2 && std::wcscmp(argv[1], L"--counts") == 0) return PrintCallCounts(10) ? 0 : 1;
    bool quick = false;
    int runs = 5;
    for (int i = 1; i < argc; ++i) {
        if (std::wcscmp(argv[i], L"--quick") == 0) {
            quick = true;
            runs = 1;
        } else if (std::wcscmp(argv[i], L"--runs") == 0 && i + 1 < argc) {
            runs = std::max(1, _wtoi(argv[++i]));
        } else {
            std::fprintf(stderr, "usage: bench [--quick] [--runs N]\n       bench --counts\n");
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
    for (int run = 0; run < runs; ++run) {
        std::fprintf(stderr, "bench: run %d of %d\n", run + 1, runs);
        const double c = Ceiling(messages);
        const double lf = c > 0 ? LossFreeRate(c, lossFreeSteps, lossFreeSeconds) : 0;
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
        const CostRun cost = Cost(costSeconds);
        if (!cost.ok) {
            std::fprintf(stderr, "bench: the broadcast-rate run failed\n");
            return 1;
        }
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
    }
    std::printf("%d run(s); median, and min .. max over the runs\n\n", runs);
    std::printf("| %-44s | %10s | %-24s | %-8s |\n", "figure", "median", "spread", "unit");
    std::printf("|%s|%s|%s|%s|\n", std::string(46, '-').c_str(), std::string(12, '-').c_str(),
                std::string(26, '-').c_str(), std::string(10, '-').c_str());
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
    std::printf("\nThe tune time includes filling the first message of the new channel: %.0f ms at 2.5 MB/s.\n",
                kDataMessageSize / 2.5e6 * 1000);
    return 0;
}
