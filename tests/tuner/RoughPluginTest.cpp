// Rough plug-ins, built as users' are (BonDriver_SimEH.dll: unwind tables,
// exception handling, buffer-security checks), doing what no handler in the
// process they run in can contain: faults holding the heap's, the loader's or
// their own lock, faults on threads of their own, __fastfail, a second stack
// overflow, a filter of their own, ExitProcess, wild writes, a DllMain that
// hangs or is slow. Each time the other kind streams throughout, the
// plug-in's kind serves its next client, and Exit ends TunerHost.
#include "app/FakeTray.h"
#include "relay/HostRun.h"

#include <gtest/gtest.h>
#include <tlhelp32.h>

#include <atomic>
#include <cstdlib>
#include <thread>
#include <vector>

namespace {

const auto T = TunerKind::Terrestrial;
const auto S = TunerKind::Satellite;

// When the plug-in misbehaves, and so what its own client sees.
enum class Stage {
    Open,       // in the client's open: the open fails
    Streaming,  // once the client has its stream: the connection ends
    Anytime,    // wild writes, a heap corrupted mid-stream: what was hit decides
};

struct Scenario {
    const char* name;
    const char* sim;  // the misbehaving plug-in's [Sim] lines
    Stage stage;
    const wchar_t* plugin = L"BonDriver_SimEH.dll";
};

// A client of a kind that reads and checks every message on a thread of
// its own, until stopped.
class CStreamWatch {
public:
    explicit CStreamWatch(TunerKind kind) : kind_(kind), thread_([this] { Run(); }) {}
    ~CStreamWatch() { Stop(); }
    bool Started(DWORD ms) const
    {
        return WaitUntil([&] { return messages_ > 0 || done_; }, ms) && messages_ > 0;
    }
    // What went wrong while it read; empty when nothing did.
    std::string Stop()
    {
        stop_ = true;
        if (thread_.joinable()) thread_.join();
        return problem_;
    }

private:
    void Run()
    {
        CStreamClient c;
        ClientError e = c.Connect(kind_);
        CSimReplica replica(0, 0, kind_ == T ? SimBand::Uhf : SimBand::Bs);
        while (e == ClientError::None && !stop_) {
            DWORD got = 0;
            e = c.Read(got, 10000);
            if (e != ClientError::None) break;
            const std::string wrong = replica.Check(c.buffer.data(), got);
            if (!wrong.empty()) {
                problem_ = "message " + std::to_string(messages_) + ": " + wrong;
                break;
            }
            ++messages_;
        }
        if (e != ClientError::None) problem_ = std::string("after ") + std::to_string(messages_) + " messages: " + Describe(e);
        done_ = true;
    }

    TunerKind kind_;
    std::atomic<bool> stop_{false}, done_{false};
    std::atomic<int> messages_{0};
    std::string problem_;
    std::thread thread_;
};

// True when TunerHost ends the client's connection within ms.
bool EndedWithin(CTunerClient& c, DWORD ms)
{
    return WaitUntil([&] { return c.Command(kCmdKeepAlive, nullptr, 2000) != ClientError::None; }, ms);
}

// The processes for which `pick` holds.
template <typename Pick>
std::vector<DWORD> Processes(Pick pick)
{
    std::vector<DWORD> found;
    CFileHandle snapshot(CreateToolhelp32Snapshot(TH32CS_SNAPPROCESS, 0));
    PROCESSENTRY32W e = {};
    e.dwSize = sizeof e;
    if (!snapshot) return found;
    for (BOOL more = Process32FirstW(snapshot.Get(), &e); more; more = Process32NextW(snapshot.Get(), &e))
        if (pick(e)) found.push_back(e.th32ProcessID);
    return found;
}

void Terminate(DWORD id)
{
    CHandle p(OpenProcess(SYNCHRONIZE | PROCESS_TERMINATE, FALSE, id));
    if (p && TerminateProcess(p.Get(), 1)) WaitForSingleObject(p.Get(), 10000);
}

// Exit from the tray menu; true when TunerHost and every process it started
// ended within ms, and no crash was reported in a dialog (Wine's debugger,
// Windows' error reporting). Any left are ended here, by their id.
bool ExitWithChildren(CHostRun& run, DWORD ms)
{
    const DWORD host = run.host.Pid();
    const std::vector<DWORD> children =
        Processes([&](const PROCESSENTRY32W& e) { return e.th32ParentProcessID == host && e.th32ProcessID != host; });
    const std::vector<DWORD> reporters = Processes([](const PROCESSENTRY32W& e) {
        return _wcsicmp(e.szExeFile, L"winedbg.exe") == 0 || _wcsicmp(e.szExeFile, L"WerFault.exe") == 0;
    });
    for (DWORD id : reporters) {
        ADD_FAILURE() << "a crash was reported in a dialog, by process " << id;
        Terminate(id);
    }
    bool ended = run.Exit(ms) && reporters.empty();
    // Ended here, so that the single-instance object is free for the next start.
    if (run.host.Running()) Terminate(host);
    for (DWORD id : children) {
        CHandle child(OpenProcess(SYNCHRONIZE, FALSE, id));
        if (!child || WaitForSingleObject(child.Get(), 10000) == WAIT_OBJECT_0) continue;
        ADD_FAILURE() << "a process TunerHost started outlived it: " << id;
        Terminate(id);
        ended = false;
    }
    return ended;
}

std::string PluginPath(const Scenario& s, bool otherBuild, std::wstring& path)
{
    path = (otherBuild ? OtherBin() : BinDir()) + L"\\" + s.plugin;
    return std::string(path.begin(), path.end());
}

class Rough : public testing::TestWithParam<Scenario> {};

}  // namespace

TEST_P(Rough, TheOtherKindStreamsTheKindServesItsNextClientAndExitEndsTunerHost)
{
    const Scenario& scenario = GetParam();
    const bool otherBuild =
        std::string(testing::UnitTest::GetInstance()->current_test_info()->test_suite_name()).rfind("OtherBitness/", 0) == 0;
    if (otherBuild) {
        if (const char* reason = std::getenv("TUNERHOST_CROSS_SKIP"); reason && *reason) GTEST_SKIP() << reason;
        if (OtherBin().empty()) GTEST_SKIP() << "TUNERHOST_OTHER_BIN does not name the other build's bin folder";
    }
    std::wstring plugin;
    const std::string pluginName = PluginPath(scenario, otherBuild, plugin);
    CHostRun run(L"rough");
    ASSERT_TRUE(run.UsePlugin(T, plugin)) << "no " << pluginName;
    if (otherBuild) {
        // A plug-in of the other bitness is served by the other build's host.
        const wchar_t* otherHost = sizeof(void*) == 8 ? L"PlugHost32.exe" : L"PlugHost64.exe";
        ASSERT_TRUE(CopyFileW((OtherBin() + L"\\" + otherHost).c_str(), run.dir.File(otherHost).c_str(), FALSE))
            << "the other build's plug-in host is missing";
    }
    run.SetSim(T, "RateKBps=8000\r\n");
    ASSERT_TRUE(run.Start());
    CStreamWatch other(S);
    ASSERT_TRUE(other.Started(10000)) << other.Stop();

    // Misbehaviours on the stream, or on the plug-in's own threads, wait for
    // this file: the client has its stream first.
    const std::wstring trigger = run.dir.File(L"misbehave-now");
    run.SetSim(T, "RateKBps=8000\r\nTrigger=" + std::string(trigger.begin(), trigger.end()) + "\r\n" + scenario.sim);
    {
        CStreamClient c;
        const ClientError e = c.Connect(T);
        DWORD got = 0;
        if (scenario.stage == Stage::Open) {
            EXPECT_NE(e, ClientError::None) << "the open went through";
        } else if (scenario.stage == Stage::Streaming) {
            ASSERT_EQ(e, ClientError::None);
            EXPECT_EQ(c.Read(got), ClientError::None) << "no stream before the plug-in misbehaved";
        } else if (e == ClientError::None) {
            c.Read(got);
        }
        WriteTextFile(trigger, "");
        EXPECT_TRUE(WaitUntil([&] { return run.Count(T, "misbehave") > 0; }, 15000)) << "the plug-in never misbehaved";
        if (scenario.stage == Stage::Streaming) {
            EXPECT_TRUE(EndedWithin(c.client, 30000)) << "the connection went on after the plug-in misbehaved";
        }
    }
    run.SetSim(T, "RateKBps=8000\r\n");
    // Even after a wild write that hit nothing its process needed at once,
    // which nothing outside can tell: the next client's plug-in runs in a
    // process of its own.
    EXPECT_EQ(ServedWithin(T, 60000), ClientError::None) << "the kind did not serve its next client";
    EXPECT_TRUE(run.host.Running()) << "TunerHost ended";
    EXPECT_EQ(other.Stop(), "") << "the other kind's stream";
    EXPECT_TRUE(ExitWithChildren(run, 30000)) << "Exit did not end TunerHost";
}

namespace {

std::string ScenarioName(const testing::TestParamInfo<Scenario>& info)
{
    return info.param.name;
}

const Scenario kLocks[] = {
    {"HeapLockFault", "Misbehave=HeapLockFault\r\n", Stage::Open},
    {"HeapLockFaultBare", "Misbehave=HeapLockFault\r\n", Stage::Open, L"BonDriver_Sim.dll"},
    {"HeapCorrupt", "Misbehave=HeapCorrupt\r\n", Stage::Open},
    // Mid-stream: whether the plug-in's process dies (Windows) or hangs on
    // the heap's lock (Wine) decides whether its client is cut off at once.
    {"HeapCorruptStreaming", "Misbehave=HeapCorrupt\r\nMisbehaveIn=Fetch\r\n", Stage::Anytime},
    {"LoaderLockFault", "Misbehave=LoaderLockFault\r\n", Stage::Open},
    // The next client's Open takes the plug-in's lock that this one held.
    {"OwnLockFault", "Misbehave=OwnLockFault\r\n", Stage::Open},
};
const Scenario kThreads[] = {
    {"ThreadFault", "Misbehave=ThreadFault\r\n", Stage::Streaming},
    {"TimerFault", "Misbehave=TimerFault\r\n", Stage::Streaming},
    {"PoolFault", "Misbehave=PoolFault\r\n", Stage::Streaming},
};
const Scenario kUncatchable[] = {
    {"CookieFault", "Misbehave=CookieFault\r\nMisbehaveIn=Fetch\r\n", Stage::Streaming},
    {"InvalidParameter", "Misbehave=InvalidParameter\r\n", Stage::Open},
    {"StackOverflowTwice", "Misbehave=StackOverflowTwice\r\n", Stage::Open},
    {"FilterThenThrow", "Misbehave=FilterThenThrow\r\nMisbehaveIn=Fetch\r\n", Stage::Streaming},
    {"ExitProcess", "Misbehave=ExitProcess\r\n", Stage::Open},
};
const Scenario kWild[] = {
    {"WildWriteImage", "Misbehave=WildWriteImage\r\n", Stage::Anytime},
    {"WildWriteHeap", "Misbehave=WildWriteHeap\r\nMisbehaveIn=Fetch\r\n", Stage::Anytime},
};

}  // namespace

INSTANTIATE_TEST_SUITE_P(Locks, Rough, testing::ValuesIn(kLocks), ScenarioName);
INSTANTIATE_TEST_SUITE_P(Threads, Rough, testing::ValuesIn(kThreads), ScenarioName);
INSTANTIATE_TEST_SUITE_P(Uncatchable, Rough, testing::ValuesIn(kUncatchable), ScenarioName);
INSTANTIATE_TEST_SUITE_P(Wild, Rough, testing::ValuesIn(kWild), ScenarioName);

// The same with the other build's plug-in: a plug-in of the other bitness.
namespace {
std::vector<Scenario> AllScenarios()
{
    std::vector<Scenario> all;
    auto add = [&](const auto& group) { all.insert(all.end(), std::begin(group), std::end(group)); };
    add(kLocks);
    add(kThreads);
    add(kUncatchable);
    add(kWild);
    return all;
}
}  // namespace
INSTANTIATE_TEST_SUITE_P(OtherBitness, Rough, testing::ValuesIn(AllScenarios()), ScenarioName);

// A plug-in whose DllMain waits for a thread it started, beside two good
// ones: the start-up probe must give up on it, and the window, the icon and
// the others come as always.
TEST(RoughDllMain, APluginWhoseDllMainHangsIsLeftOutAndTheOthersAreServed)
{
    CFakeTray tray;
    ASSERT_TRUE(tray.Ready());
    CHostRun run(L"dllmainhang");
    ASSERT_TRUE(CopyFromBin(L"BonDriver_SimEH.dll", run.dir, L"BonDriver_Hang.dll"));
    WriteTextFile(run.dir.File(L"BonDriver_Hang.ini"),
                  "[Sim]\r\nDllMainHang=1\r\nLog=" + std::string(run.dir.Path().begin(), run.dir.Path().end()) +
                      "\\hang.log\r\n");
    ASSERT_TRUE(run.Start(45000)) << "no window";
    EXPECT_GE(CountLines(run.dir.File(L"hang.log"), "hang"), 1) << "the plug-in was not probed";
    EXPECT_TRUE(WaitUntil([&] {
        for (const CTrayCall& c : tray.Calls())
            if (c.message == NIM_ADD && c.window == run.window) return true;
        return false;
    }, 10000)) << "no icon";
    CStreamWatch satellite(S);
    EXPECT_TRUE(satellite.Started(10000)) << satellite.Stop();
    EXPECT_EQ(ServedWithin(T, 10000), ClientError::None);
    EXPECT_EQ(satellite.Stop(), "");
    EXPECT_TRUE(ExitWithChildren(run, 30000)) << "Exit did not end TunerHost";
}

// A DllMain that takes its time (30 s) loading for a client when Exit comes:
// TunerHost ends within 20 s, without waiting for the load, and starts and
// serves again.
TEST(RoughDllMain, ExitWhileAPluginsDllMainIsSlowEndsTunerHost)
{
    CHostRun run(L"dllmainslow");
    run.SetSim(T, "RateKBps=8000\r\n");
    ASSERT_TRUE(run.UsePlugin(T, BinDir() + L"\\BonDriver_SimEH.dll"));
    ASSERT_TRUE(run.Start());
    {
        CStreamWatch satellite(S);
        ASSERT_TRUE(satellite.Started(10000)) << satellite.Stop();
        run.SetSim(T, "RateKBps=8000\r\nDllMainSlowMs=30000\r\n");
        CTunerClient c;
        EXPECT_EQ(c.ConnectControl(T), ClientError::None);
        ASSERT_TRUE(WaitUntil([&] { return run.Count(T, "slow") == 1; }, 15000)) << "DllMain was not called";
        EXPECT_EQ(satellite.Stop(), "");
        EXPECT_TRUE(ExitWithChildren(run, 20000)) << "Exit did not end TunerHost";
    }
    run.SetSim(T, "RateKBps=8000\r\n");
    ASSERT_TRUE(run.Start()) << "TunerHost could not start again";
    EXPECT_EQ(ServedWithin(T, 10000), ClientError::None);
    EXPECT_TRUE(ExitWithChildren(run, 30000));
}
