// The data pipe of the real TunerHost: what arrives, and what clients that
// misbehave leave for the next one.
#include "relay/HostRun.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

const auto T = TunerKind::Terrestrial;
const auto S = TunerKind::Satellite;

}  // namespace

TEST(DataPipe, BothKindsStreamWholeExactMessages)
{
    CHostRun run(L"stream");
    run.SetSim(T, "RateKBps=8000\r\n");
    run.SetSim(S, "RateKBps=8000\r\nFetchMode=1\r\n");  // odd block sizes, packets cut anywhere
    ASSERT_TRUE(run.Start());
    CStreamClient t, s;
    ASSERT_EQ(t.Connect(T), ClientError::None);
    ASSERT_EQ(s.Connect(S), ClientError::None);
    for (int round = 0; round < 3; ++round) {  // interleaved: both flow at once
        t.Verify(2);
        s.Verify(2);
    }
    EXPECT_TRUE(run.Exit(15000));
}

TEST(DataPipe, DisconnectClosesTheTunerAndTheNextClientIsServed)
{
    CHostRun run(L"reconnect");
    run.SetSim(T, "RateKBps=8000\r\n");
    ASSERT_TRUE(run.Start());
    {
        CStreamClient c;
        ASSERT_EQ(c.Connect(T), ClientError::None);
        c.Verify(2);
        EXPECT_TRUE(WaitUntil([&] { return run.Count(T, "open") == 2; }, 1000));
    }
    // Closed, destroyed and unloaded: the probe's and this connection's.
    EXPECT_TRUE(WaitUntil([&] { return run.Count(T, "unload") == 2; }, 5000));
    EXPECT_EQ(run.Count(T, "close"), 2);
    EXPECT_EQ(run.Count(T, "destroy"), 2);
    CStreamClient next;
    ASSERT_EQ(next.Connect(T), ClientError::None);
    next.Verify(2);
    EXPECT_TRUE(run.Exit(15000));
}

// A client that exits closes both pipes at once, often while a chunk is being
// written; the next client must still get its data pipe.
TEST(DataPipe, ClosingBothPipesMidChunkNeverStrandsTheNextClient)
{
    CHostRun run(L"closeboth");
    run.SetSim(T, "RateKBps=40000\r\n");
    ASSERT_TRUE(run.Start());
    for (int i = 0; i < 100; ++i) {
        CStreamClient c;
        ASSERT_EQ(c.Connect(T), ClientError::None) << "round " << i;
        DWORD got = 0;
        ASSERT_EQ(c.Read(got), ClientError::None) << "round " << i;
        ASSERT_EQ(got, kDataMessageSize);
        if (i % 3 == 1) Sleep(i % 7);
        if (i % 2) {
            c.client.CloseData();
            c.client.CloseControl();
        } else {
            c.client.CloseControl();
            c.client.CloseData();
        }
    }
    EXPECT_TRUE(run.Exit(15000));
}

TEST(DataPipe, SlowAndStalledReadersLeaveAFreshStream)
{
    CHostRun run(L"stalled");
    run.SetSim(T, "RateKBps=8000\r\n");
    ASSERT_TRUE(run.Start());
    {   // never reads, then goes away mid-message
        CStreamClient c;
        ASSERT_EQ(c.Connect(T), ClientError::None);
        Sleep(3000);
        DWORD got = 0;
        uint8_t part[1000];
        c.client.ReadData(part, sizeof part, got, 1000);  // a partial read: the rest stays unread
    }
    {   // reads slowly: nothing is lost, only late
        CStreamClient c;
        ASSERT_EQ(c.Connect(T), ClientError::None);
        CSimReplica replica(0, 0);
        for (int i = 0; i < 3; ++i) {
            Sleep(700);
            DWORD got = 0;
            ASSERT_EQ(c.Read(got), ClientError::None);
            ASSERT_EQ(replica.Check(c.buffer.data(), got), "");
        }
    }
    CStreamClient next;
    ASSERT_EQ(next.Connect(T), ClientError::None);
    next.Verify(3);
    EXPECT_TRUE(run.Exit(15000));
}
