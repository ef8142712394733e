// Plug-ins that mean harm, against what the box around their host leaves
// them: another kind's pipes, the next client's stream. Each time the other
// kind's clients get TunerHost's stream and nothing else, and Exit ends
// TunerHost.
#include "relay/HostRun.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

const auto T = TunerKind::Terrestrial;
const auto S = TunerKind::Satellite;

}  // namespace

// The terrestrial plug-in tries every 5 ms to make the satellite data pipe
// and writes forged packets to whoever opens it: satellite clients one after
// the other (the moments between two of them included) get TunerHost's
// stream, whole, and not one forged packet.
TEST(RoughBox, APluginCannotTakeTheOtherKindsDataPipe)
{
    CHostRun run(L"forger");
    run.SetSim(S, "RateKBps=8000\r\n");
    ASSERT_TRUE(run.Start());
    const std::wstring trigger = run.dir.File(L"misbehave-now");
    run.SetSim(T, "RateKBps=8000\r\nMisbehave=ForgeDataPipe\r\nTrigger=" + std::string(trigger.begin(), trigger.end()) +
                      "\r\n");
    CStreamClient forger;
    ASSERT_EQ(forger.Connect(T), ClientError::None);
    WriteTextFile(trigger, "");
    ASSERT_TRUE(WaitUntil([&] { return run.Count(T, "misbehave") > 0; }, 10000)) << "the plug-in never misbehaved";
    for (int round = 0; round < 4; ++round) {
        SCOPED_TRACE("satellite client " + std::to_string(round));
        CStreamClient c;
        ASSERT_EQ(c.Connect(S), ClientError::None);
        c.Verify(4);
        if (HasFatalFailure()) break;
    }
    EXPECT_EQ(run.Count(T, "forged pipe"), 0) << "the plug-in made the satellite data pipe";
    EXPECT_EQ(forger.client.Command(kCmdKeepAlive), ClientError::None) << "the plug-in's own client lost its tuner";
    forger.client.CloseData();
    forger.client.CloseControl();
    EXPECT_TRUE(run.Exit(30000)) << "Exit did not end TunerHost";
}

namespace {

// The processor time TunerHost has used so far, in ms.
double CpuMs(DWORD pid)
{
    CHandle p(OpenProcess(PROCESS_QUERY_LIMITED_INFORMATION, FALSE, pid));
    FILETIME created, ended, kernel, user;
    if (!p || !GetProcessTimes(p.Get(), &created, &ended, &kernel, &user)) return -1;
    auto ms = [](const FILETIME& f) { return ((uint64_t(f.dwHighDateTime) << 32) | f.dwLowDateTime) / 10000.0; };
    return ms(kernel) + ms(user);
}

}  // namespace

// The terrestrial plug-in sets both positions of its stream ring where adding
// to them overflows, again and again: its connection ends, no core spins in
// TunerHost meanwhile, the satellite kind streams on and the terrestrial kind
// serves its next client.
TEST(RoughBox, OverflowingRingPositionsEndTheirConnection)
{
    CHostRun run(L"overflow");
    run.SetSim(S, "RateKBps=8000\r\n");
    ASSERT_TRUE(run.Start());
    CStreamClient satellite;
    ASSERT_EQ(satellite.Connect(S), ClientError::None);
    const std::wstring trigger = run.dir.File(L"misbehave-now");
    run.SetSim(T, "RateKBps=8000\r\nMisbehave=OverflowPositions\r\nTrigger=" + std::string(trigger.begin(), trigger.end()) +
                      "\r\n");
    {
        CStreamClient c;
        ASSERT_EQ(c.Connect(T), ClientError::None);
        c.Verify(1);
        WriteTextFile(trigger, "");
        ASSERT_TRUE(WaitUntil([&] { return run.Count(T, "misbehave") > 0; }, 10000)) << "the plug-in never misbehaved";
        const double before = CpuMs(run.host.Pid());
        Sleep(2000);
        const double used = CpuMs(run.host.Pid()) - before;
        EXPECT_GE(before, 0);
        EXPECT_LT(used, 1000) << "TunerHost turned for " << used << " ms of the 2,000";
        EXPECT_TRUE(WaitUntil([&] { return c.client.Command(kCmdKeepAlive, nullptr, 2000) != ClientError::None; }, 10000))
            << "the connection went on";
    }
    satellite.Verify(3);
    run.SetSim(T, "RateKBps=8000\r\n");
    EXPECT_EQ(ServedWithin(T, 20000), ClientError::None);
    satellite.client.CloseData();
    satellite.client.CloseControl();
    EXPECT_TRUE(run.Exit(30000)) << "Exit did not end TunerHost";
}

// A plug-in looks at what its host inherited: an inheritable handle that
// TunerHost holds (one it inherited itself, say) is not among them, and the
// ring's section and events came with only the rights the host uses (map
// read and write; set; wait), none to change their security or hand them on.
TEST(RoughBox, AHostInheritsOnlyItsOwnHandlesWithTheLeastRights)
{
    CHostRun run(L"handles");
    ASSERT_TRUE(run.Start());
    // A marked section, made inheritable in TunerHost's process.
    CHandle mark(CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE, 0, 4096, nullptr));
    ASSERT_TRUE(mark);
    void* view = MapViewOfFile(mark.Get(), FILE_MAP_WRITE, 0, 0, 8);
    ASSERT_TRUE(view);
    std::memcpy(view, "INHERITD", 8);
    UnmapViewOfFile(view);
    CHandle host(OpenProcess(PROCESS_DUP_HANDLE, FALSE, run.host.Pid()));
    HANDLE inHost = nullptr;
    ASSERT_TRUE(host && DuplicateHandle(GetCurrentProcess(), mark.Get(), host.Get(), &inHost, FILE_MAP_READ, TRUE, 0));
    run.SetSim(T, "RateKBps=8000\r\nMisbehave=ReportHandles\r\nProbeHandle=" +
                      std::to_string(reinterpret_cast<uintptr_t>(inHost)) + "\r\n");
    CStreamClient c;
    ASSERT_EQ(c.Connect(T), ClientError::None);
    c.Verify(1);
    EXPECT_EQ(run.Count(T, "inherited"), 0) << "the host inherited a handle not meant for it";
    EXPECT_EQ(run.Count(T, "rights 0x00000006 0x00000002 0x00100000"), 1)
        << "the ring's handles came with other rights than map read and write, set, wait";
    c.client.CloseData();
    c.client.CloseControl();
    EXPECT_EQ(ServedWithin(S, 10000), ClientError::None);
    EXPECT_TRUE(run.Exit(30000)) << "Exit did not end TunerHost";
}
