// Plug-ins and descramblers that fault, lie or never come back, against the
// real TunerHost: the thread inside the call is ended there, the module kept
// loaded and its object never called again, the connection ends as a failed
// open ends it, and the other kind and TunerHost go on.
#include "relay/HostRun.h"

#include <gtest/gtest.h>

namespace {

const auto T = TunerKind::Terrestrial;
const auto S = TunerKind::Satellite;

// True when TunerHost ends the client's connection within ms (keep-alives
// until one fails).
bool EndedWithin(CTunerClient& c, DWORD ms)
{
    return WaitUntil([&] { return c.Command(4, nullptr, 2000) != ClientError::None; }, ms);
}

std::string Narrow(const std::wstring& w) { return std::string(w.begin(), w.end()); }

}  // namespace

TEST(Fault, APluginThatFaultsEndsOnlyItsOwnConnection)
{
    CHostRun run(L"pluginfault");
    run.SetSim(T, "RateKBps=8000\r\n");
    run.SetSim(S, "RateKBps=4000\r\n");
    ASSERT_TRUE(run.Start());
    CStreamClient other;  // the other kind streams throughout
    ASSERT_EQ(other.Connect(S), ClientError::None);
    int faults = 0;
    for (const char* kind : {"1", "2"}) {
        SCOPED_TRACE(std::string("fault kind ") + kind);
        // Open: the open fails.
        run.SetSim(T, std::string("OpenFault=") + kind + "\r\n");
        {
            CStreamClient c;
            EXPECT_NE(c.Connect(T), ClientError::None);
        }
        EXPECT_EQ(run.Count(T, "fault"), ++faults);
        // Tune: the retune gets no reply.
        run.SetSim(T, std::string("RateKBps=8000\r\nTuneFault=") + kind + "\r\n");
        {
            CStreamClient c;
            ASSERT_EQ(c.Connect(T), ClientError::None);
            EXPECT_EQ(c.client.Command(2, 521143u, nullptr, 10000), ClientError::Closed);
        }
        EXPECT_EQ(run.Count(T, "fault"), ++faults);
        // FetchBlock, on the reception thread, once the stream flows (on a
        // slow day, before the open is through: then the open fails).
        run.SetSim(T, std::string("RateKBps=8000\r\nFetchFaultAfterMs=1000\r\nFetchFault=") + kind + "\r\n");
        {
            CStreamClient c;
            if (c.Connect(T) == ClientError::None) {
                EXPECT_TRUE(EndedWithin(c.client, 15000)) << "the connection went on after FetchBlock faulted";
            }
            EXPECT_TRUE(WaitUntil([&] { return run.Count(T, "fault") == faults + 1; }, 10000));
        }
        EXPECT_EQ(run.Count(T, "fault"), ++faults);
        run.SetSim(T, "RateKBps=8000\r\n");
        EXPECT_EQ(ServedWithin(T, 10000), ClientError::None);
        ASSERT_TRUE(run.host.Running());
    }
    // A faulted object is never closed or destroyed (those whose Tune or
    // FetchBlock faulted had opened); its DLL is never unloaded: its host
    // ends with it. Every other load is unloaded.
    EXPECT_TRUE(WaitUntil([&] { return run.Count(T, "close") == run.Count(T, "open") - 4; }, 10000))
        << run.Count(T, "close") << " closes of " << run.Count(T, "open") << " opens";
    EXPECT_TRUE(WaitUntil([&] { return run.Count(T, "load") - run.Count(T, "unload") == faults; }, 10000))
        << run.Count(T, "unload") << " unloads of " << run.Count(T, "load") << " loads";
    DWORD got = 0;
    EXPECT_EQ(other.Read(got), ClientError::None) << "the other kind's stream stopped";
    EXPECT_TRUE(run.Exit(30000));
}

TEST(Fault, ADescramblerThatFaultsEndsOnlyItsOwnConnection)
{
    CHostRun run(L"decodefault");
    run.SetSim(T, "RateKBps=8000\r\n");
    ASSERT_TRUE(run.Start());
    const std::wstring trigger = run.dir.File(L"fault-now");
    for (const char* kind : {"1", "2"}) {
        SCOPED_TRACE(std::string("fault kind ") + kind);
        DeleteFileW(trigger.c_str());
        run.AddDescrambler(std::string("DecodeFault=") + kind + "\r\nTrigger=" + Narrow(trigger) + "\r\n");
        CStreamClient c;
        ASSERT_EQ(c.Connect(T), ClientError::None);
        DWORD got = 0;
        ASSERT_EQ(c.Read(got), ClientError::None);
        WriteTextFile(trigger, "");
        EXPECT_TRUE(EndedWithin(c.client, 15000)) << "the connection went on after Decode faulted";
    }
    run.AddDescrambler("");
    EXPECT_EQ(ServedWithin(T, 10000), ClientError::None);
    EXPECT_TRUE(run.host.Running());
    EXPECT_EQ(run.CountDescrambler("fault"), 2);
    // The healthy instance's only, at the end of its connection.
    EXPECT_TRUE(WaitUntil([&] { return run.CountDescrambler("release") == 1; }, 10000));
    Sleep(500);
    EXPECT_EQ(run.CountDescrambler("release"), 1);
    EXPECT_EQ(run.CountDescrambler("unload"), 1);  // its host's; those that faulted ended with theirs
    EXPECT_TRUE(run.Exit(30000));
}

// A plug-in whose Open never returns, holding the lock its unload takes, and a
// descrambler whose factory never returns: the client gives up, then Exit.
// TunerHost must end (it holds the single-instance object) and start again.
TEST(Fault, CallsThatNeverReturnDoNotKeepTunerHostFromExiting)
{
    for (int descrambler = 0; descrambler < 2; ++descrambler) {
        SCOPED_TRACE(descrambler ? "descrambler factory" : "plug-in Open");
        CHostRun run(L"neverreturns");
        ASSERT_TRUE(run.Start());
        if (descrambler) run.AddDescrambler("CreateHang=1\r\n");
        else run.SetSim(T, "OpenHangMs=-1\r\nHangHoldsLock=1\r\n");
        {
            CTunerClient c;
            EXPECT_EQ(c.ConnectControl(T), ClientError::None);
            ASSERT_TRUE(WaitUntil([&] { return (descrambler ? run.CountDescrambler("hang") : run.Count(T, "hang")) == 1; },
                                  10000));
            EXPECT_NE(c.Command(4, nullptr, 1000), ClientError::None);
        }
        ASSERT_TRUE(run.Exit(30000)) << "TunerHost did not end";
        run.SetSim(T, "");
        run.AddDescrambler("");
        ASSERT_TRUE(run.Start()) << "TunerHost could not start again";
        EXPECT_EQ(ServedWithin(T, 10000), ClientError::None);
        EXPECT_TRUE(run.Exit(30000));
    }
}

// FetchBlock that says more is waiting but hands nothing: the reception thread
// must pace itself as for any empty pass, not call again at once for ever.
TEST(Fault, APluginThatSaysDataIsWaitingButHandsNoneIsNotSpunOn)
{
    CHostRun run(L"waitinglies");
    ASSERT_TRUE(run.Start());
    run.SetSim(T, "WaitingLies=1\r\n");
    {
        CTunerClient c;
        ASSERT_EQ(c.ConnectControl(T), ClientError::None);
        Sleep(2000);
    }
    ASSERT_TRUE(WaitUntil([&] { return run.Count(T, "close") == 2; }, 10000));  // the probe's, then ours
    const std::string log = ReadTextFile(run.dir.File(L"BonDriver_SimT.log"));
    const size_t at = log.find("fetches ");
    ASSERT_NE(at, std::string::npos);
    const unsigned long fetches = std::stoul(log.substr(at + 8));
    // Paced, at most one pass a millisecond; spun, hundreds of thousands.
    EXPECT_LT(fetches, 5000u) << fetches << " calls in about 2 s";
    EXPECT_TRUE(run.Exit(30000));
}

// A plug-in whose Open never returns, holding a lock: the connection ends at
// the open's deadline, without waiting for Exit, and the kind serves its next
// client; the other kind streams throughout.
TEST(Fault, ACallThatNeverReturnsEndsItsConnectionAtItsDeadline)
{
    CHostRun run(L"deadline");
    run.SetSim(S, "RateKBps=4000\r\n");
    ASSERT_TRUE(run.Start());
    CStreamClient other;
    ASSERT_EQ(other.Connect(S), ClientError::None);
    run.SetSim(T, "OpenHangMs=-1\r\nHangHoldsLock=1\r\n");
    {
        CTunerClient c;
        ASSERT_EQ(c.ConnectControl(T), ClientError::None);
        ASSERT_TRUE(WaitUntil([&] { return run.Count(T, "hang") == 1; }, 15000));
        // The open's first reply never comes; the pipe is closed at the deadline.
        const ClientError e = c.Command(kCmdKeepAlive, nullptr, 40000);
        EXPECT_TRUE(e == ClientError::TunerFailed || e == ClientError::Closed) << e;
    }
    run.SetSim(T, "");
    EXPECT_EQ(ServedWithin(T, 15000), ClientError::None);
    DWORD got = 0;
    EXPECT_EQ(other.Read(got), ClientError::None) << "the other kind's stream stopped";
    EXPECT_TRUE(run.Exit(30000));
}
