// TunerHost's life with clients around: Exit while they stream, and pipe
// names that another process holds.
#include "relay/HostRun.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <algorithm>
#include <vector>

TEST(HostLifecycle, ExitEndsTunerHostWhileClientsStream)
{
    CHostRun run(L"exitstreaming");
    ASSERT_TRUE(run.Start());
    std::vector<uint8_t> buffer(kDataMessageSize);
    CTunerClient t, s;
    for (auto* c : {&t, &s}) {
        ASSERT_EQ(c->ConnectControl(c == &t ? TunerKind::Terrestrial : TunerKind::Satellite), ClientError::None);
        ASSERT_EQ(c->ConnectData(), ClientError::None);
        DWORD got = 0;
        ASSERT_EQ(c->ReadData(buffer.data(), kDataMessageSize, got, 5000), ClientError::None);
    }
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(run.Exit(15000));
    EXPECT_LT(GetTickCount64() - start, 10000u);
    for (auto* c : {&t, &s}) {
        uint32_t reply = 0;
        EXPECT_NE(c->Command(kCmdKeepAlive, &reply, 3000), ClientError::None);
    }
    EXPECT_EQ(run.Count(TunerKind::Terrestrial, "close"), 2);
    EXPECT_EQ(run.Count(TunerKind::Satellite, "close"), 2);
}

TEST(HostLifecycle, TakenPipeNamesLeaveOnlyThatPipeOut)
{
    // Another process holds the terrestrial data pipe and the satellite
    // control pipe before TunerHost starts.
    CFileHandle dataT(CreateNamedPipeW(DataPipeName(TunerKind::Terrestrial), PIPE_ACCESS_OUTBOUND,
                                       PIPE_TYPE_MESSAGE, 1, 4096, 4096, 0, nullptr));
    CFileHandle controlS(CreateNamedPipeW(ControlPipeName(TunerKind::Satellite), PIPE_ACCESS_DUPLEX,
                                          PIPE_TYPE_MESSAGE, 1, 256, 256, 0, nullptr));
    ASSERT_TRUE(dataT && controlS);
    CHostRun run(L"takennames");
    ASSERT_TRUE(run.Start());

    // Without a data worker, commands 0 and 1 and the end of a connection
    // must not wait for it.
    for (int i = 0; i < 2; ++i) {
        CTunerClient t;
        ASSERT_EQ(t.ConnectControl(TunerKind::Terrestrial), ClientError::None);
        uint32_t reply = 0;
        ASSERT_EQ(t.Command(kCmdPauseData, &reply, 5000), ClientError::None);
        EXPECT_EQ(reply, 1u);
        ASSERT_EQ(t.Command(kCmdRearmData, &reply, 5000), ClientError::None);
        EXPECT_EQ(reply, 1u);
    }
    // The satellite kind is left out whole: its data pipe is not offered.
    CFileHandle dataS(CreateFileW(DataPipeName(TunerKind::Satellite), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr));
    EXPECT_FALSE(dataS);
    EXPECT_TRUE(run.Exit(15000));
}

// A plug-in slower to open at start-up than the probe waits (a tuner whose
// firmware loads at boot, a server not up yet): start-up goes on without it,
// and once its probe comes back the kind it is configured for is served.
TEST(HostLifecycle, APluginSlowerToOpenThanTheProbeWaitsIsServedOnceItAnswers)
{
    CHostRun run(L"slowstart");
    run.SetSim(TunerKind::Terrestrial, "OpenHangMs=12000\r\n");
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(run.Start(20000)) << "no window while the plug-in's Open was slow";
    EXPECT_LT(GetTickCount64() - start, 20000u);
    // The probe's object has read its settings; later ones open at once.
    run.SetSim(TunerKind::Terrestrial, "RateKBps=8000\r\n");
    // The other plug-in serves its kind meanwhile.
    CStreamClient satellite;
    ASSERT_EQ(satellite.Connect(TunerKind::Satellite), ClientError::None);
    DWORD got = 0;
    EXPECT_EQ(satellite.Read(got), ClientError::None);
    // The probe comes back with the plug-in's spaces: the kind is served.
    EXPECT_TRUE(WaitUntil([&] {
        CStreamClient c;
        if (c.client.ConnectControl(TunerKind::Terrestrial, 500) != ClientError::None) return false;
        EXPECT_EQ(c.client.ConnectData(), ClientError::None);
        EXPECT_EQ(c.Read(got), ClientError::None);
        return true;
    }, 30000)) << "the kind of the plug-in that answered late was never served";
    // The probe's object and the client's.
    EXPECT_TRUE(WaitUntil([&] { return run.Count(TunerKind::Terrestrial, "destroy") == 2; }, 10000));
    EXPECT_TRUE(run.Exit(15000));
}

// A plug-in whose DllMain never returns (it waits for a thread it started,
// under the loader's lock) and one whose DllMain faults, beside a good one:
// the window comes, the good plug-in's kind is served, the others are left
// out, Exit ends TunerHost and it starts again (the single-instance mutex was
// let go).
TEST(HostLifecycle, PluginsWhoseDllMainHangsOrFaultsAreLeftOutAndTheRestServed)
{
    CHostRun run(L"dllmain");
    run.SetSim(TunerKind::Terrestrial, "DllMainHang=1\r\n");
    ASSERT_TRUE(CopyFromBin(L"BonDriver_Sim.dll", run.dir, L"BonDriver_SimX.dll"));
    WriteTextFile(run.dir.File(L"BonDriver_SimX.ini"), "[Sim]\r\nDllMainFault=1\r\n");
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(run.Start(45000)) << "no window beside plug-ins whose DllMain hangs or faults";
    EXPECT_LT(GetTickCount64() - start, 30000u);
    EXPECT_EQ(ServedWithin(TunerKind::Satellite, 10000), ClientError::None);
    CTunerClient t;
    EXPECT_NE(t.ConnectControl(TunerKind::Terrestrial, 1000), ClientError::None) << "the hung plug-in was served";
    EXPECT_TRUE(run.Exit(15000));
    run.SetSim(TunerKind::Terrestrial, "");
    ASSERT_TRUE(run.Start()) << "TunerHost could not start again";
    EXPECT_EQ(ServedWithin(TunerKind::Terrestrial, 10000), ClientError::None);
    EXPECT_TRUE(run.Exit(15000));
}

// Exit while both kinds' plug-ins are stuck in FetchBlock, so that neither
// tuner's close comes back: the two kinds end side by side, and Exit costs
// one close's bound (5 s, then the host is ended), not one per kind.
TEST(HostLifecycle, ExitWithBothKindsPluginsHungCostsOneBound)
{
    CHostRun run(L"exitbothhung");
    for (TunerKind kind : {TunerKind::Terrestrial, TunerKind::Satellite})
        run.SetSim(kind, "RateKBps=8000\r\nFetchHangAfterMs=500\r\nFetchHangMs=60000\r\n");
    ASSERT_TRUE(run.Start());
    CStreamClient t, s;
    for (CStreamClient* c : {&t, &s}) {
        ASSERT_EQ(c->Connect(c == &t ? TunerKind::Terrestrial : TunerKind::Satellite), ClientError::None);
        DWORD got = 0;
        EXPECT_EQ(c->Read(got), ClientError::None);
    }
    ASSERT_TRUE(WaitUntil([&] {
        return run.Count(TunerKind::Terrestrial, "hang") == 1 && run.Count(TunerKind::Satellite, "hang") == 1;
    }, 10000));
    const ULONGLONG start = GetTickCount64();
    ASSERT_TRUE(run.Exit(30000));
    EXPECT_LT(GetTickCount64() - start, 8000u) << "the kinds' hung closes were waited for one after the other";
}

// A process a plug-in starts of its own (a helper, a server) ends with its
// host, which ends at the end of the connection: it does not live on beside
// TunerHost.
TEST(HostLifecycle, AProcessAPluginStartsEndsWithItsHost)
{
    CHostRun run(L"pluginprocess");
    run.SetSim(TunerKind::Terrestrial, "RateKBps=8000\r\nMisbehave=StartProcess\r\n");
    ASSERT_TRUE(run.Start());
    CHandle started;
    {
        CStreamClient c;
        ASSERT_EQ(c.Connect(TunerKind::Terrestrial), ClientError::None);
        DWORD got = 0;
        EXPECT_EQ(c.Read(got), ClientError::None);
        // Opened while the connection, and so its host, still lives: once it
        // ends, the process may be gone before it could be looked at.
        std::string log;
        ASSERT_TRUE(WaitUntil([&] {
            log = ReadTextFile(run.dir.File(L"BonDriver_SimT.log"));
            return log.find("process ") != std::string::npos;
        }, 10000)) << "the plug-in started no process";
        // The last: the start-up probe opens the plug-in too, in a host of
        // its own that is gone by now, and its process with it.
        const size_t at = log.rfind("process ");
        started.Reset(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, std::stoul(log.substr(at + 8))));
        ASSERT_TRUE(started);
    }
    const bool ended = WaitForSingleObject(started.Get(), 15000) == WAIT_OBJECT_0;
    if (!ended) TerminateProcess(started.Get(), 1);
    EXPECT_TRUE(ended) << "the plug-in's process outlived its host";
    EXPECT_TRUE(run.Exit(15000));
}

// A plug-in that leaks threads at every open (8 that wait for ever) leaves
// them in its connection's host, which ends with the connection: a later
// client's host does not carry what earlier ones leaked.
TEST(HostLifecycle, WhatAPluginLeaksGoesWithItsConnection)
{
    CHostRun run(L"pluginleaks");
    run.SetSim(TunerKind::Terrestrial, "RateKBps=8000\r\nMisbehave=LeakThreads\r\n");
    ASSERT_TRUE(run.Start());
    // The threads of the busiest process TunerHost started.
    auto hostThreads = [&] {
        DWORD most = 0;
        CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
        PROCESSENTRY32W e = {};
        e.dwSize = sizeof e;
        for (BOOL more = snapshot && Process32FirstW(snapshot.Get(), &e); more; more = Process32NextW(snapshot.Get(), &e))
            if (e.th32ParentProcessID == run.host.Pid()) most = std::max(most, e.cntThreads);
        return most;
    };
    DWORD first = 0, last = 0;
    for (int i = 0; i < 4; ++i) {
        CStreamClient c;
        ASSERT_EQ(c.Connect(TunerKind::Terrestrial), ClientError::None);
        DWORD got = 0;
        EXPECT_EQ(c.Read(got), ClientError::None);
        (i == 0 ? first : last) = hostThreads();
    }
    EXPECT_GE(first, 8u);
    EXPECT_LT(last, first + 8) << "the threads earlier connections' plug-ins leaked live on in the host";
    EXPECT_TRUE(run.Exit(15000));
}
