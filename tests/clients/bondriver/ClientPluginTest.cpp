// TunerHost's client plug-in as the apps that load tuner plug-ins use it: the
// app double (testing/appdouble, built as such apps are) loads it by name,
// downcasts it with the runtime's own dynamic_cast, and watches and changes
// channels through it, from the real TunerHost and the simulated plug-in.
#include "config/CConfig.h"
#include "relay/HostRun.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>

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
    ASSERT_TRUE(second.Start(run.dir, BinDir(), L"busy " + std::wstring(kPluginT), L"busy"));
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
