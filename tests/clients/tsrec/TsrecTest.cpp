// tsrec.exe as a user runs it.
#include "ChannelArgument.h"
#include "relay/HostRun.h"
#include "tuner/ChannelSelection.h"

#include <gtest/gtest.h>

namespace {

// Runs tsrec in the host's folder; its exit code, and its output in `out`.
DWORD RunTsrec(const CHostRun& run, const std::wstring& args, std::string& out)
{
    CChild tsrec;
    const std::wstring outFile = run.dir.File(L"tsrec.out");
    if (!tsrec.Start(BinDir() + L"\\tsrec.exe", run.dir.Path(), args, outFile)) return 999;
    DWORD code = 998;
    if (!tsrec.WaitExit(60000, code)) return 997;
    out = ReadTextFile(outFile);
    return code;
}

}  // namespace

TEST(Tsrec, ChannelArguments)
{
    EXPECT_EQ(ParseChannelArgument(L"13", true), 473000u);
    EXPECT_EQ(ParseChannelArgument(L"62", true), 767000u);
    EXPECT_EQ(ParseChannelArgument(L"C13", true), 111000u);
    EXPECT_EQ(ParseChannelArgument(L"c22", true), 167000u);
    EXPECT_EQ(ParseChannelArgument(L"C63", true), 465000u);
    EXPECT_EQ(ParseChannelArgument(L"1", true), 93000u);
    EXPECT_EQ(ParseChannelArgument(L"4", true), 173000u);
    EXPECT_EQ(ParseChannelArgument(L"12", true), 219000u);
    EXPECT_EQ(ParseChannelArgument(L"521143", true), 521143u);
    for (const wchar_t* bad : {L"", L"0", L"63", L"999", L"C12", L"C64", L"-5", L"27x", L"4294967296"})
        EXPECT_FALSE(ParseChannelArgument(bad, true)) << bad;
    EXPECT_EQ(ParseChannelArgument(L"4010", false), 0x4010u);
    EXPECT_EQ(ParseChannelArgument(L"0x7fE0", false), 0x7FE0u);
    EXPECT_FALSE(ParseChannelArgument(L"0x", false));
    EXPECT_FALSE(ParseChannelArgument(L"40g0", false));
    // What --list prints maps back to the same index.
    for (int band = 0; band < 3; ++band)
        for (uint32_t i = 0; i < 51; ++i) {
            const std::wstring arg = TerrestrialChannelArgument(band, i);
            if (arg.empty()) continue;
            const auto value = ParseChannelArgument(arg, true);
            ASSERT_TRUE(value) << arg;
            const auto mapped = MapFrequencyToChannel(*value / 1000);
            ASSERT_TRUE(mapped) << arg;
            EXPECT_EQ(static_cast<int>(mapped->band), band) << arg;
            EXPECT_EQ(mapped->channel, i) << arg;
        }
}

TEST(Tsrec, RecordsAChosenChannelAndSaysWhatFails)
{
    CHostRun run(L"tsrec");
    std::string out;
    EXPECT_EQ(RunTsrec(run, L"-t 1 -q", out), 2u) << out;  // not running
    EXPECT_NE(out.find("not running"), std::string::npos) << out;

    run.SetSim(TunerKind::Satellite, "RateKBps=8000\r\n");
    ASSERT_TRUE(run.Start());
    EXPECT_EQ(RunTsrec(run, L"--list " + run.dir.Path(), out), 0u) << out;
    EXPECT_NE(out.find("-c 27 "), std::string::npos) << out;
    EXPECT_NE(out.find("-c C22 "), std::string::npos) << out;
    EXPECT_NE(out.find("-c 4010  BS01"), std::string::npos) << out;
    EXPECT_NE(out.find("-c 7180  ND"), std::string::npos) << out;

    ASSERT_EQ(RunTsrec(run, L"-s -c 40F1 -b 3000000 -q -o rec.ts", out), 0u) << out;  // BS 9
    const std::string ts = ReadTextFile(run.dir.File(L"rec.ts"));
    ASSERT_EQ(ts.size(), 3000000u);
    int ours = 0, others = 0;
    bool seenOurs = false;
    SimPayload p{};
    for (size_t at = 0; at + kTsPacketSize <= ts.size(); at += kTsPacketSize) {
        if (!ParseSimPayload(reinterpret_cast<const uint8_t*>(ts.data()) + at, p)) continue;
        const bool isOurs = p.space == 0 && p.channel == 9;
        seenOurs |= isOurs;
        if (isOurs) ++ours;
        else if (seenOurs) ++others;
    }
    EXPECT_GT(ours, 1000);
    EXPECT_EQ(others, 0);
    EXPECT_NE(out.find("continuity errors 0"), std::string::npos) << out;

    {   // the tuner held by another client, who reads its stream
        CTunerClient holder;
        ASSERT_EQ(holder.ConnectControl(TunerKind::Terrestrial), ClientError::None);
        ASSERT_EQ(holder.ConnectData(), ClientError::None);
        EXPECT_EQ(RunTsrec(run, L"-t 1 -q", out), 3u) << out;
    }
    {   // ...who leaves a plug-in that never closes: TunerHost ends its host
        // 5 s later, and tsrec, started before, records after all.
        run.SetSim(TunerKind::Terrestrial, "CloseHangMs=-1\r\n");
        CTunerClient holder;
        ASSERT_EQ(holder.ConnectControl(TunerKind::Terrestrial), ClientError::None);
        ASSERT_EQ(holder.ConnectData(), ClientError::None);
        CChild tsrec;
        const std::wstring outFile = run.dir.File(L"tsrec.out");
        ASSERT_TRUE(tsrec.Start(BinDir() + L"\\tsrec.exe", run.dir.Path(), L"-t 1 -q", outFile));
        Sleep(1500);
        holder.CloseData();
        holder.CloseControl();
        DWORD code = 998;
        ASSERT_TRUE(tsrec.WaitExit(60000, code));
        EXPECT_EQ(code, 0u) << ReadTextFile(outFile);
    }
    run.SetSim(TunerKind::Terrestrial, "OpenFails=1\r\n");
    EXPECT_EQ(RunTsrec(run, L"-t 1 -q", out), 4u) << out;
    EXPECT_EQ(RunTsrec(run, L"-c 99", out), 1u) << out;
    EXPECT_TRUE(run.Exit(15000));
}
