// TunerHost's client plug-in as the apps that load tuner plug-ins use it: the
// app double (testing/appdouble, built as such apps are) loads it by name,
// downcasts it with the runtime's own dynamic_cast, and watches and changes
// channels through it, from the real TunerHost and the simulated plug-in.
#include "config/CConfig.h"
#include "relay/HostRun.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <thread>

namespace {

constexpr wchar_t kPluginT[] = L"BonDriver_TunerHost_T.dll";
constexpr wchar_t kPluginS[] = L"BonDriver_TunerHost_S.dll";

// The app double run from `folder`, where it finds the plug-ins it names.
struct CApp {
    CChild process;
    std::wstring output;
    bool Start(const CTempDir& dir, const std::wstring& folder, const std::wstring& args, const wchar_t* name)
    {
        output = dir.File(std::wstring(name) + L".out");
        return process.Start(folder + L"\\appdouble.exe", folder, args, output);
    }
    std::string Output() const { return ReadTextFile(output); }
    bool Says(const char* line, DWORD ms) const
    {
        return WaitUntil([&] { return Output().find(line) != std::string::npos; }, ms);
    }
    // Its exit code, or 99 when it did not end within ms.
    DWORD Finish(DWORD ms)
    {
        DWORD code = 99;
        return process.WaitExit(ms, code) ? code : 99;
    }
};

void Touch(const std::wstring& path)
{
    WriteTextFile(path, "");
}

// A TunerHost older than command 8, as far as a client sees one: the
// challenge answered, commands 0 to 4 as the protocol has them, and any other
// command, 8 too, answered with the previous reply. With `ownData` it offers
// the data pipe itself at command 1; without, whatever process holds the data
// pipe's name serves it.
class COlderHost {
public:
    explicit COlderHost(bool ownData) : ownData_(ownData)
    {
        control_.Reset(CreateNamedPipeW(kPlainPipeNameControlT, PIPE_ACCESS_DUPLEX,
                                        PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 256, 256, 1000,
                                        nullptr));
        thread_ = std::thread([this] { Serve(); });
    }
    ~COlderHost()
    {
        // A client that never came is stood in for, so that the wait ends.
        if (!served_) CFileHandle(CreateFileW(kPlainPipeNameControlT, GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                              OPEN_EXISTING, 0, nullptr));
        thread_.join();
    }
    bool Listening() const { return static_cast<bool>(control_); }

private:
    void Serve()
    {
        if (!control_ || (!ConnectNamedPipe(control_.Get(), nullptr) && GetLastError() != ERROR_PIPE_CONNECTED))
            return;
        served_ = true;
        uint32_t previous = 0;
        for (;;) {
            uint8_t command = 0, arg[4] = {};
            DWORD got = 0;
            if (!ReadFile(control_.Get(), &command, 1, &got, nullptr) || got != 1) return;
            if ((command == kCmdSelectChannel || command == kCmdChallenge) &&
                (!ReadFile(control_.Get(), arg, 4, &got, nullptr) || got != 4))
                return;
            if (command == kCmdChallenge) previous = ExpectedChallengeReply(arg);
            else if (command <= kCmdKeepAlive) previous = 1;
            if (command == kCmdRearmData && ownData_ && !data_)
                data_.Reset(CreateNamedPipeW(kPlainPipeNameDataT, PIPE_ACCESS_OUTBOUND,
                                             PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE | PIPE_WAIT, 1, 0, 0, 1000,
                                             nullptr));
            if (!WriteFile(control_.Get(), &previous, 4, &got, nullptr)) return;
        }
    }

    const bool ownData_;
    CFileHandle control_, data_;
    std::atomic<bool> served_{false};
    std::thread thread_;
};

}  // namespace

// Both kinds watched at once while channels change (Tune, and slot 2), the
// stream read with slot 4, FetchBlock and slot 7 and checked packet by
// packet; the spaces and channels as users know them; the signal level by
// the protocol's command 8. Beside TunerHost, copies of the client plug-in
// are left out of its catalogue, however named: a TunerHost serving the kind
// would otherwise let them in.
TEST(ClientPlugin, AnAppWatchesBothKindsWhileItChangesChannels)
{
    CHostRun run(L"clientwatch");
    run.SetSim(TunerKind::Terrestrial, "RateKBps=4000\r\n");
    run.SetSim(TunerKind::Satellite, "RateKBps=4000\r\n");
    ASSERT_TRUE(CopyFromBin(kPluginT, run.dir, kPluginT));
    ASSERT_TRUE(CopyFromBin(kPluginS, run.dir, L"BonDriver_Viewer.dll"));
    ASSERT_TRUE(run.Start());

    CConfig catalogue;
    ASSERT_TRUE(catalogue.LoadConfigForPath(run.dir.File(L"TunerHost.exe")));
    std::set<std::wstring> listed;
    for (const CDriverInfo& d : catalogue.drivers) listed.insert(d.fileName);
    EXPECT_EQ(listed, (std::set<std::wstring>{L"BonDriver_SimS.dll", L"BonDriver_SimT.dll"}));

    CApp app;
    ASSERT_TRUE(app.Start(run.dir, BinDir(), std::wstring(L"watch ") + kPluginT + L" " + kPluginS, L"watch"));
    EXPECT_EQ(app.Finish(120000), 0u) << app.Output();
    EXPECT_NE(app.Output().find("watch: ok"), std::string::npos) << app.Output();
    EXPECT_TRUE(run.Exit(15000));
}

// An app that holds the terrestrial kind: a second app's Open is refused
// within the bound; the app's plug-in in TunerHost's host faults, and then
// TunerHost ends: each time every call of the app comes back at once or
// within what it asked, and the next Open streams again.
TEST(ClientPlugin, AnAppOutlivesTheHostsPluginAndTunerHostItself)
{
    CHostRun run(L"clientsurvive");
    const std::wstring trigger = run.dir.File(L"fault.now");
    run.SetSim(TunerKind::Terrestrial,
               "RateKBps=4000\r\nMisbehave=ThreadFault\r\nTrigger=" + std::string(trigger.begin(), trigger.end()) + "\r\n");
    ASSERT_TRUE(run.Start());

    CApp app;
    ASSERT_TRUE(app.Start(run.dir, BinDir(), L"survive " + std::wstring(kPluginT) + L" " + run.dir.Path() + L" 2",
                          L"survive"));
    ASSERT_TRUE(app.Says("streaming 0", 30000)) << app.Output();

    CApp second;
    ASSERT_TRUE(second.Start(run.dir, BinDir(), L"refused " + std::wstring(kPluginT), L"refused"));
    const ULONGLONG refusing = GetTickCount64();
    EXPECT_EQ(second.Finish(30000), 0u) << second.Output();
    EXPECT_LT(GetTickCount64() - refusing, 15000u) << second.Output();

    // The plug-in faults on a thread of its own: its host goes, and with it
    // the app's connection.
    run.SetSim(TunerKind::Terrestrial, "RateKBps=4000\r\n");
    Touch(trigger);
    EXPECT_TRUE(app.Says("lost 0", 20000)) << app.Output();
    EXPECT_EQ(run.Count(TunerKind::Terrestrial, "misbehave"), 1);
    Touch(run.dir.File(L"go1"));
    ASSERT_TRUE(app.Says("streaming 1", 30000)) << app.Output();

    // TunerHost ends while the app reads; the app opens again once it is back.
    EXPECT_TRUE(run.Exit(15000));
    EXPECT_TRUE(app.Says("lost 1", 20000)) << app.Output();
    ASSERT_TRUE(run.Start());
    Touch(run.dir.File(L"go2"));
    EXPECT_EQ(app.Finish(60000), 0u) << app.Output();
    EXPECT_NE(app.Output().find("survive: ok"), std::string::npos) << app.Output();
    EXPECT_TRUE(run.Exit(15000));
}

// Against a TunerHost older than command 8 the plug-in opens, and reads the
// level as 0 rather than taking that host's previous reply (1) for one. A
// data pipe that another process serves than the one that answered on the
// control pipe is refused, and Open with it.
TEST(ClientPlugin, TellsAnOlderTunerHostAndRefusesAnotherProcesssDataPipe)
{
    CTempDir dir(L"clientolder");
    {
        COlderHost older(true);
        ASSERT_TRUE(older.Listening());
        CApp app;
        ASSERT_TRUE(app.Start(dir, BinDir(), L"level " + std::wstring(kPluginT), L"level"));
        EXPECT_EQ(app.Finish(30000), 0u) << app.Output();
        EXPECT_NE(app.Output().find("level bits 0, 0, open 1"), std::string::npos) << app.Output();
    }
    CChild impostor;
    ASSERT_TRUE(impostor.Start(BinDir() + L"\\bench.exe", BinDir(),
                               L"--pipe-writer " + std::wstring(kPlainPipeNameDataT) + L" 1"));
    ASSERT_TRUE(WaitUntil([] { return WaitNamedPipeW(kPlainPipeNameDataT, 1) || GetLastError() != ERROR_FILE_NOT_FOUND; },
                          10000));
    COlderHost older(false);
    ASSERT_TRUE(older.Listening());
    CApp app;
    ASSERT_TRUE(app.Start(dir, BinDir(), L"refused " + std::wstring(kPluginT), L"refused"));
    EXPECT_EQ(app.Finish(30000), 0u) << app.Output();
}

// The bitness bridge: this build's app double watches the terrestrial kind,
// which a plug-in of the other bitness serves in a host of its bitness, and
// the other build's app double, with the other build's client plug-in,
// watches the satellite kind, served by this build's plug-in. The test
// command runs it on both builds; it needs the other build and a machine
// that runs 32-bit code (TUNERHOST_CROSS_SKIP says when it does not).
TEST(ClientPluginBridge, AppsOfEitherBitnessWatchPluginsOfTheOther)
{
    if (const char* reason = std::getenv("TUNERHOST_CROSS_SKIP"); reason && *reason) GTEST_SKIP() << reason;
    const wchar_t* otherHost = sizeof(void*) == 8 ? L"PlugHost32.exe" : L"PlugHost64.exe";
    CHostRun run(L"clientbridge");
    ASSERT_TRUE(CopyFileW((OtherBin() + L"\\" + otherHost).c_str(), run.dir.File(otherHost).c_str(), FALSE))
        << "the other build's plug-in host is missing (TUNERHOST_OTHER_BIN)";
    ASSERT_TRUE(run.UsePlugin(TunerKind::Terrestrial, OtherBin() + L"\\BonDriver_Sim.dll"));
    run.SetSim(TunerKind::Terrestrial, "RateKBps=4000\r\n");
    run.SetSim(TunerKind::Satellite, "RateKBps=4000\r\n");
    ASSERT_TRUE(run.Start());

    CApp thisApp, otherApp;
    ASSERT_TRUE(thisApp.Start(run.dir, BinDir(), std::wstring(L"watch ") + kPluginT, L"this"));
    ASSERT_TRUE(otherApp.Start(run.dir, OtherBin(), std::wstring(L"watch ") + kPluginS, L"other"))
        << "the other build's app double is missing (TUNERHOST_OTHER_BIN)";
    EXPECT_EQ(thisApp.Finish(120000), 0u) << thisApp.Output();
    EXPECT_EQ(otherApp.Finish(120000), 0u) << otherApp.Output();
    EXPECT_TRUE(run.Exit(15000));
}
