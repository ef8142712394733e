// Tuning and descrambling through the real TunerHost, checked from the
// packets the client receives.
#include "relay/HostRun.h"

#include <gtest/gtest.h>

namespace {

const auto T = TunerKind::Terrestrial;
const auto S = TunerKind::Satellite;

// Selects a channel; the reply is 1 whatever came of it.
void Select(CStreamClient& c, uint32_t value)
{
    uint32_t reply = 0;
    ASSERT_EQ(c.client.Command(kCmdSelectChannel, value, &reply), ClientError::None);
    EXPECT_EQ(reply, 1u);
}

// True when no message arrives for a while (after what was in the pipe).
bool StreamStopped(CStreamClient& c)
{
    for (int i = 0; i < 100; ++i) {
        DWORD got = 0;
        const ClientError e = c.Read(got, 1500);
        if (e == ClientError::Timeout) return true;
        if (e != ClientError::None) return false;
    }
    return false;
}

}  // namespace

TEST(Tuning, TerrestrialChannelsTuneStopAndResume)
{
    CHostRun run(L"tuneT");
    run.SetSim(T, "RateKBps=8000\r\n");
    run.SetHostIni("[BonDriver_SimT.dll_Config]\r\nTuningSpaceVHF=-1\r\n");
    ASSERT_TRUE(run.Start());
    CStreamClient c;
    ASSERT_EQ(c.Connect(T), ClientError::None);
    c.Verify(1, 0, 0);
    Select(c, 521143);  // UHF 8
    c.VerifyAfterTune(3, 0, 8);
    Select(c, 167000);  // CATV 9
    c.VerifyAfterTune(2, 1, 9);
    Select(c, 0x4010);  // maps nowhere as a frequency (16 MHz): the stream stops
    EXPECT_TRUE(StreamStopped(c));
    Select(c, 473000);  // a later selection that succeeds resumes it
    c.VerifyAfterTune(2, 0, 0);
    Select(c, 195000);  // VHF is not served here: refused before the plug-in sees it
    EXPECT_TRUE(StreamStopped(c));
    Select(c, 767999);  // UHF 49
    c.VerifyAfterTune(2, 0, 49);
    EXPECT_EQ(CountLines(run.dir.File(L"BonDriver_SimT.log"), "tune 2 8"), 0);
    EXPECT_EQ(CountLines(run.dir.File(L"BonDriver_SimT.log"), "tune 0 49"), 1);
    EXPECT_TRUE(run.Exit(15000));
}

TEST(Tuning, SatelliteTsidsAndUnservedBands)
{
    CHostRun run(L"tuneS");
    run.SetSim(S, "RateKBps=8000\r\n");
    // CS set to none the way the settings sheet stores it: the number of spaces.
    run.SetHostIni("[BonDriver_SimS.dll_Config]\r\nTuningSpaceCS=2\r\n");
    ASSERT_TRUE(run.Start());
    CStreamClient c;
    ASSERT_EQ(c.Connect(S), ClientError::None);
    Select(c, 0x40F2);  // BS 10
    c.VerifyAfterTune(2, 0, 10);
    Select(c, 0x4012);  // not in the table: stays on BS 10
    c.Verify(2, 0, 10);
    Select(c, 0x7041);  // CS, not served
    EXPECT_TRUE(StreamStopped(c));
    Select(c, 0x4031);  // BS 3
    c.VerifyAfterTune(2, 0, 3);
    EXPECT_EQ(run.Count(S, "tune 2 1"), 0);
    EXPECT_TRUE(run.Exit(15000));
}

TEST(Tuning, FixedChannelAndRefusedTunes)
{
    CHostRun run(L"tunefixed");
    run.SetSim(T, "RateKBps=8000\r\n");
    run.SetSim(S, "TuneFails=1\r\n");
    run.SetHostIni("[BonDriver_SimT.dll_Config]\r\nFixChannel=1\r\nFixedTuningSpace=1\r\nFixedChannel=30\r\n"
                   "[BonDriver_SimS.dll_Config]\r\nFixChannel=1\r\nFixedTuningSpace=0\r\nFixedChannel=500\r\n");
    ASSERT_TRUE(run.Start());
    CStreamClient t;
    ASSERT_EQ(t.Connect(T), ClientError::None);
    Select(t, 521143);  // any request that maps tunes the fixed channel
    t.VerifyAfterTune(2, 1, 30);
    // A fixed channel beyond the plug-in's channels is brought back to 0 when
    // the settings are read; a plug-in that refuses the tune stops the stream.
    CStreamClient s;
    ASSERT_EQ(s.Connect(S), ClientError::None);
    Select(s, 0x4010);
    EXPECT_TRUE(StreamStopped(s));
    EXPECT_EQ(run.Count(S, "tune 0 0"), 1);
    t.Verify(1, 1, 30);  // the other kind is untouched
    EXPECT_TRUE(run.Exit(15000));
}

TEST(Tuning, PluginsWithTheirInterfacesAtAnOffsetOrInAVirtualBase)
{
    CHostRun run(L"tunelayouts");
    run.SetSim(T, "RateKBps=8000\r\nLayout=1\r\n");
    run.SetSim(S, "RateKBps=8000\r\nLayout=2\r\n");
    ASSERT_TRUE(run.Start());
    CStreamClient t, s;
    ASSERT_EQ(t.Connect(T), ClientError::None);
    ASSERT_EQ(s.Connect(S), ClientError::None);
    Select(t, 521143);  // UHF 8
    t.VerifyAfterTune(2, 0, 8);
    Select(s, 0x40F2);  // BS 10
    s.VerifyAfterTune(2, 0, 10);
    EXPECT_EQ(run.Count(T, "tune 0 8"), 1);
    EXPECT_EQ(run.Count(S, "tune 0 10"), 1);
    EXPECT_TRUE(run.Exit(15000));
}

TEST(Descrambler, TransformsEveryByteAndIsSharedByBothKinds)
{
    CHostRun run(L"b25shared");
    run.AddDescrambler("");
    ASSERT_TRUE(run.Start());
    {
        CStreamClient t, s;
        ASSERT_EQ(t.Connect(T), ClientError::None);
        ASSERT_EQ(s.Connect(S), ClientError::None);
        t.Verify(2, 0, 0, true);
        s.Verify(2, 0, 0, true);
        Select(t, 521143);  // a retune starts the instance up again, with a new key
        t.VerifyAfterTune(2, 0, 8, true);
        // One library in each kind's plug-in host.
        EXPECT_EQ(run.CountDescrambler("load"), 2);
        EXPECT_EQ(run.CountDescrambler("create"), 2);
        EXPECT_EQ(run.CountDescrambler("configure"), 2);  // both seen as IB25Decoder2
        t.client.CloseControl();
        t.client.CloseData();
        // The terrestrial host's; the satellite client's is in use.
        EXPECT_TRUE(WaitUntil([&] { return run.CountDescrambler("unload") == 1; }, 5000));
        EXPECT_EQ(run.CountDescrambler("release"), 1);
        s.Verify(1, 0, 0, true);
    }
    EXPECT_TRUE(WaitUntil([&] { return run.CountDescrambler("unload") == 2; }, 5000));
    EXPECT_EQ(run.CountDescrambler("release"), 2);
    EXPECT_TRUE(run.Exit(15000));
}

TEST(Descrambler, FailingStartUpIsReleasedAtOnceAndTheStreamFlowsPlain)
{
    CHostRun run(L"b25fails");
    run.AddDescrambler("StartupFails=1\r\n");
    ASSERT_TRUE(run.Start());
    CStreamClient c;
    ASSERT_EQ(c.Connect(T), ClientError::None);
    c.Verify(2);
    EXPECT_EQ(run.CountDescrambler("create"), 1);
    EXPECT_EQ(run.CountDescrambler("release"), 1);
    EXPECT_EQ(run.CountDescrambler("unload"), 1);
    EXPECT_EQ(run.CountDescrambler("configure"), 0);
    EXPECT_TRUE(run.Exit(15000));
}

TEST(Descrambler, OddResultsOfTheInstance)
{
    CHostRun run(L"b25modes");
    ASSERT_TRUE(run.Start());
    // Without IB25Decoder2: used all the same, without the extra call.
    run.AddDescrambler("NoInterface2=1\r\n");
    {
        CStreamClient c;
        ASSERT_EQ(c.Connect(T), ClientError::None);
        c.Verify(2, 0, 0, true);
        EXPECT_EQ(run.CountDescrambler("configure"), 0);
    }
    // Nothing out, or a failure: the blocks are dropped, the host goes on.
    for (const char* mode : {"OutputMode=1\r\n", "OutputMode=3\r\n"}) {
        run.AddDescrambler(mode);
        CStreamClient c;
        ASSERT_EQ(c.Connect(T), ClientError::None);
        DWORD got = 0;
        EXPECT_EQ(c.Read(got, 2000), ClientError::Timeout) << mode;
    }
    // A different byte count: whole messages still.
    run.AddDescrambler("OutputMode=2\r\n");
    CStreamClient c;
    ASSERT_EQ(c.Connect(T), ClientError::None);
    DWORD got = 0;
    ASSERT_EQ(c.Read(got, 8000), ClientError::None);
    EXPECT_EQ(got, kDataMessageSize);
    c.client.CloseControl();
    EXPECT_TRUE(WaitUntil([&] { return run.CountDescrambler("unload") == 4; }, 5000));
    EXPECT_TRUE(run.Exit(15000));
}
