// The control pipe of the real TunerHost, through the client library.
#include "relay/HostRun.h"

#include <gtest/gtest.h>

#include <cmath>

namespace {

ULONGLONG MsSince(ULONGLONG start)
{
    return GetTickCount64() - start;
}

}  // namespace

TEST(ControlPipe, EveryCommandReplies)
{
    CHostRun run(L"commands");
    run.SetSim(TunerKind::Terrestrial, "RateKBps=8000\r\n");
    ASSERT_TRUE(run.Start());

    CTunerClient t;
    ASSERT_EQ(t.ConnectControl(TunerKind::Terrestrial), ClientError::None);
    uint32_t reply = 0;
    ASSERT_EQ(t.Command(kCmdKeepAlive, &reply), ClientError::None);  // the first command of a connection
    EXPECT_EQ(reply, 1u);

    // The same challenge gets the same answer on both kinds, and it is ours.
    const uint8_t challenge[4] = {0x78, 0x56, 0x34, 0x12};
    uint32_t answerT = 0, answerS = 0;
    ASSERT_EQ(t.Command(kCmdChallenge, 0x12345678u, &answerT), ClientError::None);
    CTunerClient s;
    ASSERT_EQ(s.ConnectControl(TunerKind::Satellite), ClientError::None);
    ASSERT_EQ(s.Command(kCmdChallenge, 0x12345678u, &answerS), ClientError::None);
    EXPECT_EQ(answerT, ExpectedChallengeReply(challenge));
    EXPECT_EQ(answerT, 0x363D6DF5u);  // the worked example of docs/protocol.md
    EXPECT_EQ(answerS, answerT);
    EXPECT_EQ(s.Challenge(), ClientError::None);

    // Command 3 with nothing flowing waits its second out; it and unknown
    // codes answer with the reply value left by the command before.
    ULONGLONG start = GetTickCount64();
    ASSERT_EQ(t.Command(kCmdWaitForData, &reply), ClientError::None);
    EXPECT_GE(MsSince(start), 900u);
    EXPECT_EQ(reply, answerT);
    ASSERT_EQ(t.Command(9, &reply), ClientError::None);
    EXPECT_EQ(reply, answerT);
    ASSERT_EQ(t.Command(kCmdPauseData, &reply), ClientError::None);
    EXPECT_EQ(reply, 1u);
    ASSERT_EQ(t.Command(0xFF, &reply), ClientError::None);
    EXPECT_EQ(reply, 1u);
    ASSERT_EQ(t.Command(kCmdSelectChannel, 521143u, &reply), ClientError::None);
    EXPECT_EQ(reply, 1u);

    // With data flowing, command 3 answers once a chunk has been written.
    ASSERT_EQ(t.ConnectData(), ClientError::None);
    std::vector<uint8_t> buffer(kDataMessageSize);
    DWORD got = 0;
    ASSERT_EQ(t.ReadData(buffer.data(), kDataMessageSize, got, 5000), ClientError::None);
    start = GetTickCount64();
    ASSERT_EQ(t.Command(kCmdWaitForData, &reply), ClientError::None);
    EXPECT_LT(MsSince(start), 900u);
    EXPECT_EQ(reply, 1u);
    // Command 1 while the data pipe is connected ends that connection and
    // offers the pipe anew; so does command 1 twice while it listens. Each
    // replies, and a data client is served after each.
    ASSERT_EQ(t.Command(kCmdRearmData, &reply, 3000), ClientError::None);
    EXPECT_EQ(reply, 1u);
    t.CloseData();
    ASSERT_EQ(t.OpenData(3000), ClientError::None);
    ASSERT_EQ(t.ReadData(buffer.data(), kDataMessageSize, got, 5000), ClientError::None);
    ASSERT_EQ(t.Command(kCmdPauseData, &reply), ClientError::None);
    ASSERT_EQ(t.Command(kCmdRearmData, &reply, 3000), ClientError::None);
    ASSERT_EQ(t.Command(kCmdRearmData, &reply, 3000), ClientError::None);
    t.CloseData();
    ASSERT_EQ(t.OpenData(3000), ClientError::None);
    ASSERT_EQ(t.ReadData(buffer.data(), kDataMessageSize, got, 5000), ClientError::None);
    // Command 8: the signal level as the plug-in's host last read it (the
    // simulated plug-in's, UHF 21 tuned: 20.8), never the 1 that a TunerHost
    // older than the command answers after a 4.
    EXPECT_TRUE(WaitUntil([&] { return t.Command(kCmdSignalLevel, &reply) == ClientError::None &&
                                       std::abs(LevelOfReply(reply) - 20.8f) < 0.01f; }, 5000))
        << LevelOfReply(reply);
    EXPECT_EQ(LevelReply(LevelOfReply(kKeepAliveReply)), 0u);
    // A value that selects nothing still gets 1.
    ASSERT_EQ(t.Command(kCmdSelectChannel, 0u, &reply), ClientError::None);
    EXPECT_EQ(reply, 1u);
    EXPECT_TRUE(run.Exit(15000));
}

TEST(ControlPipe, MalformedMessagesEndOnlyThatConnection)
{
    CHostRun run(L"malformed");
    ASSERT_TRUE(run.Start());
    const auto T = TunerKind::Terrestrial;
    auto served = [&] {
        CTunerClient c;
        uint32_t reply = 0;
        return c.ConnectControl(T) == ClientError::None && c.Command(kCmdKeepAlive, &reply) == ClientError::None &&
               reply == 1;
    };
    uint32_t reply = 0;
    {   // a command and its argument in one message
        CTunerClient c;
        ASSERT_EQ(c.ConnectControl(T), ClientError::None);
        const uint8_t joined[5] = {kCmdSelectChannel, 1, 2, 3, 4};
        ASSERT_EQ(c.SendRaw(joined, 5), ClientError::None);
        EXPECT_NE(c.ReadReply(reply, 5000), ClientError::None);
    }
    EXPECT_TRUE(served());
    {   // a short argument
        CTunerClient c;
        ASSERT_EQ(c.ConnectControl(T), ClientError::None);
        const uint8_t cmd = kCmdChallenge, shortArg[2] = {1, 2};
        ASSERT_EQ(c.SendRaw(&cmd, 1), ClientError::None);
        ASSERT_EQ(c.SendRaw(shortArg, 2), ClientError::None);
        EXPECT_NE(c.ReadReply(reply, 5000), ClientError::None);
    }
    {   // a client that goes away in the middle of a command
        CTunerClient c;
        ASSERT_EQ(c.ConnectControl(T), ClientError::None);
        const uint8_t cmd = kCmdSelectChannel;
        ASSERT_EQ(c.SendRaw(&cmd, 1), ClientError::None);
    }
    EXPECT_TRUE(served());
    {   // two clients racing for one pipe
        CTunerClient first, second;
        ASSERT_EQ(first.ConnectControl(T), ClientError::None);
        EXPECT_EQ(second.ConnectControl(T, 500), ClientError::Busy);
        ASSERT_EQ(first.Command(kCmdKeepAlive, &reply), ClientError::None);
    }
    EXPECT_TRUE(served());
    // Every connection opened the tuner once and closed it, down to the unload.
    EXPECT_TRUE(WaitUntil([&] { return run.Count(T, "unload") == run.Count(T, "load"); }, 5000));
    const int opens = run.Count(T, "open");
    EXPECT_GE(opens, 7);  // the probe and six connections
    EXPECT_EQ(run.Count(T, "close"), opens);
    EXPECT_EQ(run.Count(T, "destroy"), opens);
    // The other kind saw only the start-up probe.
    EXPECT_EQ(run.Count(TunerKind::Satellite, "open"), 1);
    EXPECT_TRUE(run.Exit(15000));
}

TEST(ControlPipe, FailingPluginsAreClosedAndTheNextClientServed)
{
    CHostRun run(L"pluginfaults");
    ASSERT_TRUE(run.Start());
    const auto T = TunerKind::Terrestrial;
    uint32_t reply = 0;
    for (const char* fault : {"OpenFails=1\r\n", "FactoryNull=1\r\n", "NoInterface2=1\r\n"}) {
        run.SetSim(T, fault);
        CTunerClient c;
        ASSERT_EQ(c.ConnectControl(T), ClientError::None);
        EXPECT_EQ(c.Command(kCmdKeepAlive, &reply), ClientError::TunerFailed) << fault;
    }
    // A FetchBlock that never returns: Start gives up at its bound and the
    // stuck thread is ended at the stop bounds.
    run.SetSim(T, "FetchHangMs=120000\r\n");
    {
        CTunerClient c;
        ASSERT_EQ(c.ConnectControl(T), ClientError::None);
        const ULONGLONG start = GetTickCount64();
        EXPECT_EQ(c.Command(kCmdKeepAlive, &reply, 20000), ClientError::TunerFailed);
        EXPECT_LT(GetTickCount64() - start, 12000u);
    }
    // Nothing at all, then odd sizes: served all the same.
    for (const char* mode : {"FetchMode=2\r\n", "FetchMode=1\r\n"}) {
        run.SetSim(T, mode);
        CTunerClient c;
        ASSERT_EQ(c.ConnectControl(T), ClientError::None);
        ASSERT_EQ(c.Command(kCmdKeepAlive, &reply), ClientError::None) << mode;
        ASSERT_EQ(c.ConnectData(), ClientError::None);
        std::vector<uint8_t> buffer(kDataMessageSize);
        DWORD got = 0;
        const ClientError e = c.ReadData(buffer.data(), kDataMessageSize, got, 3000);
        EXPECT_EQ(e, mode[10] == '2' ? ClientError::Timeout : ClientError::None) << mode;
    }
    EXPECT_TRUE(run.host.Running());
    EXPECT_TRUE(run.Exit(15000));
}

// A holder that yields (command 6) gives the tuner to the next client: that
// client's first CreateFile succeeds, TunerHost ends the holder's connection
// as if it had closed it and serves the newcomer as any client. A holder
// that does not yield, or takes it back (7), keeps the pipe busy. No other
// process can make an instance of the pipe beside TunerHost's two.
TEST(ControlPipe, AHolderThatYieldsGivesTheTunerToTheNextClient)
{
    CHostRun run(L"yield");
    const auto T = TunerKind::Terrestrial;
    run.SetSim(T, "RateKBps=8000\r\n");
    ASSERT_TRUE(run.Start());
    auto squatted = [&] {
        CFileHandle h(CreateNamedPipeW(ControlPipeName(T), PIPE_ACCESS_DUPLEX, PIPE_TYPE_MESSAGE,
                                       PIPE_UNLIMITED_INSTANCES, 256, 256, 0, nullptr));
        return static_cast<bool>(h);
    };
    CStreamClient holder;
    ASSERT_EQ(holder.Connect(T), ClientError::None);
    DWORD got = 0;
    ASSERT_EQ(holder.Read(got), ClientError::None);
    EXPECT_FALSE(squatted());
    CStreamClient next;
    EXPECT_EQ(next.client.ConnectControl(T, 300), ClientError::Busy);
    uint32_t reply = 0;
    ASSERT_EQ(holder.client.Command(kCmdYield, &reply), ClientError::None);
    EXPECT_EQ(reply, kYieldingReply);
    EXPECT_FALSE(squatted());
    ASSERT_EQ(holder.client.Command(kCmdKeep, &reply), ClientError::None);
    EXPECT_EQ(reply, 1u);
    EXPECT_EQ(next.client.ConnectControl(T, 300), ClientError::Busy);
    ASSERT_EQ(holder.Read(got), ClientError::None);
    const int opens = run.Count(T, "open"), closes = run.Count(T, "close");

    ASSERT_EQ(holder.client.Command(kCmdYield, &reply), ClientError::None);
    const ULONGLONG start = GetTickCount64();
    ASSERT_EQ(next.client.ConnectControl(T, 0), ClientError::None);  // one CreateFile
    ASSERT_EQ(next.client.Challenge(), ClientError::None);
    ASSERT_EQ(next.client.ConnectData(), ClientError::None);
    ASSERT_EQ(next.client.Command(kCmdSelectChannel, 557143u, nullptr), ClientError::None);  // UHF 27
    next.VerifyAfterTune(2, 0, 14);
    EXPECT_LT(GetTickCount64() - start, 5000u);
    ClientError e = ClientError::None;
    for (int i = 0; i < 8 && e == ClientError::None; ++i) e = holder.Read(got, 3000);
    EXPECT_EQ(e, ClientError::Closed);
    EXPECT_NE(holder.client.Command(kCmdKeepAlive, &reply, 3000), ClientError::None);
    EXPECT_EQ(run.Count(T, "close"), closes + 1);
    EXPECT_EQ(run.Count(T, "open"), opens + 1);

    // A yielding holder that leaves on its own leaves the pipe as any client.
    ASSERT_EQ(next.client.Command(kCmdYield, &reply), ClientError::None);
    EXPECT_FALSE(squatted());
    next.client.CloseData();
    next.client.CloseControl();
    EXPECT_FALSE(squatted());  // nor between two clients
    CStreamClient third;
    ASSERT_EQ(third.Connect(T), ClientError::None);
    ASSERT_EQ(third.Read(got), ClientError::None);
    EXPECT_EQ(CTunerClient().ConnectControl(T, 300), ClientError::Busy);
    EXPECT_TRUE(run.Exit(15000));
}
