// Plug-ins and descramblers that do not come back: TunerHost cuts their
// threads off at the stop bounds and must then neither unload them nor wait on
// them without a bound, and a slow but honest close must not be cut short.
#include "relay/HostRun.h"

#include <gtest/gtest.h>

namespace {

const auto T = TunerKind::Terrestrial;

}  // namespace

// FetchBlock stalls past the stop bounds and the reception thread is
// terminated inside it. With ReaderThread=1 the stalled call holds the
// plug-in's lock, which its unload takes to stop its reader; with 2 the reader
// runs on in the plug-in's code. Unloading it would hang TunerHost in the
// loader, or crash it; it must stay loaded, and the next client be served.
TEST(CutOff, APluginCutOffInsideACallIsNeverUnloaded)
{
    for (const char* reader : {"ReaderThread=1\r\n", "ReaderThread=2\r\n"}) {
        CHostRun run(L"cutoff");
        run.SetSim(T, std::string("RateKBps=8000\r\nFetchHangAfterMs=1500\r\nFetchHangMs=120000\r\n") + reader);
        ASSERT_TRUE(run.Start());
        {
            CStreamClient c;
            ASSERT_EQ(c.Connect(T), ClientError::None) << reader;
            DWORD got = 0;
            EXPECT_EQ(c.Read(got), ClientError::None) << reader;
            ASSERT_TRUE(WaitUntil([&] { return run.Count(T, "hang") == 1; }, 10000)) << reader;
        }
        // The stalled tuner is closed at the end of that connection.
        run.SetSim(T, std::string("RateKBps=8000\r\n") + reader);
        EXPECT_EQ(ServedWithin(T, 30000), ClientError::None) << reader;
        EXPECT_TRUE(run.host.Running()) << reader;
        // The probe's and the served client's; never the stalled one's, whose
        // host is ended instead.
        EXPECT_TRUE(WaitUntil([&] { return run.Count(T, "destroy") == 2; }, 10000)) << reader;
        Sleep(500);
        EXPECT_EQ(run.Count(T, "unload"), 2) << reader;
        EXPECT_TRUE(run.Exit(30000)) << reader;
    }
}

// A descrambler whose Decode blocks (a card reader that does not answer): the
// retune's purge cannot park the relay worker. The connection ends instead of
// waiting for ever, and the kind serves the next client. The descrambler
// hangs only once the client has its stream (the trigger file): hung before
// the tuner's start, it would fail the open instead.
TEST(CutOff, ARetuneBehindAStuckDescramblerEndsTheConnection)
{
    CHostRun run(L"decodehang");
    run.SetSim(T, "RateKBps=8000\r\n");
    const std::wstring trigger = run.dir.File(L"hang-now");
    run.AddDescrambler("DecodeHangMs=120000\r\nTrigger=" + std::string(trigger.begin(), trigger.end()) + "\r\n");
    ASSERT_TRUE(run.Start());
    {
        CStreamClient c;
        ASSERT_EQ(c.Connect(T), ClientError::None);
        DWORD got = 0;
        ASSERT_EQ(c.Read(got), ClientError::None);
        WriteTextFile(trigger, "");
        ASSERT_TRUE(WaitUntil([&] { return run.CountDescrambler("hang") == 1; }, 10000));
        const ULONGLONG start = GetTickCount64();
        uint32_t reply = 0;
        EXPECT_EQ(c.client.Command(kCmdSelectChannel, 521143u, &reply, 30000), ClientError::Closed);
        EXPECT_LT(GetTickCount64() - start, 15000u);
    }
    run.AddDescrambler("");
    EXPECT_EQ(ServedWithin(T, 30000), ClientError::None);
    EXPECT_EQ(run.CountDescrambler("release"), 0);  // the stuck instance is left alone
    EXPECT_TRUE(run.Exit(30000));
}

// Closing a client's tuner at exit may take longer than any one bound: here
// the descrambler's unload takes 12 s. It is left to a thread of its own; the
// control worker, cut off inside the loader, would leave TunerHost unable to
// exit.
TEST(CutOff, ASlowCloseAtExitIsLetFinish)
{
    CHostRun run(L"slowclose");
    run.SetSim(T, "RateKBps=8000\r\n");
    run.AddDescrambler("DetachMs=12000\r\n");
    ASSERT_TRUE(run.Start());
    CStreamClient c;
    ASSERT_EQ(c.Connect(T), ClientError::None);
    DWORD got = 0;
    ASSERT_EQ(c.Read(got), ClientError::None);
    EXPECT_TRUE(run.Exit(45000));
}
