// The data pipe of the real TunerHost: what arrives, and what clients that
// misbehave leave for the next one.
#include "relay/HostRun.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
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

// A client that closed its data pipe and sends command 1, as the protocol
// says, gets the pipe again: also when the data worker has not noticed yet
// that its client went (here never, as no data flows to write).
TEST(DataPipe, Command1AfterTheDataClientLeftOffersThePipeAgain)
{
    CHostRun run(L"rearmgone");
    run.SetSim(T, "FetchMode=2\r\n");
    ASSERT_TRUE(run.Start());
    CTunerClient c;
    ASSERT_EQ(c.ConnectControl(T), ClientError::None);
    ASSERT_EQ(c.ConnectData(), ClientError::None);
    for (int round = 0; round < 3; ++round) {
        c.CloseData();
        uint32_t reply = 0;
        ASSERT_EQ(c.Command(kCmdRearmData, &reply, 5000), ClientError::None) << "round " << round;
        EXPECT_EQ(reply, 1u);
        EXPECT_EQ(c.OpenData(2000), ClientError::None) << "round " << round;
    }
    EXPECT_TRUE(run.Exit(15000));
}

// Another process opens and closes the data pipe in a tight loop while a
// client re-arms it again and again: an instance that such a visitor opened
// and left before it was listened on must not leave command 1 waiting.
TEST(DataPipe, Command1SurvivesVisitorsThatComeAndGo)
{
    CHostRun run(L"visitors");
    run.SetSim(T, "FetchMode=2\r\n");
    ASSERT_TRUE(run.Start());
    CTunerClient c;
    ASSERT_EQ(c.ConnectControl(T), ClientError::None);
    std::atomic<bool> done{false};
    std::thread visitor([&] {
        while (!done) {
            HANDLE h = CreateFileW(DataPipeName(T), GENERIC_READ, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (h != INVALID_HANDLE_VALUE) CloseHandle(h);
        }
    });
    int replied = 0;
    for (int i = 0; i < 300; ++i) {
        uint32_t reply = 0;
        if (c.Command(kCmdPauseData, &reply, 10000) != ClientError::None) break;
        if (c.Command(kCmdRearmData, &reply, 10000) != ClientError::None) break;
        ++replied;
    }
    done = true;
    visitor.join();
    EXPECT_EQ(replied, 300);
    EXPECT_TRUE(run.Exit(15000));
}

// The data pipe's one instance is TunerHost's for as long as it serves the
// kind: between a client's commands 0 and 1, and between two clients, no other
// process can make one under its name. Between two clients it listens, so
// that a client can tell that the stream goes to no one.
TEST(DataPipe, NoOtherProcessCanMakeTheDataPipe)
{
    CHostRun run(L"squatter");
    run.SetSim(T, "RateKBps=8000\r\n");
    ASSERT_TRUE(run.Start());
    auto squat = [] {
        for (DWORD instances : {DWORD(1), DWORD(PIPE_UNLIMITED_INSTANCES)}) {
            CFileHandle squatter(CreateNamedPipeW(DataPipeName(T), PIPE_ACCESS_OUTBOUND, PIPE_TYPE_MESSAGE, instances,
                                                  4096, 4096, 0, nullptr));
            if (squatter) return true;
        }
        return false;
    };
    for (int round = 0; round < 2; ++round) {
        CStreamClient c;
        ASSERT_EQ(c.Connect(T), ClientError::None);
        uint32_t reply = 0;
        ASSERT_EQ(c.client.Command(kCmdPauseData, &reply), ClientError::None);
        EXPECT_FALSE(squat()) << "between commands 0 and 1, round " << round;
        ASSERT_EQ(c.client.ConnectData(), ClientError::None);
        c.Verify(2);
        EXPECT_TRUE(TunerStreamGoesToAnother(T));
    }
    EXPECT_TRUE(WaitUntil([] { return !TunerStreamGoesToAnother(T); }, 5000)) << "between two clients";
    EXPECT_FALSE(squat()) << "between two clients";
    EXPECT_EQ(ServedWithin(T, 10000), ClientError::None);
    EXPECT_TRUE(run.Exit(15000));
}

// A data pipe that another process made first (before TunerHost started) is
// refused by the client: its server is not the control pipe's. TunerHost
// still serves the kind once the name is free.
TEST(DataPipe, AClientRefusesADataPipeOfAnotherProcess)
{
    CFileHandle squatter(CreateNamedPipeW(DataPipeName(T), PIPE_ACCESS_OUTBOUND | FILE_FLAG_OVERLAPPED,
                                          PIPE_TYPE_MESSAGE, 1, 4096, 4096, 0, nullptr));
    ASSERT_TRUE(squatter);
    CHandle connected(CreateEventW(nullptr, TRUE, FALSE, nullptr));
    OVERLAPPED ov = {};
    ov.hEvent = connected.Get();
    ASSERT_FALSE(ConnectNamedPipe(squatter.Get(), &ov));
    ASSERT_EQ(GetLastError(), static_cast<DWORD>(ERROR_IO_PENDING));
    CHostRun run(L"impostor");
    run.SetSim(T, "RateKBps=8000\r\n");
    ASSERT_TRUE(run.Start());
    {
        CTunerClient c;
        ASSERT_EQ(c.ConnectControl(T), ClientError::None);
        EXPECT_EQ(c.ConnectData(2000), ClientError::ChallengeMismatch);
        EXPECT_EQ(WaitForSingleObject(connected.Get(), 0), WAIT_OBJECT_0) << "the client never reached the impostor";
    }
    DisconnectNamedPipe(squatter.Get());
    squatter.Reset();
    EXPECT_EQ(ServedWithin(T, 20000), ClientError::None);
    EXPECT_TRUE(run.Exit(15000));
}
