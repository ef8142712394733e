// The pipes do not care about bitness: the other build's tsrec (a client of
// the other bitness, on the client library) records from this build's
// TunerHost. The test command runs this on both builds, so both pairings are
// covered.
#include "relay/HostRun.h"

#include <gtest/gtest.h>

#include <cstdlib>

namespace {

// Packets of the given channel in a recording, and whether any other
// channel's packets follow the first of them.
struct Tally {
    int ours = 0, othersAfter = 0;
};
Tally CountPackets(const std::string& ts, uint32_t space, uint32_t channel)
{
    Tally t;
    SimPayload p{};
    for (size_t at = 0; at + kTsPacketSize <= ts.size(); at += kTsPacketSize) {
        if (!ParseSimPayload(reinterpret_cast<const uint8_t*>(ts.data()) + at, p)) continue;
        if (p.space == space && p.channel == channel) ++t.ours;
        else if (t.ours) ++t.othersAfter;
    }
    return t;
}

}  // namespace

TEST(CrossBitness, TheOtherBuildsClientRecordsFromThisHost)
{
    if (const char* reason = std::getenv("TUNERHOST_CROSS_SKIP"); reason && *reason) GTEST_SKIP() << reason;
    const std::wstring otherTsrec = OtherBin() + L"\\tsrec.exe";
    ASSERT_NE(GetFileAttributesW(otherTsrec.c_str()), INVALID_FILE_ATTRIBUTES)
        << "the other build's tsrec.exe is missing (TUNERHOST_OTHER_BIN)";

    CHostRun run(L"crossbits");
    run.SetSim(TunerKind::Satellite, "RateKBps=8000\r\n");
    run.SetSim(TunerKind::Terrestrial, "RateKBps=8000\r\n");
    ASSERT_TRUE(run.Start());
    struct Case {
        const wchar_t* args;
        uint32_t space, channel;
    };
    for (const Case& c : {Case{L"-c 27 -b 2000000 -q -o rec.ts", 0, 14}, Case{L"-s -c 4011 -b 2000000 -q -o rec.ts", 0, 1}}) {
        CChild tsrec;
        const std::wstring outFile = run.dir.File(L"tsrec.out");
        ASSERT_TRUE(tsrec.Start(otherTsrec, run.dir.Path(), c.args, outFile)) << "could not start the other build's tsrec, error " << GetLastError();
        DWORD code = 0;
        ASSERT_TRUE(tsrec.WaitExit(60000, code));
        const std::string out = ReadTextFile(outFile);
        ASSERT_EQ(code, 0u) << out;
        // tsrec checks the challenge's answer; a wrong one ends it with an error.
        EXPECT_NE(out.find("continuity errors 0"), std::string::npos) << out;
        const std::string ts = ReadTextFile(run.dir.File(L"rec.ts"));
        ASSERT_EQ(ts.size(), 2000000u);
        const Tally t = CountPackets(ts, c.space, c.channel);
        EXPECT_GT(t.ours, 5000);
        EXPECT_EQ(t.othersAfter, 0);
    }
    EXPECT_TRUE(run.Exit(15000));
}

// A plug-in of the other bitness (the other build's simulated plug-in) is
// served by a plug-in host of its own bitness, which that build makes: the
// stream, a retune, and a host that ends mid-stream (the next client gets a
// new one). The descrambler beside TunerHost is of TunerHost's bitness and
// does not load in that host: the stream passes as it would without one.
TEST(CrossBitness, APluginOfTheOtherBitnessIsServedByAHostOfItsBitness)
{
    if (const char* reason = std::getenv("TUNERHOST_CROSS_SKIP"); reason && *reason) GTEST_SKIP() << reason;
    const wchar_t* otherHost = sizeof(void*) == 8 ? L"PlugHost32.exe" : L"PlugHost64.exe";
    CHostRun run(L"crossplugin");
    ASSERT_TRUE(CopyFileW((OtherBin() + L"\\" + otherHost).c_str(), run.dir.File(otherHost).c_str(), FALSE))
        << "the other build's plug-in host is missing (TUNERHOST_OTHER_BIN)";
    ASSERT_TRUE(CopyFileW((OtherBin() + L"\\BonDriver_Sim.dll").c_str(), run.dir.File(L"BonDriver_SimT.dll").c_str(),
                          FALSE));
    run.SetSim(TunerKind::Terrestrial, "RateKBps=8000\r\n");
    run.AddDescrambler("");
    ASSERT_TRUE(run.Start());
    {
        CStreamClient c;
        ASSERT_EQ(c.Connect(TunerKind::Terrestrial), ClientError::None);
        uint32_t reply = 0;
        ASSERT_EQ(c.client.Command(kCmdSelectChannel, 521143u, &reply), ClientError::None);
        c.VerifyAfterTune(2, 0, 8);
    }
    run.SetSim(TunerKind::Terrestrial, "RateKBps=8000\r\nFetchFault=1\r\nFetchFaultAfterMs=1000\r\n");
    {
        CStreamClient c;
        if (c.Connect(TunerKind::Terrestrial) == ClientError::None) {
            EXPECT_TRUE(WaitUntil([&] { return c.client.Command(kCmdKeepAlive, nullptr, 2000) != ClientError::None; },
                                  15000));
        }
    }
    run.SetSim(TunerKind::Terrestrial, "RateKBps=8000\r\n");
    EXPECT_EQ(ServedWithin(TunerKind::Terrestrial, 10000), ClientError::None);
    EXPECT_EQ(run.CountDescrambler("load"), 0);  // never loaded in the other bitness's host
    EXPECT_TRUE(run.Exit(15000));
}
