// The runs against TunerHost: the unpaced relay, the cost at broadcast rates
// and the tune time.
#include "BenchRuns.h"

#include "CHostProcess.h"
#include "CReader.h"

#include <algorithm>
#include <atomic>
#include <functional>
#include <thread>

double Relay(bool descrambler, double seconds, double* hostCpuPercent)
{
    CHostProcess host;
    CReader r;
    if (!host.SetSim(TunerKind::Terrestrial, "RateKBps=0\r\n") || (descrambler && !host.SetDescrambler("")) ||
        !host.Start() || !r.Open(TunerKind::Terrestrial))
        return 0;
    for (int i = 0; i < 10; ++i)
        if (!r.Read()) return 0;  // warm-up
    const double cpu0 = host.CpuSeconds();  // first: finding the process in /proc takes a moment
    const double start = Now();
    uint64_t bytes = 0;
    while (Now() - start < seconds) {
        if (!r.Read()) return 0;
        bytes += kDataMessageSize;
    }
    const double elapsed = Now() - start;
    if (hostCpuPercent) *hostCpuPercent = (host.CpuSeconds() - cpu0) / elapsed * 100;
    return double(bytes) / elapsed / 1e6;
}

// Both kinds at broadcast rates, each with a client; the host's own cost.
CostRun Cost(double seconds, const std::wstring& program)
{
    CostRun out;
    CHostProcess host;
    if (!program.empty()) host.UseProgramFrom(program);
    if (!host.SetSim(TunerKind::Terrestrial, "RateKBps=2500\r\nStamp=1\r\n") ||
        !host.SetSim(TunerKind::Satellite, "RateKBps=5000\r\nStamp=1\r\n") || !host.Start())
        return out;
    CReader t, s;
    if (!t.Open(TunerKind::Terrestrial) || !s.Open(TunerKind::Satellite)) {
        std::fprintf(stderr, "bench: the clients could not connect\n");
        return out;
    }
    std::atomic<bool> stop{false}, failed{false};  // failed: a read ended before the run did
    std::vector<double> lt, ls;
    auto reading = [&](CReader& r, std::vector<double>& ages) {
        while (!stop) {
            if (!r.Read()) {
                if (!stop) failed = true;
                return;
            }
            double age = 0;
            if (r.LastPacketAge(age)) ages.push_back(age * 1000);
        }
    };
    std::thread a(reading, std::ref(t), std::ref(lt)), b(reading, std::ref(s), std::ref(ls));
    Sleep(2000);  // warm-up: both streams flowing, queues at their working size
    out.workingSetStart = host.WorkingSetMB();
    out.privateStart = host.PrivateMB();
    out.privateMax = out.privateStart;
    // The Wine server answers every wait and event of TunerHost's: under
    // Wine that is TunerHost's cost too. The client is here for scale.
    const int server = FindWineServerPid(), self = FindUnixPid("bench.exe");
    const double cpu0 = host.CpuSeconds(), server0 = UnixCpuSeconds(server), self0 = UnixCpuSeconds(self);
    const double t0 = Now();
    const size_t skipT = lt.size(), skipS = ls.size();
    while (Now() - t0 < seconds && !failed) {
        Sleep(500);
        out.privateMax = std::max(out.privateMax, host.PrivateMB());
    }
    const double cpu1 = host.CpuSeconds(), server1 = UnixCpuSeconds(server), self1 = UnixCpuSeconds(self), t1 = Now();
    if (server0 >= 0 && server1 >= 0) out.serverCpuPercent = (server1 - server0) / (t1 - t0) * 100;
    if (self0 >= 0 && self1 >= 0) out.clientCpuPercent = (self1 - self0) / (t1 - t0) * 100;
    out.workingSetEnd = host.WorkingSetMB();
    out.privateEnd = host.PrivateMB();
    stop = true;
    t.quiet = s.quiet = true;
    t.client.CloseData();
    s.client.CloseData();
    a.join();
    b.join();
    out.cpuPercent = (cpu1 - cpu0) / (t1 - t0) * 100;
    out.latencyMs.assign(lt.begin() + static_cast<std::ptrdiff_t>(std::min(skipT, lt.size())), lt.end());
    out.latencyMs.insert(out.latencyMs.end(), ls.begin() + static_cast<std::ptrdiff_t>(std::min(skipS, ls.size())), ls.end());
    out.ok = out.latencyMs.size() > 2;
    if (!out.ok) std::fprintf(stderr, "bench: only %zu messages with a stamp arrived\n", out.latencyMs.size());
    return out;
}

// Command 2 to the first message of the new channel, alternating between two.
bool TuneTimes(int count, std::vector<double>& times)
{
    CHostProcess host;
    CReader r;
    if (!host.SetSim(TunerKind::Terrestrial, "RateKBps=2500\r\n") || !host.Start() || !r.Open(TunerKind::Terrestrial))
        return false;
    return r.Read() && TuneTimesOf(r, count, times);
}

bool TuneTimesOf(CReader& r, int count, std::vector<double>& times)
{
    for (int i = 0; i < count; ++i) {
        const bool to14 = i % 2 == 0;
        uint32_t reply = 0;
        const double start = Now();
        if (r.client.Command(kCmdSelectChannel, to14 ? kFrequencyCh14 : kFrequencyCh13, &reply) != ClientError::None)
            return false;
        do {
            if (!r.Read()) return false;
        } while (!r.Carries(to14 ? 1 : 0));
        times.push_back((Now() - start) * 1000);
    }
    return true;
}

bool ConnectTimes(int count, DWORD pauseMs, std::vector<double>& times, const std::wstring& program)
{
    CHostProcess host;
    if (!program.empty()) host.UseProgramFrom(program);
    if (!host.SetSim(TunerKind::Terrestrial, "RateKBps=2500\r\n") || !host.Start()) return false;
    for (int i = 0; i <= count; ++i) {
        CTunerClient c;
        const double start = Now();
        if (c.ConnectControl(TunerKind::Terrestrial) != ClientError::None || c.Challenge() != ClientError::None)
            return false;
        if (i > 0) times.push_back((Now() - start) * 1000);
        c.CloseControl();
        Sleep(pauseMs);
    }
    return true;
}
