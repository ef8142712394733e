// Plug-ins that mean harm, against what the box around their host leaves
// them: another kind's pipes, the next client's stream. Each time the other
// kind's clients get TunerHost's stream and nothing else, and Exit ends
// TunerHost.
#include "relay/HostRun.h"

#include <gtest/gtest.h>

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
